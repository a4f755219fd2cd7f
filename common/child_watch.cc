#include "child_watch.h"

#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "child_process.h"

ChildWatch::ChildWatch(pid_t pid)
    : pid_(pid), pidfd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}

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
  for (;;) {
    std::size_t total = count;
    int timeout = -1;
    if (pidfd_) {
      all[total].fd = pidfd_.get();
      all[total].events = POLLIN;
      all[total].revents = 0;
      ++total;
    } else {
      // Without a pidfd (old kernel, filtered system call) the end is looked
      // for between waits growing from 1 ms to 1 s while nothing happens.
      timeout = fallback_timeout_ms_;
    }
    int rc = poll(all, total, timeout);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) {
      // Not expected; fall back to looking for the end without blocking.
      int status = 0;
      pid_t w = wait_child(pid_, &status, WNOHANG);
      if (w == 0) {
        usleep(1000);
        continue;
      }
      reaped_ = true;
      result_ = (w == pid_ && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
      if (w == pid_) errno = 0;
      return true;
    }
    for (std::size_t i = 0; i < count; ++i) fds[index[i]].revents = all[i].revents;
    if (pidfd_) return (all[count].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
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
    reaped_ = true;
    result_ = (w == pid_ && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    if (w == pid_) errno = 0;
    return true;
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
