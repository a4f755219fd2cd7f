#include "common/child_watch.h"

#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <initializer_list>

#include "common/child_process.h"
#include "common/stop_signals.h"

namespace {

// The termination signals held back while the watch decides whether to
// wait, and let through only inside ppoll: a request that comes between the
// look at stop_signal() and the wait still wakes the wait.
class StopSignalsHeld {
 public:
  explicit StopSignalsHeld(bool hold) {
    if (!hold) return;
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, sig);
    held_ = ::sigprocmask(SIG_BLOCK, &stops, &previous_) == 0;
  }
  ~StopSignalsHeld() {
    if (held_) ::sigprocmask(SIG_SETMASK, &previous_, nullptr);
  }
  StopSignalsHeld(const StopSignalsHeld&) = delete;
  StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

  // The mask for ppoll: null when nothing is held.
  const sigset_t* wait_mask() const { return held_ ? &previous_ : nullptr; }

 private:
  bool held_ = false;
  sigset_t previous_{};
};

int poll_for(pollfd* fds, std::size_t n, int timeout_ms, const sigset_t* mask) {
  if (timeout_ms < 0) return ::ppoll(fds, n, nullptr, mask);
  timespec ts{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
  return ::ppoll(fds, n, &ts, mask);
}

// Milliseconds until a moment, rounded up so that a wake-up never comes
// before it.
int ms_until(ChildWatch::Clock::time_point when, ChildWatch::Clock::time_point now) {
  if (when <= now) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
  return static_cast<int>(std::min<long long>(ms, 24LL * 3600 * 1000));
}

// The shorter of two poll timeouts (-1: none).
int shorter(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

}  // namespace

ChildWatch::ChildWatch(pid_t pid)
    : pid_(pid), pidfd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}

void ChildWatch::bound(Clock::time_point deadline, bool stop_on_request, bool group) {
  bounded_ = true;
  deadline_ = deadline;
  stop_on_request_ = stop_on_request;
  group_ = group;
}

void ChildWatch::give_up(ChildEnding why, Clock::time_point now) {
  ending_ = why;
  phase_ = Phase::terminating;
  kill_at_ = now + kStopGrace;
  ::kill(group_ ? -pid_ : pid_, SIGTERM);
}

void ChildWatch::limit_after_request(Clock::duration limit) {
  limited_after_request_ = true;
  after_request_ = limit;
}

int ChildWatch::bound_step() {
  if (!bounded_ || reaped_) return -1;
  const Clock::time_point now = Clock::now();
  if (phase_ == Phase::running) {
    if (limited_after_request_ && stop_signal() != 0) {
      limited_after_request_ = false;
      deadline_ = std::min(deadline_, now + after_request_);
    }
    if (stop_on_request_ && stop_signal() != 0) {
      give_up(ChildEnding::stopped, now);
    } else if (now >= deadline_) {
      give_up(ChildEnding::timed_out, now);
    }
  }
  if (phase_ == Phase::terminating && now >= kill_at_) {
    ::kill(group_ ? -pid_ : pid_, SIGKILL);
    phase_ = Phase::killed;
  }
  switch (phase_) {
    case Phase::running:
      return ms_until(deadline_, now);
    case Phase::terminating:
      return ms_until(kill_at_, now);
    case Phase::killed:
      break;
  }
  return -1;
}

bool ChildWatch::reaped_by_fallback(pid_t w, int status) {
  reaped_ = true;
  result_ = (w == pid_ && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  if (w == pid_) errno = 0;
  return true;
}

bool ChildWatch::wait(pollfd* fds, std::size_t n) {
  if (reaped_) return true;
  pollfd all[kMaxWatched + 1];
  std::size_t count = 0;
  std::size_t index[kMaxWatched];
  for (std::size_t i = 0; i < n; ++i) {
    fds[i].revents = 0;
    if (fds[i].fd < 0 || count == kMaxWatched) continue;
    index[count] = i;
    all[count++] = fds[i];
  }
  const StopSignalsHeld held(bounded_ && (stop_on_request_ || limited_after_request_) &&
                             phase_ == Phase::running);
  for (;;) {
    std::size_t total = count;
    int timeout = bound_step();
    if (pidfd_) {
      all[total].fd = pidfd_.get();
      all[total].events = POLLIN;
      all[total].revents = 0;
      ++total;
    } else {
      // Without a pidfd (old kernel, filtered system call) the end is looked
      // for between waits growing from 1 ms to 1 s while nothing happens.
      timeout = shorter(timeout, fallback_timeout_ms_);
    }
    for (std::size_t i = 0; i < count; ++i) all[i].revents = 0;
    int rc = poll_for(all, total, timeout, held.wait_mask());
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) {
      // Not expected; fall back to looking for the end without blocking.
      int status = 0;
      pid_t w = wait_child(pid_, &status, WNOHANG);
      if (w == 0) {
        (void)bound_step();
        usleep(1000);
        continue;
      }
      return reaped_by_fallback(w, status);
    }
    for (std::size_t i = 0; i < count; ++i) fds[index[i]].revents = all[i].revents;
    if (pidfd_) {
      if ((all[count].revents & (POLLIN | POLLHUP | POLLERR)) != 0) return true;
      // Only a step of the bound was due.
      if (rc == 0) continue;
      return false;
    }
    if (rc > 0) {
      fallback_timeout_ms_ = 1;
      return false;
    }
    fallback_timeout_ms_ = std::min(fallback_timeout_ms_ * 2, 1000);
    int status = 0;
    pid_t w = wait_child(pid_, &status, WNOHANG);
    if (w == 0) {
      if (count == 0) continue;
      return false;
    }
    return reaped_by_fallback(w, status);
  }
}

int ChildWatch::reap() {
  if (reaped_) return result_;
  int status = 0;
  const pid_t w = wait_child(pid_, &status);
  reaped_ = true;
  if (w == pid_) {
    result_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    errno = 0;
  } else {
    result_ = -1;
  }
  return result_;
}

std::size_t pipe_bytes_available(int fd) {
  int available = 0;
  if (ioctl(fd, FIONREAD, &available) != 0 || available < 0) return 0;
  return static_cast<std::size_t>(available);
}
