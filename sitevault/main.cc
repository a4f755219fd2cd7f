// sitevault: per-domain backup tool of the hosting panel.
#include <cstdlib>

#include "common/messages.h"
#include "common/product_conf.h"
#include "common/stop_signals.h"
#include "sitevault/command_dispatch.h"
#include "sitevault/command_line.h"
#include "sitevault/remote/curl_session.h"
#include "sitevault/run_report.h"

int main(int argc, char** argv) {
  program_name = argv[0];
  // From here on every end of a domain command leaves its record.
  begin_run_report(argc, argv);
  load_product_conf();
  CommandOptions options;
  parse_command_line(argc, argv, options);
  // The credentials have been taken; only the FTP write test gets them back
  // in its environment.
  ::unsetenv("FTP_PASSWORD");
  ::unsetenv("FTP_LOGIN");
  remote::take_ssh_key_passphrase();
  // A termination request during an operation stops its children and lets
  // it fail cleanly: the domain is switched back on before the run ends.
  install_stop_handlers();
  dispatch_command(options);
}
