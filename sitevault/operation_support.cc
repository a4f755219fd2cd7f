#include "sitevault/operation_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/child_process.h"
#include "common/child_watch.h"
#include "common/fd_io.h"
#include "common/messages.h"
#include "common/process.h"
#include "common/product_conf.h"
#include "common/stop_signals.h"
#include "common/text_format.h"
#include "common/unique_fd.h"
#include "sitevault/run_report.h"

namespace {

constexpr const char* kRepositoryOwner = "hvxadm";
constexpr mode_t kRepositoryMode = 0750;
constexpr const char* kLogName = "backup_restore.log";
constexpr const char* kErrLogName = "backup_restore.err_log";
constexpr std::size_t kCopyBlock = 64 * 1024;

std::string repository_path(const char* domain) {
  return std::string(product_conf.DUMP_D ? product_conf.DUMP_D : "") + "/" + domain;
}

void report_directory_failure(const char* format, const std::string& path) {
  write_message(format_text_cut(4095, format, path.c_str(), std::strerror(errno)).c_str(), 0);
}

// Ensures the directory name below parent_fd with owner and mode, changed
// through its own descriptor: the name is opened without following a link,
// so a link planted in its place is refused and its target never touched.
// (The dump root itself is the administrator's to place and may be a link.)
UniqueFd ensure_directory_at(int parent_fd, const char* name, const std::string& path, uid_t uid,
                             gid_t gid, bool follow) {
  if (mkdirat(parent_fd, name, 0700) != 0 && errno != EEXIST) {
    report_directory_failure("Unable to create directory '%s': %s", path);
    return UniqueFd();
  }
  UniqueFd fd(openat(parent_fd, name,
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW | O_NONBLOCK)));
  if (!fd) {
    struct stat st {};
    if (!follow && fstatat(parent_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      errno = 0;
      report_error(
          "Unable to create directory '%s': it is a symbolic link (links are not followed)",
          path.c_str());
      return UniqueFd();
    }
    if (errno == ELOOP) errno = ENOTDIR;
    report_directory_failure("Unable to create directory '%s': %s (links are not followed)", path);
    return UniqueFd();
  }
  if (fchown(fd.get(), uid, gid) != 0) {
    report_directory_failure("Unable to execute chown for directory '%s': %s", path);
    return UniqueFd();
  }
  if (fchmod(fd.get(), kRepositoryMode) != 0) {
    report_directory_failure("Unable to execute chmod for directory '%s': %s", path);
    return UniqueFd();
  }
  return fd;
}

void remove_if_present(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) unlink(path.c_str());
}

// After a termination request the mail still goes out, but a mail program
// that does not take it at once holds the end of the run this long at most.
constexpr std::chrono::seconds kMailLimitAfterStop{5};

// The message is written in full before the mail program starts, into a
// memory file that becomes its standard input: a mail program that hangs
// cannot block this process on a full pipe, only in the bounded wait.
UniqueFd make_message_file() {
  UniqueFd fd(static_cast<int>(::memfd_create("hvx-mail", MFD_CLOEXEC)));
  if (!fd) report_error("Notification not sent: unable to create the message file");
  return fd;
}

// Runs the mail program with its arguments as given (no shell) in a process
// group of its own, the message file as its standard input; nothing of this
// process leaks into it. The wait is bounded by the utility time limit (after
// a termination request by kMailLimitAfterStop as well). A termination
// request stops the "begun" mail; the mail of the outcome belongs to the
// orderly end and still goes out. false when it could not be started or was
// given up (reported).
bool run_mail_program(const std::string& path, const char* sender, const char* recipient,
                      int message, bool outcome) {
  std::vector<char*> argv = {const_cast<char*>(path.c_str()), const_cast<char*>("-f"),
                             const_cast<char*>(sender), const_cast<char*>(recipient), nullptr};
  const bool stoppable = !outcome && utility_stoppable(UtilityStop::on_request);
  const std::chrono::seconds limit =
      stop_signal() != 0 ? std::min(utility_timeout(), kMailLimitAfterStop) : utility_timeout();
  ChildPlan plan;
  plan.in = ChildStream::descriptor(message);
  plan.flush_stdio = true;
  plan.own_group = true;
  plan.stopped_by_request = stoppable;
  plan.default_signals = true;
  plan.failure_status = 127;
  const pid_t pid = start_child(plan, path.c_str(), argv.data());
  if (pid < 0) return false;
  ChildWatch watch(pid);
  bound_utility_wait(watch, stoppable, limit, true);
  if (outcome) watch.limit_after_request(kMailLimitAfterStop);
  while (!watch.wait(nullptr, 0)) {
  }
  (void)watch.reap();
  // A request that came during the wait shortened it.
  const std::chrono::seconds waited =
      stop_signal() != 0 ? std::min(limit, kMailLimitAfterStop) : limit;
  return !report_utility_given_up(watch, path.c_str(), waited);
}

const char* subject_text(int kind) {
  static const char* const kSubjects[] = {
      "Backup process has begun",   "Backup process has completed",   "Backup process has failed",
      "Restore process has begun",  "Restore process has completed",  "Restore process has failed",
      "Download process has begun", "Download process has completed", "Download process has failed",
  };
  if (kind < 0 || kind >= static_cast<int>(std::size(kSubjects))) return nullptr;
  return kSubjects[kind];
}

// Copies the operation's log into the mail: the progress log when it has
// content, else the error log. A log that cannot be read is reported inside
// the mail.
void attach_log(int out, const char* domain, const char* subject) {
  const std::string dir = repository_path(domain);
  std::string path = dir + "/" + kLogName;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || st.st_size <= 0) path = dir + "/" + kErrLogName;

  // The panel user owns the repository: a link or a FIFO planted as a log
  // must not make root mail another file or wait forever.
  UniqueFd log(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (log && (fstat(log.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
    log.reset();
    errno = EINVAL;
  }
  if (!log) {
    const std::string reason =
        errno == ELOOP || errno == EINVAL ? "not a regular file" : std::strerror(errno);
    write_all(out, std::string(subject) + "\n" + "Error opening log file \"" + path + "\": " +
                       reason + "\n" + "Error occured during backup/restore process execution\n");
    return;
  }
  std::vector<char> block(kCopyBlock);
  for (;;) {
    const ssize_t n = read(log.get(), block.data(), block.size());
    if (n == 0) return;
    if (n < 0) {
      if (errno == EINTR) continue;
      const std::string reason = std::strerror(errno);
      write_all(out, "Error writing log file \"" + path + "\": " + reason + "\n");
      return;
    }
    if (!write_all(out, std::string_view(block.data(), static_cast<std::size_t>(n)))) return;
  }
}

}  // namespace

int create_dump_repository(const char* domain) {
  const auto uid = static_cast<uid_t>(get_user_id(kRepositoryOwner, 0));
  const auto gid = static_cast<gid_t>(get_user_id(kRepositoryOwner, 1));
  const std::string root = product_conf.DUMP_D ? product_conf.DUMP_D : "";
  const UniqueFd root_fd = ensure_directory_at(AT_FDCWD, root.c_str(), root, uid, gid, true);
  if (!root_fd) return -1;
  const UniqueFd repository =
      ensure_directory_at(root_fd.get(), domain, repository_path(domain), uid, gid, false);
  return repository ? 0 : -1;
}

void clear_operation_logs(const char* domain) {
  const std::string dir = repository_path(domain);
  remove_if_present(dir + "/" + kLogName);
  remove_if_present(dir + "/" + kErrLogName);
}

int send_notification(const char* recipient, const char* sender, const char* domain, int kind,
                      const char* text) {
  if (recipient == nullptr || *recipient == '\0' || sender == nullptr || *sender == '\0') return -1;
  const char* subject = subject_text(kind);
  if (subject == nullptr) return -1;
  // A line break would add header lines of the caller's choosing, and a
  // leading "-" would reach the mail program as an option.
  for (const char* address : {recipient, sender}) {
    if (address[0] == '-' || std::strpbrk(address, "\r\n") != nullptr) {
      errno = 0;
      report_error("Notification not sent: invalid e-mail address \"%s\"", address);
      return -1;
    }
  }

  const std::string program =
      std::string(product_conf.QMAIL_ROOT_D ? product_conf.QMAIL_ROOT_D : "") + "/bin/sendmail";
  const UniqueFd message = make_message_file();
  if (!message) return -1;

  std::string head;
  head += "From: ";
  head += sender;
  head += "\nTo: ";
  head += recipient;
  head += "\nSubject: ";
  head += subject;
  head += " for domain '";
  head += domain ? domain : "";
  head += "'\n\n";

  const bool has_text = text != nullptr && *text != '\0';
  switch (kind) {
    case backup_begun:
    case restore_begun:
      head += subject;
      head += "\n";
      write_all(message.get(), head);
      break;
    case backup_completed:
    case backup_failed:
    case restore_completed:
    case restore_failed:
      if (has_text) {
        head += text;
        head += "\n";
        write_all(message.get(), head);
        break;
      }
      if (kind == restore_failed) head += "An error occured during restore process:\n\n";
      if (kind == backup_failed) head += "An error occured during backup process:\n\n";
      if (write_all(message.get(), head)) attach_log(message.get(), domain, subject);
      break;
    case download_failed:
      // The reason why, when the caller knows it.
      if (has_text) {
        head += text;
        head += "\n";
      }
      write_all(message.get(), head);
      break;
    default:
      write_all(message.get(), head);
      break;
  }
  if (::lseek(message.get(), 0, SEEK_SET) != 0) return -1;
  const bool outcome = kind != backup_begun && kind != restore_begun && kind != download_begun;
  return run_mail_program(program, sender, recipient, message.get(), outcome) ? 0 : -1;
}

void detach_operation() {
  // Whatever the foreground has buffered belongs to the caller's streams.
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    report_error("Unable to detach into the background: fork() failed");
    return;  // The operation goes on in the foreground.
  }
  if (pid > 0) {
    // The detached process shares every open descriptor (database socket,
    // domain locks); no exit handler of the foreground may touch them, and
    // no destructor of the caller's stack may switch its domain on.
    _exit(0);
  }
  setsid();
  run_report_detached();
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    if (null_fd > STDERR_FILENO) close(null_fd);
  }
}
