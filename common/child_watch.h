// Waiting for a child's end while reading its pipes: one poll over the read
// ends and the child's pidfd, so the end is noticed at once even when the
// pipes stay open (held by us or by a grandchild). No busy polling.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

#include "unique_fd.h"

class ChildWatch {
 public:
  explicit ChildWatch(pid_t pid);
  ChildWatch(const ChildWatch&) = delete;
  ChildWatch& operator=(const ChildWatch&) = delete;

  // Waits until one of fds[0..n) is readable or the child has ended; entries
  // with fd -1 are skipped. Fills revents; returns true once the child has
  // ended (its output may still wait in the pipes). Interrupted waits are
  // retried.
  bool wait(pollfd* fds, std::size_t n);

  // Reaps the child (waiting for it if need be). The child's exit status, or
  // -1 when it was ended by a signal or could not be waited for; errno is 0
  // after a successful wait.
  int reap();

 private:
  pid_t pid_;
  UniqueFd pidfd_;
  bool reaped_ = false;
  int result_ = -1;
  int fallback_timeout_ms_ = 1;
};

// Largest number of descriptors the runners watch beside the pidfd.
inline constexpr std::size_t kMaxWatched = 2;

// How many bytes a pipe holds at this moment (0 when unknown). After a
// child's end its output is drained up to this amount only, so a grandchild
// that keeps writing into the pipe cannot keep the caller reading.
std::size_t pipe_bytes_available(int fd);
