#include "common/process_runners.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/c_handles.h"
#include "common/child_process.h"
#include "common/child_watch.h"
#include "common/messages.h"
#include "common/unique_fd.h"

namespace {

constexpr std::size_t kBlock = 64 * 1024;

// A growing NUL-terminated text in malloc'ed memory (handed to callers who
// free() it). Grows geometrically and keeps at least one block free for
// each read.
class TextBuffer {
 public:
  TextBuffer() = default;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  ~TextBuffer() { std::free(data_); }

  bool reserve_block() {
    if (data_ != nullptr && capacity_ - length_ - 1 >= kBlock) return true;
    std::size_t grown = std::max(capacity_ * 2, length_ + kBlock + 1);
    char* bigger = static_cast<char*>(std::realloc(data_, grown));
    if (bigger == nullptr) return false;
    data_ = bigger;
    capacity_ = grown;
    data_[length_] = '\0';
    return true;
  }
  char* tail() { return data_ + length_; }
  std::size_t room() const { return capacity_ - length_ - 1; }
  void added(std::size_t n) {
    length_ += n;
    data_[length_] = '\0';
  }
  void clear() {
    length_ = 0;
    if (data_) data_[0] = '\0';
  }
  const char* c_str() const { return data_ ? data_ : ""; }
  std::size_t size() const { return length_; }
  // Hands the text over, shrunk to fit.
  char* release() {
    if (data_ == nullptr) return nullptr;
    if (char* shrunk = static_cast<char*>(std::realloc(data_, length_ + 1))) data_ = shrunk;
    char* out = data_;
    data_ = nullptr;
    capacity_ = length_ = 0;
    return out;
  }

 private:
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t length_ = 0;
};

// What a child of util_exec writes on its standard error (the relayed pipe)
// when it cannot be started.
void report_util_exec_failure(ChildStep step, int error, const char* /*path*/) {
  if (step == ChildStep::streams) {
    write_raw_stderr("Error occured during execv():\n%s.\n", std::strerror(error));
    return;
  }
  write_raw_stderr("Error occured during execv():\n%s%s", std::strerror(error),
                   error == EFAULT ? ", possible reason - NULL parameter is absent in "
                                     "util_exec(path, arg1, arg2, NULL) call.\n"
                                   : ".\n");
}

// exec_capture's child says why on the captured output; a stream that could
// not be installed ends it silently.
void report_exec_capture_failure(ChildStep step, int error, const char* path) {
  if (step == ChildStep::exec) dprintf(1, "Cannot exec %s:\n%s", path, std::strerror(error));
}

}  // namespace

int util_exec(int in_fd, int out_fd, const char* path, char* const argv[]) {
  if (in_fd >= 0 && in_fd <= 2) {
    report_error("values 0,1,2 not allowed for variables fd_in & fd_out\n");
    return -1;
  }
  if (out_fd >= 0 && out_fd <= 2) {
    report_error("values 0,1,2 not allowed for variables fd_in & fd_out\n");
    return -1;
  }
  auto pipe = make_pipe(O_CLOEXEC);
  if (!pipe) {
    report_error("Error occured during pipe():\n%s", std::strerror(errno));
    return -1;
  }
  ChildPlan plan;
  plan.in = ChildStream::descriptor(in_fd);
  plan.out = ChildStream::descriptor(out_fd);
  plan.err = ChildStream::descriptor(pipe->write.get());
  plan.close_others = false;
  plan.report = report_util_exec_failure;
  pid_t pid = start_child(plan, path, argv);
  if (pid < 0) exit_with_error(1, "Error occured during fork():\n%s", std::strerror(errno));
  pipe->write.reset();

  // Relay the child's standard error as messages. Each message carries at
  // most 4095 characters, as a reader of the relayed text expects.
  char buf[kBlock];
  for (;;) {
    ssize_t n = read(pipe->read.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t off = 0; off < n; off += 4095) {
      std::size_t piece = static_cast<std::size_t>(std::min<ssize_t>(4095, n - off));
      char text[4096];
      std::memcpy(text, buf + off, piece);
      text[piece] = '\0';
      write_message(text, 0);
      std::fflush(stderr);
    }
  }
  pipe->read.reset();

  int status = 0;
  const pid_t w = wait_child(pid, &status, WUNTRACED);
  if (w < 0) {
    report_error("Error occured during waiting the child process with pid: %d: %s\n", pid,
                 std::strerror(errno));
    return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  errno = 0;
  if (WIFSTOPPED(status)) {
    report_error("The child process with pid %d stopped by signal %i\n", pid, WSTOPSIG(status));
    return -1;
  }
  report_error("The child process with pid %d killed by signal %i\n", pid, WTERMSIG(status));
  return -1;
}

int exec_capture(char** out, const char* path, ...) {
  *out = nullptr;
  va_list args;
  va_start(args, path);
  va_list count_args;
  va_copy(count_args, args);
  std::size_t count = 1;
  while (va_arg(count_args, const char*) != nullptr) ++count;
  va_end(count_args);
  ArgVector argv(static_cast<char**>(std::malloc((count + 1) * sizeof(char*))));
  if (!argv) exit_with_error(1, "Cannot allocate buffer:\n%s", std::strerror(errno));
  argv[0] = const_cast<char*>(path);
  for (std::size_t i = 1; i < count; ++i) argv[i] = va_arg(args, char*);
  argv[count] = nullptr;
  va_end(args);

  auto pipe = make_pipe(O_CLOEXEC);
  if (!pipe) {
    report_error("Cannot create pipe:\n%s", std::strerror(errno));
    return -1;
  }
  ChildPlan plan;
  plan.out = ChildStream::descriptor(pipe->write.get());
  plan.err = ChildStream::descriptor(pipe->write.get());
  plan.close_others = false;
  plan.report = report_exec_capture_failure;
  pid_t pid = start_child(plan, path, argv.get());
  if (pid < 0) exit_with_error(1, "Cannot fork():\n%s", std::strerror(errno));
  pipe->write.reset();

  TextBuffer text;
  if (!text.reserve_block())
    exit_with_error(1, "Cannot allocate buffer:\n%s", std::strerror(errno));
  int flags = fcntl(pipe->read.get(), F_GETFL);
  if (flags >= 0) fcntl(pipe->read.get(), F_SETFL, flags | O_NONBLOCK);

  // Read until end of file, or until the child has ended (a grandchild may
  // hold the pipe open); then take what the pipe still holds.
  ChildWatch watch(pid);
  bool ended = false;
  bool open = true;
  while (open && !ended) {
    pollfd fd{pipe->read.get(), POLLIN, 0};
    ended = watch.wait(&fd, 1);
    std::size_t budget = ended ? pipe_bytes_available(pipe->read.get()) : kBlock;
    if (!(fd.revents & (POLLIN | POLLHUP | POLLERR)) && !ended) continue;
    while (budget > 0) {
      if (!text.reserve_block())
        exit_with_error(1, "Cannot allocate buffer:\n%s", std::strerror(errno));
      ssize_t n = read(pipe->read.get(), text.tail(), text.room());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) break;
      if (n < 0) {
        report_error("Cannot read child output:\n%s", std::strerror(errno));
        open = false;
        break;
      }
      if (n == 0) {
        open = false;
        break;
      }
      text.added(static_cast<std::size_t>(n));
      if (!ended) break;
      budget -= std::min(budget, static_cast<std::size_t>(n));
    }
  }
  pipe->read.reset();
  const int result = watch.reap();

  if (result == 0) {
    *out = text.release();
    return 0;
  }
  if (result == 255)
    report_error("error:\n%s", text.c_str());
  else
    report_error("utility %s failed (result=%d):\n%s", path, result, text.c_str());
  return result;
}

int exec_silent(const char* path, ...) {
  char* argv[101];
  argv[0] = const_cast<char*>(path);
  va_list args;
  va_start(args, path);
  std::size_t i = 1;
  for (; i < 100; ++i) {
    argv[i] = va_arg(args, char*);
    if (argv[i] == nullptr) break;
  }
  va_end(args);
  for (; i < 101; ++i) argv[i] = nullptr;

  ChildPlan plan;
  plan.in = ChildStream::null_device();
  plan.out = ChildStream::null_device();
  plan.err = ChildStream::null_device();
  plan.close_others = false;
  pid_t pid = start_child(plan, path, argv);
  if (pid < 0) {
    report_error("Cannot fork():\n%s", std::strerror(errno));
    return -1;
  }
  // Wait for this child only; another child of the caller is not ours to reap.
  int status = 0;
  const pid_t w = wait_child(pid, &status);
  return (w == pid && WIFSIGNALED(status)) ? 1 : 0;
}

int popen_exec(char** out, const char* command_line) {
  if (out) *out = nullptr;
  std::unique_ptr<FILE, PipeCloser> pipe(popen(command_line, "re"));
  if (!pipe) {
    std::fputs(
        "popen_exec: failed to execute command: fork or pipe calls failed, or cannon allocate "
        "memory\n",
        stderr);
    return -1;
  }
  TextBuffer text;
  if (!text.reserve_block()) {
    std::fputs("popen_exec: failed to allocate memory\n", stderr);
    return -1;
  }
  for (;;) {
    if (!text.reserve_block()) {
      std::fputs("popen_exec: warning: failed to allocate memory for command output buffer\n",
                 stderr);
      text.clear();
      break;
    }
    std::size_t n = std::fread(text.tail(), 1, text.room(), pipe.get());
    text.added(n);
    if (n == 0) break;
  }
  int status = pclose(pipe.release());
  if (out) *out = text.release();
  if (status == -1) return -1;
  if (WIFSIGNALED(status)) {
    // The shell itself was killed: that is no success.
    errno = 0;
    return -1;
  }
  return WEXITSTATUS(status);
}

int popen_exec_report(const char* command_line) {
  char* raw = nullptr;
  int result = popen_exec(&raw, command_line);
  std::unique_ptr<char, FreeDeleter> text(raw);
  if (result == -1) {
    const char* reason = errno ? std::strerror(errno) : "the command was killed by a signal";
    report_error("popen_exec: failed to execute command: %s\n", reason);
  } else if (result != 0) {
    const char* shown = (raw != nullptr && *raw != '\0') ? raw : "error: none";
    report_error("popen_exec: command failed code: %d , %s\n", result, shown);
  }
  return result;
}

void close_nonstd_fds() {
  close_descriptors_from_3();
  errno = 0;
}

int daemonize() {
  // Buffered output must leave once, not once per process.
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) exit_with_error(1, "fork() failed");
  if (pid > 0) {
    int status = 0;
    if (wait_child(pid, &status) < 0) exit_with_error(1, "wait() failed");
    errno = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) exit_with_error(1, "daemonize() failed");
    return 1;
  }

  // First child: standard input from /dev/null, standard output where
  // standard error goes; then hand over to a second child and end.
  errno = 0;
  int null_fd = open("/dev/null", O_RDONLY);
  bool ok = null_fd >= 0 && dup2(null_fd, 0) >= 0 && dup2(2, 1) >= 0;
  if (!ok) exit_with_error(1, "redirection failed");
  if (null_fd > 2) close(null_fd);
  pid_t second = fork();
  if (second < 0) {
    write_raw_stderr("fork() failed: %s\n", std::strerror(errno));
    _exit(1);
  }
  if (second > 0) _exit(0);
  errno = 0;
  return 0;
}
