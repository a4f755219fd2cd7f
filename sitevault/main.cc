// sitevault: per-domain backup tool of the hosting panel.
#include "command_dispatch.h"
#include "command_line.h"
#include "messages.h"
#include "product_conf.h"

int main(int argc, char** argv) {
  program_name = argv[0];
  load_product_conf();
  CommandOptions options;
  parse_command_line(argc, argv, options);
  dispatch_command(options);
}
