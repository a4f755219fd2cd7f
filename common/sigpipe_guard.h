// Scope guard that ignores SIGPIPE while it lives: writing to a child that
// stopped reading then fails with EPIPE instead of ending this process.
#pragma once

#include <signal.h>

class SigpipeGuard {
 public:
  SigpipeGuard() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    active_ = sigaction(SIGPIPE, &ignore, &saved_) == 0;
  }
  ~SigpipeGuard() {
    if (active_) sigaction(SIGPIPE, &saved_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  struct sigaction saved_ {};
  bool active_ = false;
};
