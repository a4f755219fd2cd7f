// --backup: a signed dump of one domain into its repository (or to standard
// output), verified after writing, reported by mail.
#include <filesystem>
#include <string>

#include "client_quota.h"
#include "command_line.h"
#include "domain_lock.h"
#include "domain_operations.h"
#include "dump_utilities.h"
#include "local_rotation.h"
#include "messages.h"
#include "operation_support.h"
#include "product_conf.h"
#include "run_state.h"
#include "server_keys.h"
#include "signing.h"

namespace {

constexpr const char* kRemovedAfterFailure =
    "Some error occured during backup: resulting dump is removed";
constexpr const char* kSignatureFailed =
    "Checking dump signature failed: resulting dump is removed";
constexpr const char* kNoPublicKey = "Can't get public key to verify dump signature";

// Whether a dump path lies in the domain's own repository directory.
bool lands_in_repository(const std::string& dump_file, const char* domain) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path repository = fs::weakly_canonical(fs::path(product_conf.DUMP_D) / domain, ec);
  if (ec) return false;
  const fs::path directory = fs::weakly_canonical(fs::path(path_dirname(dump_file)), ec);
  if (ec) return false;
  return directory == repository;
}

}  // namespace

int backup_domain(const char* domain, const char* dump_file, const char* desc_file,
                  const char* email_from, const char* email_to, std::uint64_t split_size) {
  if (check_server_wide_lock() != 0) return -1;
  if (create_dump_repository(domain) != 0) return -1;
  if (lock_domain(domain) != 0) return -1;

  const std::string dump = dump_file;
  const bool to_stdout = dump == "-";

  // Every dump written into the domain's repository counts against the
  // owner's disk quota, whichever way its name was given.
  if (!to_stdout && lands_in_repository(dump, domain) && check_client_quota(domain) != 0) {
    unlock_domain(domain);
    return -1;
  }

  send_notification(email_to, email_from, domain, backup_begun, nullptr);
  clear_operation_logs(domain);
  const std::string arguments = hvxdump_arguments(domain, desc_file);

  if (!to_stdout && verbose == 0) detach_operation();

  int result = make_signed_dump(arguments.c_str(), dump_file, split_size);
  if (result != 0) print_error(0, "An error uccured during backing up domain '%s'\n", domain);

  const char* mail_text = nullptr;
  if (!to_stdout) {
    // The dump's files are looked up in its own directory, wherever the
    // options placed it.
    dump_dir = path_dirname(dump);
    if (result != 0) {
      remove_dump(dump_file);
      mail_text = kRemovedAfterFailure;
    } else if (auto key = get_server_public_key()) {
      if (verify_dump_signature(dump_file, key->c_str()) != 1) {
        result = 1;
        remove_dump(dump_file);
        mail_text = kSignatureFailed;
      }
    } else {
      write_message(kNoPublicKey, 0);
      std::printf("%s\n", kNoPublicKey);
      std::fflush(stdout);
      remove_dump(dump_file);
      result = 1;
      mail_text = kSignatureFailed;
    }
  }

  send_notification(email_to, email_from, domain, result == 0 ? backup_completed : backup_failed,
                    mail_text);
  unlock_domain(domain);
  return result;
}
