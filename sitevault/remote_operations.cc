// --ftp-backup: a signed dump streamed to a remote repository without a
// local copy. --ftp-download: a dump fetched from a remote repository into
// the domain's repository, its digest checked. Each command opens the store
// of the parsed location once and hands it to the dump-level work of
// remote_dump.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/messages.h"
#include "common/path_names.h"
#include "common/product_conf.h"
#include "common/unique_fd.h"
#include "sitevault/domain_lock.h"
#include "sitevault/domain_operations.h"
#include "sitevault/dump_utilities.h"
#include "sitevault/operation_support.h"
#include "sitevault/remote/remote_store.h"
#include "sitevault/remote_dump.h"
#include "sitevault/run_report.h"
#include "sitevault/signed_stream.h"

namespace {

constexpr const char* kWriteTestFailed = "An error occured during writing file on to ftp server.\n";

// The probe, the recovery of earlier commits and the upload, once the domain
// is locked and switched off. 0, or 1 with the reason for the mail.
int upload_locked(RemoteStore& store, const char* domain, const char* dump_file,
                  const char* desc_file, const RemoteLocation& where, std::uint64_t split_size,
                  std::string& reason) {
  if (!store.probe_writable(path_dirname(dump_file ? dump_file : ""))) {
    errno = 0;
    report_error("%s", kWriteTestFailed);
    reason = kWriteTestFailed;
    return 1;
  }
  // A half-done commit of a killed run stays for the next try; a new dump of
  // that name would take the mix for the older dump.
  if (!recover_remote_commits(store, where.path, &reason)) return 1;
  clear_operation_logs(domain);
  const UniqueFd error_log = open_error_log(domain);
  const std::string arguments = hvxdump_arguments(domain, desc_file);
  SignedDumpStream stream;
  use_upload_wording(stream, reason);
  if (!stream.start(hvxdump_command(arguments, true), error_log.get(), split_size)) return 1;
  if (!upload_signed_dump(store, stream, dump_file ? dump_file : "", reason)) return 1;
  std::uint64_t bytes = 0;
  for (const std::uint64_t size : stream.file_sizes()) bytes += size;
  run_report_counts(stream.file_sizes().size(), bytes);
  return 0;
}

}  // namespace

int ftp_backup_domain(const char* domain, const char* dump_file, const char* desc_file,
                      const RemoteLocation& where, const char* email_from, const char* email_to,
                      std::uint64_t split_size, bool stay_in_foreground) {
  if (check_server_wide_lock() != 0) return -1;
  // The lock file and the logs live in the repository, which a domain kept
  // only on the server has not had yet.
  if (create_dump_repository(domain) != 0) return -1;
  auto held = lock_domain(domain);
  if (!held) return -1;
  if (!stay_in_foreground) detach_operation();

  send_notification(email_to, email_from, domain, backup_begun, nullptr);

  std::string reason;
  int result = 1;
  if (const std::unique_ptr<RemoteStore> store = open_remote_store(where)) {
    result = upload_locked(*store, domain, dump_file, desc_file, where, split_size, reason);
  } else {
    // No store to probe: the write test cannot have passed.
    errno = 0;
    report_error("%s", kWriteTestFailed);
    reason = kWriteTestFailed;
  }

  // The domain goes back on before the final mail, so that the mail and the
  // exit status tell whether it did.
  if (!held->switch_on()) {
    if (result == 0) reason = kDomainNotSwitchedOn;
    result = 1;
  }
  send_notification(email_to, email_from, domain, result == 0 ? backup_completed : backup_failed,
                    reason.empty() ? nullptr : reason.c_str());
  return result;  // the locks go with held
}

int ftp_rotate_dumps(const RemoteLocation& where, const char* prefix, const RetentionRules& rules,
                     const char* protect, bool report_unsigned) {
  const std::unique_ptr<RemoteStore> store = open_remote_store(where);
  if (!store) return -1;
  // Rotation counts only whole dumps: a commit left half done since the
  // upload is finished or undone first, and nothing is deleted when that
  // fails.
  if (!recover_remote_commits(*store, where.path)) return -1;
  return rotate_remote_dumps(*store, prefix ? prefix : "", rules, protect ? protect : "",
                             report_unsigned)
             ? 0
             : -1;
}

int ftp_download_dump(const char* domain, const char* dump_file, const RemoteLocation& where,
                      const char* email_from, const char* email_to) {
  // Every failure is mailed with its reason (when addresses are given), the
  // lock that could not be taken as much as a damaged copy.
  std::string reason;
  int result = -1;
  if (check_server_wide_lock() != 0) {
    reason = "Another backup or restore of the repositories is running";
  } else if (create_dump_repository(domain) != 0) {
    reason = std::string("Unable to create the dump repository of domain ") + domain;
  } else if (auto held = lock_domain(domain); !held) {
    reason = std::string("Unable to lock domain ") + domain;
  } else {
    // The dump's local files are looked up in the domain's repository.
    const std::string repository = std::string(product_conf.DUMP_D) + "/" + domain;
    if (const std::unique_ptr<RemoteStore> store = open_remote_store(where)) {
      result =
          download_remote_dump(*store, where.path, repository, dump_file ? dump_file : "", reason)
              ? 0
              : -1;
    }
    // A domain left switched off fails the run however the download went.
    if (!held->switch_on() && result == 0) {
      result = -1;
      reason = kDomainNotSwitchedOn;
    }
  }
  if (result != 0) {
    send_notification(email_to, email_from, domain, download_failed,
                      reason.empty() ? nullptr : reason.c_str());
  }
  return result;
}
