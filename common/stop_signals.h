// Termination requests (SIGTERM, SIGINT, SIGHUP) turned into an orderly stop.
// The handler only notes the signal and passes it on to the child process
// groups registered here; the run then fails the way any failure does
// (partial dump removed, failure mail, domain switched back on, lock
// released) and ends with 128 + the signal's number.
#pragma once

#include <sys/types.h>

// Installs the handler for the three signals (restarting interrupted calls).
void install_stop_handlers();
// The first termination signal received, or 0.
int stop_signal();
// Children to stop on a termination request: each runs in a process group of
// its own, whose id is its pid. A signal that came before registration is
// passed on at once.
void track_child_group(pid_t pgid);
void untrack_child_group(pid_t pgid);
// Ends the process with 128 + the signal when one was received; returns
// otherwise.
void exit_if_stopped();
