// Drives the signing code directly in a sandbox (HVX_ROOT and the database
// variables exported by testbed/sandbox), for the benchmarks.
//
//   sign_driver keys                      ensure the server key pair exists
//   sign_driver dump OUTPUT SPLIT DOMAIN  make_signed_dump of DOMAIN's stream
//   sign_driver check DUMP_PATH           check_dump_digest of a stored dump
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "common/product_conf.h"
#include "sitevault/dump_files.h"
#include "sitevault/server_keys.h"
#include "sitevault/signing.h"

int main(int argc, char** argv) {
  program_name = argv[0];
  const std::string cmd = argc > 1 ? argv[1] : "";
  load_product_conf();
  if (cmd == "keys" && argc == 2) {
    return check_server_keys() == 1 || gen_server_keys() == 1 ? 0 : 1;
  }
  if (cmd == "dump" && argc == 5) {
    const std::string args = std::string(" -f - --domain-name ") + argv[4];
    return make_signed_dump(args.c_str(), argv[2], std::strtoull(argv[3], nullptr, 10));
  }
  if (cmd == "check" && argc == 3) {
    const std::string path = argv[2];
    const auto slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    const int ok = check_dump_digest_in(directory, path.c_str());
    std::printf("%s\n", ok ? "digest ok" : "digest mismatch");
    return ok ? 0 : 1;
  }
  std::fprintf(stderr, "usage: sign_driver keys | dump OUTPUT SPLIT DOMAIN | check DUMP\n");
  return 2;
}
