// Starting a child process and waiting for it: the one place where the
// runners of this library and both programs fork. A plan says where the
// child's three standard streams come from, whether every other descriptor
// goes, whether it gets a process group of its own (stopped by a termination
// request, see stop_signals) and which signal dispositions are reset; the
// child then runs a program with execv, or a function of the caller.
#pragma once

#include <sys/types.h>

#include <functional>

// Where one of the child's standard streams comes from.
struct ChildStream {
  enum class Kind { inherited, null_device, descriptor };
  Kind kind = Kind::inherited;
  int fd = -1;

  static ChildStream inherited() { return {}; }
  static ChildStream null_device() { return {Kind::null_device, -1}; }
  // Installed with dup2; a descriptor that is not open fails the start.
  static ChildStream descriptor(int fd) { return {Kind::descriptor, fd}; }
};

// The step of the child's set-up that failed.
enum class ChildStep { streams, exec };

// Writes the child's own report of a failed step (error: the errno value;
// path: the program, null for a function child). Runs in the child between
// fork and exec.
using ChildFailureReport = void (*)(ChildStep step, int error, const char* path);

struct ChildPlan {
  ChildStream in;
  ChildStream out;
  ChildStream err;
  // Each descriptor given for a stream is closed in the child once it is
  // installed, so one descriptor given for two streams fails the start.
  bool close_sources = false;
  // Every descriptor from 3 up is closed before the program runs; otherwise
  // only the close-on-exec ones go.
  bool close_others = true;
  // A process group of its own whose id is the pid, registered with the stop
  // handlers until wait_child sees the end (unless stopped_by_request is
  // false).
  bool own_group = false;
  // With own_group: a termination request is passed on to the group. False
  // for a child that must do its work although a stop was requested (the
  // steps of the orderly end); its caller bounds the wait instead.
  bool stopped_by_request = true;
  // SIGPIPE, SIGTERM, SIGINT and SIGHUP back to their defaults, so that the
  // child does not keep an ignored SIGPIPE or a handler of this process.
  bool default_signals = false;
  // Buffered stdio output written before the fork, so that it comes before
  // anything the child writes.
  bool flush_stdio = false;
  // Exit status of a child whose set-up or exec failed.
  int failure_status = 255;
  // Null: the failure is not reported.
  ChildFailureReport report = nullptr;
};

// Starts path with argv (execv: no shell, no search) as the plan says. The
// pid, or -1 with errno set (nothing reported).
pid_t start_child(const ChildPlan& plan, const char* path, char* const argv[]);
// The same, but the child runs body once it is set up and ends with the
// status body returns.
pid_t start_child(const ChildPlan& plan, const std::function<int()>& body);

// Waits for a child (waits interrupted by a signal are retried); options as
// waitpid's (0, WNOHANG, WUNTRACED). waitpid's result: the pid, 0 while the
// child runs (WNOHANG), -1 with errno set; status receives the wait status.
// A child that has ended (or cannot be waited for) is no longer tracked by
// the stop handlers.
pid_t wait_child(pid_t pid, int* status, int options = 0);

// Closes every descriptor from 3 up in the calling process.
void close_descriptors_from_3();

// Writes a formatted text straight to descriptor 2 (no stdio buffers, no
// program prefix); safe in a forked child before exec.
void write_raw_stderr(const char* format, ...) __attribute__((format(printf, 1, 2)));
