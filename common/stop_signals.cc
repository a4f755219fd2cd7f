#include "common/stop_signals.h"

#include <signal.h>

#include <csignal>
#include <cstdlib>
#include <initializer_list>

#include "common/messages.h"

namespace {

constexpr int kMaxChildren = 64;
volatile sig_atomic_t received = 0;
volatile sig_atomic_t children[kMaxChildren] = {};

void stop_children(int sig) {
  for (int i = 0; i < kMaxChildren; ++i) {
    const pid_t pgid = children[i];
    if (pgid > 0) ::kill(-pgid, sig == SIGINT || sig == SIGHUP ? SIGTERM : sig);
  }
}

extern "C" void on_stop_signal(int sig) {
  if (received == 0) received = sig;
  stop_children(received);
}

}  // namespace

void install_stop_handlers() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

int stop_signal() { return received; }

void track_child_group(pid_t pgid) {
  for (int i = 0; i < kMaxChildren; ++i) {
    if (children[i] == 0) {
      children[i] = pgid;
      break;
    }
  }
  if (received != 0) ::kill(-pgid, SIGTERM);
}

void untrack_child_group(pid_t pgid) {
  for (int i = 0; i < kMaxChildren; ++i) {
    if (children[i] == pgid) children[i] = 0;
  }
}

void exit_if_stopped() {
  if (received != 0) util_exit(128 + received);
}
