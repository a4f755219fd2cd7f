#include "common/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>

#include "common/stop_signals.h"

namespace {

// Puts one stream of the child in place; false with errno set.
bool install_stream(const ChildStream& stream, int target, bool close_source) {
  switch (stream.kind) {
    case ChildStream::Kind::inherited:
      return true;
    case ChildStream::Kind::null_device: {
      const int fd = ::open("/dev/null", O_RDWR);
      if (fd < 0) return false;
      if (fd == target) return true;
      const bool ok = ::dup2(fd, target) >= 0;
      const int error = errno;
      ::close(fd);
      errno = error;
      return ok;
    }
    case ChildStream::Kind::descriptor:
      if (stream.fd == target) {
        // Already there; only close-on-exec must not take it away.
        const int flags = ::fcntl(target, F_GETFD);
        return flags >= 0 && ::fcntl(target, F_SETFD, flags & ~FD_CLOEXEC) == 0;
      }
      if (::dup2(stream.fd, target) < 0) return false;
      if (close_source) ::close(stream.fd);
      return true;
  }
  return false;
}

// The termination signals, held back from just before the fork: until the
// child has its own dispositions it would run this process's handler, which
// only notes the request in the child's copy, and a stop request passed on
// to the new group in that moment would be lost.
sigset_t stop_signal_set() {
  sigset_t stops;
  sigemptyset(&stops);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, sig);
  return stops;
}

// The child's side up to the program: group, streams, other descriptors,
// signal dispositions, then the signal mask of before the fork (a request
// held back meanwhile takes effect there). Ends the child when a stream
// cannot be installed.
void set_up_child(const ChildPlan& plan, const char* path, const sigset_t& mask) {
  if (plan.own_group) ::setpgid(0, 0);
  const ChildStream* streams[3] = {&plan.in, &plan.out, &plan.err};
  for (int target = 0; target < 3; ++target) {
    if (!install_stream(*streams[target], target, plan.close_sources)) {
      if (plan.report != nullptr) plan.report(ChildStep::streams, errno, path);
      ::_exit(plan.failure_status);
    }
  }
  if (plan.close_others) close_descriptors_from_3();
  if (plan.default_signals) {
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) ::signal(sig, SIG_DFL);
  }
  ::sigprocmask(SIG_SETMASK, &mask, nullptr);
}

// fork, and in the parent the child's own group (set on both sides, so that
// a stop request right after the fork finds the group) and its registration.
// The termination signals stay held back in the child until set_up_child
// puts mask back; the parent's mask is back when this returns.
pid_t fork_child(const ChildPlan& plan, sigset_t* mask) {
  if (plan.flush_stdio) std::fflush(nullptr);
  const sigset_t stops = stop_signal_set();
  ::sigprocmask(SIG_BLOCK, &stops, mask);
  const pid_t pid = ::fork();
  if (pid == 0) return pid;
  if (pid > 0 && plan.own_group) {
    ::setpgid(pid, pid);
    if (plan.stopped_by_request) track_child_group(pid);
  }
  ::sigprocmask(SIG_SETMASK, mask, nullptr);
  return pid;
}

}  // namespace

pid_t start_child(const ChildPlan& plan, const char* path, char* const argv[]) {
  sigset_t mask;
  const pid_t pid = fork_child(plan, &mask);
  if (pid != 0) return pid;
  set_up_child(plan, path, mask);
  errno = 0;
  ::execv(path, argv);
  if (plan.report != nullptr) plan.report(ChildStep::exec, errno, path);
  ::_exit(plan.failure_status);
}

pid_t start_child(const ChildPlan& plan, const std::function<int()>& body) {
  sigset_t mask;
  const pid_t pid = fork_child(plan, &mask);
  if (pid != 0) return pid;
  set_up_child(plan, nullptr, mask);
  ::_exit(body());
}

pid_t wait_child(pid_t pid, int* status, int options) {
  int wait_status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &wait_status, options);
  } while (r < 0 && errno == EINTR);
  if (status != nullptr) *status = wait_status;
  if (r < 0 || (r == pid && !WIFSTOPPED(wait_status))) untrack_child_group(pid);
  return r;
}

void close_descriptors_from_3() {
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
  const int limit = getdtablesize();
  for (int fd = 3; fd < limit; ++fd) close(fd);
}

void write_raw_stderr(const char* format, ...) {
  char buf[4096];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return;
  std::size_t len = std::min(static_cast<std::size_t>(n), sizeof buf - 1);
  std::size_t done = 0;
  while (done < len) {
    ssize_t w = write(2, buf + done, len - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
}
