// --backup: a signed dump of one domain into its repository (or to standard
// output), verified after writing, reported by mail.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/product_conf.h"
#include "common/stop_signals.h"
#include "common/unique_fd.h"
#include "sitevault/client_quota.h"
#include "sitevault/command_line.h"
#include "sitevault/domain_lock.h"
#include "sitevault/domain_operations.h"
#include "sitevault/dump_staging.h"
#include "sitevault/dump_utilities.h"
#include "sitevault/operation_support.h"
#include "sitevault/run_report.h"
#include "sitevault/server_keys.h"
#include "sitevault/signing.h"

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

// Writes the dump under a staging name beside its final name, verifies its
// signature there and only then puts it in place of any older dump of that
// name. false with the mail text set.
bool store_dump(const char* domain, const std::string& arguments, const std::string& dump,
                std::uint64_t split_size, int error_fd, const char** mail_text) {
  // A dump outside the repository: its directory gets the recovery the
  // repository got when the lock was taken, before its name is written.
  if (!lands_in_repository(dump, domain)) remove_staging_leftovers(path_dirname(dump));
  const std::string staged = staging_path(dump);
  std::vector<std::uint64_t> sizes;
  // A dump outside the repository has no directory of the domain's to guard
  // it: others get no access to it.
  const mode_t mode = lands_in_repository(dump, domain) ? 0666 : 0660;
  if (make_signed_dump(arguments.c_str(), staged.c_str(), split_size, &sizes, mode, error_fd) !=
      0) {
    report_error("An error uccured during backing up domain '%s'\n", domain);
    discard_staged_dump(staged);
    *mail_text = kRemovedAfterFailure;
    return false;
  }

  const auto key = get_server_public_key();
  if (!key) {
    write_message(kNoPublicKey, 0);
    write_output_text((std::string(kNoPublicKey) + "\n").c_str());
    discard_staged_dump(staged);
    *mail_text = kSignatureFailed;
    return false;
  }
  // Only the last file's end is read: the digest was made on the way in.
  const std::string last =
      sizes.size() > 1 ? staged + ".part" + std::to_string(sizes.size()) : staged;
  UniqueFd last_fd(::open(last.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  const SignatureCheck verdict =
      last_fd ? check_dump_signature_fd(last_fd.get(), key->c_str()) : SignatureCheck::damaged;
  last_fd.reset();
  if (verdict != SignatureCheck::good) {
    errno = 0;
    report_error("Dump %s is %s\n", dump.c_str(), signature_check_text(verdict));
    discard_staged_dump(staged);
    *mail_text = kSignatureFailed;
    return false;
  }
  // A termination request that came after the stream was complete still
  // leaves the older dump of that name in place.
  if (stop_signal() != 0 || commit_staged_dump(staged, dump, sizes) != 0) {
    if (stop_signal() != 0) discard_staged_dump(staged);
    report_error("An error uccured during backing up domain '%s'\n", domain);
    *mail_text = kRemovedAfterFailure;
    return false;
  }
  std::uint64_t bytes = 0;
  for (const std::uint64_t size : sizes) bytes += size;
  run_report_counts(sizes.size(), bytes);
  return true;
}

}  // namespace

int backup_domain(const char* domain, const char* dump_file, const char* desc_file,
                  const char* email_from, const char* email_to, std::uint64_t split_size,
                  bool stay_in_foreground) {
  if (check_server_wide_lock() != 0) return -1;
  if (create_dump_repository(domain) != 0) return -1;
  auto held = lock_domain(domain);
  if (!held) return -1;

  const std::string dump = dump_file;
  const bool to_stdout = dump == "-";

  // Every dump written into the domain's repository counts against the
  // owner's disk quota, whichever way its name was given.
  if (!to_stdout && lands_in_repository(dump, domain) && check_client_quota(domain) != 0) return -1;

  send_notification(email_to, email_from, domain, backup_begun, nullptr);
  clear_operation_logs(domain);
  // The writer's error output; when the log cannot be had it goes where this
  // run's own does.
  const UniqueFd error_log = open_error_log(domain);
  const std::string arguments = hvxdump_arguments(domain, desc_file);

  if (!to_stdout && !stay_in_foreground) detach_operation();

  const char* mail_text = nullptr;
  int result;
  if (to_stdout) {
    result =
        make_signed_dump(arguments.c_str(), dump_file, split_size, nullptr, 0666, error_log.get());
    if (result != 0) report_error("An error uccured during backing up domain '%s'\n", domain);
  } else {
    result = store_dump(domain, arguments, dump, split_size, error_log.get(), &mail_text) ? 0 : 1;
  }

  // The domain goes back on before the final mail, so that the mail and the
  // exit status tell whether it did.
  if (!held->switch_on()) {
    if (result == 0) mail_text = kDomainNotSwitchedOn;
    result = 1;
  }
  send_notification(email_to, email_from, domain, result == 0 ? backup_completed : backup_failed,
                    mail_text);
  return result;  // the locks go with held
}
