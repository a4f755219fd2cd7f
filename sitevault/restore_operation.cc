// --restore: feeds a verified dump of the domain's repository, file by file
// in dump order, to the standard input of hvxrestore.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/c_handles.h"
#include "common/fd_io.h"
#include "common/messages.h"
#include "common/product_conf.h"
#include "common/shell_child.h"
#include "common/sigpipe_guard.h"
#include "common/unique_fd.h"
#include "sitevault/domain_lock.h"
#include "sitevault/domain_operations.h"
#include "sitevault/dump_files.h"
#include "sitevault/dump_utilities.h"
#include "sitevault/operation_support.h"
#include "sitevault/progress_line.h"
#include "sitevault/repository_dir.h"
#include "sitevault/server_keys.h"
#include "sitevault/signing.h"

namespace {

constexpr std::size_t kBlock = 256 * 1024;

// Copies the opened files in order into the restorer, each exactly as many
// bytes as it held when it was verified; false after reporting.
bool feed_restorer(const open_dump& files, int restorer_stdin) {
  std::vector<char> buffer(kBlock);
  std::uint64_t total = 0;
  for (const OpenDumpFile& file : files) total += file.size;
  progress_stage("restoring", total);
  for (const OpenDumpFile& file : files) {
    std::uint64_t offset = 0;
    while (offset < file.size) {
      const auto want =
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file.size - offset));
      const ssize_t n = ::pread(file.fd.get(), buffer.data(), want, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = 0;
        report_error("Can't read file '%s'", file.path.c_str());
        return false;
      }
      if (!write_all(restorer_stdin, buffer.data(), static_cast<std::size_t>(n))) {
        report_error("Error writing dump to hvxrestore stdin");
        return false;
      }
      offset += static_cast<std::uint64_t>(n);
      progress_add(static_cast<std::uint64_t>(n));
    }
  }
  return true;
}

// Opens the dump's files and checks, on those descriptors, that the stored
// digest carries the server's signature and that the content matches it.
// The empty text on success, else why the dump is refused.
std::string verify_open_dump(const std::optional<RepositoryDir>& repository,
                             const std::string& dump_path, const char* dump_file,
                             std::optional<open_dump>& opened) {
  const std::string refused = "Dump signature verification failed for " + dump_path;
  const auto key = get_server_public_key();
  if (!key) return "Can't get public key to verify dump signature";
  if (!repository) {
    report_error("Unable to find files: unable to locate repository in specified path\n");
    return refused;
  }
  const auto files = get_dump_files_at(*repository, dump_file);
  if (files) opened = open_dump_files_at(*repository, *files);
  if (!opened) return refused;
  const std::string reason = check_open_dump(*opened, key->c_str());
  if (!reason.empty()) {
    errno = 0;
    report_error("Dump %s is %s\n", dump_path.c_str(), reason.c_str());
    return refused;
  }
  return "";
}

}  // namespace

int restore_domain(const char* client_login, const char* domain, const char* domain_ip,
                   const char* dump_file, const char* email_from, const char* email_to,
                   bool stay_in_foreground) {
  if (check_server_wide_lock() != 0) return -1;
  auto held = lock_domain(domain);
  if (!held) return -1;

  // The repository is held from here on and the dump read relative to it:
  // no link planted in its place is followed.
  const auto repository = RepositoryDir::open_domain(domain);
  const std::string dump_path = std::string(product_conf.DUMP_D) + "/" + domain + "/" + dump_file;

  // The files verified here are the ones fed to the restorer: they stay open
  // in between, so a concurrent change cannot slip a different stream in.
  std::optional<open_dump> opened;
  const std::string failure = verify_open_dump(repository, dump_path, dump_file, opened);
  if (!failure.empty()) {
    write_message(failure.c_str(), 0);
    write_output_text((failure + "\n").c_str());
    return -1;
  }

  send_notification(email_to, email_from, domain, restore_begun, nullptr);

  if (std::string(dump_file) == "-") {
    report_error("Parameters error: stdin stream for restore is not supported.\n");
    return -1;
  }

  if (!stay_in_foreground) detach_operation();
  clear_operation_logs(domain);

  const std::string restorer_command = hvxrestore_command(domain, client_login, domain_ip);
  std::fflush(nullptr);
  const UniqueFd error_log = open_error_log(domain);
  auto pipe = make_pipe(O_CLOEXEC);
  const pid_t restorer =
      pipe ? start_shell_child(restorer_command, pipe->read.get(), -1, error_log.get()) : -1;
  if (restorer < 0) {
    report_error("Can't run '%s'", restorer_command.c_str());
    send_notification(email_to, email_from, domain, restore_failed, nullptr);
    return -1;
  }
  pipe->read.reset();

  int status;
  {
    // A restorer that stops reading shows up as a failed write, not as the
    // end of this process with the domain still switched off.
    SigpipeGuard guard;
    status = feed_restorer(*opened, pipe->write.get()) ? 0 : -1;
  }
  opened.reset();
  pipe->write.reset();

  // The restorer sees the end of its input here; its verdict counts.
  const int wait_status = wait_shell_child(restorer);
  if (wait_status == -1 || !WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0) {
    if (status == 0) {
      errno = 0;
      if (wait_status != -1 && WIFSIGNALED(wait_status))
        report_error("hvxrestore was killed by signal %d", WTERMSIG(wait_status));
      else if (wait_status != -1)
        report_error("hvxrestore failed with exit status %d", WEXITSTATUS(wait_status));
      else
        report_error("Unable to wait for hvxrestore");
    }
    status = -1;
  }

  // The domain goes back on before the final mail, so that the mail and the
  // exit status tell whether it did.
  const char* mail_text = nullptr;
  if (!held->switch_on()) {
    if (status == 0) mail_text = kDomainNotSwitchedOn;
    status = -1;
  }
  send_notification(email_to, email_from, domain, status == 0 ? restore_completed : restore_failed,
                    mail_text);
  return status;  // the locks go with held
}
