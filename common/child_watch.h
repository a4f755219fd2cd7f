// Waiting for a child's end while reading its pipes: one poll over the read
// ends and the child's pidfd, so the end is noticed at once even when the
// pipes stay open (held by us or by a grandchild). No busy polling.
//
// A wait may be bounded (the panel utilities): at a deadline, or when a
// termination request comes while the child runs, the child's process group
// gets SIGTERM and, after a short grace, SIGKILL; the wait then ends with the
// child's end as usual.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>

#include "common/unique_fd.h"

// Why a child ended: by itself, or given up by a bounded wait.
enum class ChildEnding { by_itself, timed_out, stopped };

class ChildWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // Time between SIGTERM and SIGKILL for a child given up.
  static constexpr std::chrono::milliseconds kStopGrace{1000};

  explicit ChildWatch(pid_t pid);
  ChildWatch(const ChildWatch&) = delete;
  ChildWatch& operator=(const ChildWatch&) = delete;

  // From now on the child is given up at deadline, or as soon as a
  // termination request (stop_signals) is noted when stop_on_request is set.
  // group: the child has a process group of its own (whose id is its pid),
  // which is signalled as a whole; otherwise only the child is.
  void bound(Clock::time_point deadline, bool stop_on_request, bool group);
  // For a bounded wait that a termination request does not stop (a step of
  // the orderly end): once a request is noted, the child gets at most limit
  // more before it is given up as at the deadline.
  void limit_after_request(Clock::duration limit);

  // Waits until one of fds[0..n) is readable or the child has ended; entries
  // with fd -1 are skipped. Fills revents; returns true once the child has
  // ended (its output may still wait in the pipes). Interrupted waits are
  // retried.
  bool wait(pollfd* fds, std::size_t n);

  // Reaps the child (waiting for it if need be). The child's exit status, or
  // -1 when it was ended by a signal or could not be waited for; errno is 0
  // after a successful wait.
  int reap();

  ChildEnding ending() const { return ending_; }

 private:
  enum class Phase { running, terminating, killed };
  // Takes the bound's steps that are due; the poll timeout in ms until the
  // next one, -1 when none is left.
  int bound_step();
  void give_up(ChildEnding why, Clock::time_point now);
  bool reaped_by_fallback(pid_t w, int status);

  pid_t pid_;
  UniqueFd pidfd_;
  bool reaped_ = false;
  int result_ = -1;
  int fallback_timeout_ms_ = 1;

  bool bounded_ = false;
  bool stop_on_request_ = false;
  bool limited_after_request_ = false;
  Clock::duration after_request_{};
  bool group_ = false;
  Clock::time_point deadline_{};
  Clock::time_point kill_at_{};
  Phase phase_ = Phase::running;
  ChildEnding ending_ = ChildEnding::by_itself;
};

// Largest number of descriptors the runners watch beside the pidfd.
inline constexpr std::size_t kMaxWatched = 2;

// How many bytes a pipe holds at this moment (0 when unknown). After a
// child's end its output is drained up to this amount only, so a grandchild
// that keeps writing into the pipe cannot keep the caller reading.
std::size_t pipe_bytes_available(int fd);
