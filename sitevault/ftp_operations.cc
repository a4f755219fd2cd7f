// --ftp-backup: a signed dump streamed to an FTP repository without a local
// copy. --ftp-download: a dump fetched from an FTP repository into the
// domain's repository, its digest checked.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "domain_lock.h"
#include "domain_operations.h"
#include "dump_files.h"
#include "dump_staging.h"
#include "dump_utilities.h"
#include "ftp_commit_store.h"
#include "ftp_connection.h"
#include "ftp_repository.h"
#include "ftp_transfer.h"
#include "messages.h"
#include "operation_support.h"
#include "process.h"
#include "product_conf.h"
#include "server_keys.h"
#include "signing.h"
#include "unique_fd.h"

namespace {

constexpr std::size_t kErrorTextSize = 4096;
constexpr const char* kWriteTestFailed = "An error occured during writing file on to ftp server.\n";

// Fetches the remote files of the dump under the staging name in the
// repository; the sizes of the files written in dump order, or nullopt.
std::optional<std::vector<std::uint64_t>> fetch_staged(
    const std::vector<std::string>& files, const char* dump_file, const std::string& staged_path,
    const char* server, const char* login, const char* password, const char* path,
    ArrivingDigest& digest, char* error_text, std::size_t error_size) {
  std::vector<std::uint64_t> sizes;
  const std::size_t base_length = std::string_view(dump_file).size();
  for (const std::string& name : files) {
    // "<dump>.partN" becomes "<staged>.partN".
    const std::string local_path = staged_path + name.substr(base_length);
    struct stat st {};
    digest.start_file(&name == &files.back());
    if (ftp_download_file(server, login, password, path, name.c_str(), local_path.c_str(),
                          error_text, error_size, &digest) != 0) {
      return std::nullopt;
    }
    if (::stat(local_path.c_str(), &st) != 0) {
      ftp_report(error_text, error_size, "Unable to read \"%s\": %s\n", local_path.c_str(),
                 std::strerror(errno));
      return std::nullopt;
    }
    sizes.push_back(static_cast<std::uint64_t>(st.st_size));
  }
  return sizes;
}

// Checks the staged download: the signature lines at the end of its last
// file under the server's key, and the digest taken as the files arrived
// against the signed one. The empty text when it is good, else why not.
std::string check_staged(const std::string& repository, const std::string& staged_path,
                         ArrivingDigest& digest) {
  const auto key = get_server_public_key();
  if (!key) return "Can't get public key to verify dump signature";
  const auto files = get_dump_files_in(repository, path_basename(staged_path).c_str());
  const auto opened = files ? open_dump_files(*files) : std::nullopt;
  if (!opened) return "the downloaded files cannot be read";
  const int last = opened->back().fd.get();
  const SignatureCheck verdict = check_dump_signature_fd(last, key->c_str());
  if (verdict != SignatureCheck::good) return signature_check_text(verdict);
  const auto fields = read_signature_fields(last);
  const auto received = fields ? digest.finish(fields->length) : std::nullopt;
  if (!received || *received != fields->magic1) return "corrupted - checksum mismatch";
  return "";
}

// farstore's write test. It logs in, stores and deletes a file: what a
// command of ours may take (the connect and stall limits together) bounds
// its wait as well, so that a server frozen at the probe costs no more than
// one frozen at any other command.
int farstore_write_test(const char* server, const char* basedir) {
  std::string why;
  const FtpLimits limits = ftp_limits_from_env(why).value_or(FtpLimits{});
  const std::chrono::seconds limit(limits.connect_seconds + limits.stall_seconds);
  const char* const args[] = {"--writing-test", "--server", server, "--basedir", basedir};
  return run_admin_utility("farstore", args, UtilityStop::on_request, limit);
}

}  // namespace

int ftp_backup_domain(const char* domain, const char* dump_file, const char* desc_file,
                      const char* server, const char* path, const char* login, const char* password,
                      const char* email_from, const char* email_to, std::uint64_t split_size,
                      bool stay_in_foreground) {
  if (check_server_wide_lock() != 0) return -1;
  // The lock file and the logs live in the repository, which a domain kept
  // only on the server has not had yet.
  if (create_dump_repository(domain) != 0) return -1;
  auto held = lock_domain(domain);
  if (!held) return -1;
  if (!stay_in_foreground) detach_operation();

  send_notification(email_to, email_from, domain, backup_begun, nullptr);

  int result;
  char error_text[kErrorTextSize] = "";
  const std::string basedir = path_dirname(dump_file ? dump_file : "");
  // The write-test utility reads the credentials from the environment; no
  // other child (hvxdump, sendmail) ever sees them there.
  ::setenv("FTP_LOGIN", login ? login : "", 1);
  ::setenv("FTP_PASSWORD", password ? password : "", 1);
  // farstore speaks plain FTP only; over TLS and SSH the probe goes through
  // the transport the upload will use.
  const int write_test = ftp_is_plain(server) ? farstore_write_test(server, basedir.c_str())
                                              : ftp_write_test(server, login, password, path);
  ::unsetenv("FTP_PASSWORD");
  ::unsetenv("FTP_LOGIN");
  if (write_test != 0) {
    errno = 0;
    report_error("%s", kWriteTestFailed);
    result = 1;
    std::snprintf(error_text, sizeof error_text, "%s", kWriteTestFailed);
  } else if (ftp_recover_commits(server, login, password, path, error_text, sizeof error_text) !=
             0) {
    // A half-done commit of a killed run stays for the next try; a new dump
    // of that name would take the mix for the older dump.
    result = 1;
  } else {
    clear_operation_logs(domain);
    const UniqueFd error_log = open_error_log(domain);
    const std::string arguments = hvxdump_arguments(domain, desc_file);
    result = ftp_upload_dump(server, login, password, path, dump_file, arguments.c_str(),
                             error_text, sizeof error_text, split_size, error_log.get());
  }

  // The domain goes back on before the final mail, so that the mail and the
  // exit status tell whether it did.
  if (!held->switch_on()) {
    if (result == 0) std::snprintf(error_text, sizeof error_text, "%s", kDomainNotSwitchedOn);
    result = 1;
  }
  send_notification(email_to, email_from, domain, result == 0 ? backup_completed : backup_failed,
                    error_text[0] != '\0' ? error_text : nullptr);
  return result;  // the locks go with held
}

namespace {

// The download itself, once the repository is there: the remote commits are
// recovered, the parts fetched under the staging name, checked, and put in
// place. 0, or -1 with the reason for the mail in reason.
int download_locked(const char* domain, const char* dump_file, const char* server,
                    const char* login, const char* password, const char* path,
                    std::string& reason) {
  // The dump's local files are looked up in the domain's repository.
  const std::string repository = std::string(product_conf.DUMP_D) + "/" + domain;

  char error_text[kErrorTextSize] = "";
  // A commit on the server that a killed run left half done is finished or
  // undone first: the files listed are then a whole dump.
  if (ftp_recover_commits(server, login, password, path, error_text, sizeof error_text) != 0) {
    reason = error_text;
    return -1;
  }
  const auto files =
      ftp_get_dump_files(server, login, password, path, dump_file, error_text, sizeof error_text);
  if (!files) {
    if (error_text[0] == '\0') {
      ftp_report(error_text, sizeof error_text,
                 "Unable to find the dump \"%s\" on the FTP server\n", dump_file);
    }
    reason = error_text;
    return -1;
  }

  // The files arrive under a staging name; a good local dump of the same
  // name is replaced only once the new one has passed its checks.
  const std::string staged_path = repository + "/" + staging_name(dump_file);
  ArrivingDigest digest;
  const auto sizes = fetch_staged(*files, dump_file, staged_path, server, login, password, path,
                                  digest, error_text, sizeof error_text);
  if (!sizes) {
    discard_staged_dump(staged_path);
    reason = error_text;
    return -1;
  }

  const std::string verdict = check_staged(repository, staged_path, digest);
  if (verdict.empty()) {
    if (commit_staged_dump(staged_path, repository + "/" + dump_file, *sizes) == 0) return 0;
    reason = std::string("Unable to put the dump ") + dump_file + " in place in the repository";
    return -1;
  }

  discard_staged_dump(staged_path);
  errno = 0;
  report_error("Dump %s is %s\n", dump_file, verdict.c_str());
  reason = std::string("Dump signature verification failed for ") + dump_file;
  errno = 0;
  report_error("%s", reason.c_str());
  return -1;
}

}  // namespace

int ftp_download_dump(const char* domain, const char* dump_file, const char* server,
                      const char* login, const char* password, const char* path,
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
    result = download_locked(domain, dump_file, server, login, password, path, reason);
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
