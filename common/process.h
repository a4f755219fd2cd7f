// Child process execution with execv: explicit path and argument vector, no
// shell. Result codes: the child's exit status (0..255), -1 when it was ended
// by a signal, could not be waited for, or the arguments were refused.
// Gathered texts are malloc'ed, NUL-terminated, null when the stream stayed
// empty; the caller frees them with free().
#pragma once

#include <sys/types.h>

#include <chrono>
#include <span>

#include "common/child_watch.h"

// Starts path with argv; in/out/err: own number = inherited, -1 = /dev/null,
// other = installed there. Descriptors from 3 up are closed in the child.
pid_t fork_execv(int in_fd, int out_fd, int err_fd, const char* path, char* const argv[]);
pid_t fork_execl(int in_fd, int out_fd, int err_fd, const char* path, const char* arg0, ...);

int fork_execv_getouterr(char** out, char** err, const char* path, char* const argv[]);
int fork_execl_getouterr(char** out, char** err, const char* path, const char* arg0, ...);
int fork_execv_getout(char** out, const char* path, char* const argv[]);
int fork_execl_getout(char** out, const char* path, const char* arg0, ...);

int read_pipe_chunk(int* fd, char** text, size_t* capacity, size_t* length);

// The exec_utility and exec_admin_utility forms run the utility in a process
// group of its own and wait for it at most utility_timeout(); a termination
// request that comes while it runs stops it too (see run_admin_utility). A
// utility given up is ended (SIGTERM to its group, SIGKILL after a short
// grace), reported, and fails as one ended by a signal does (-1).
int exec_utility_vq(const char* path, char* const argv[], int quiet);
int exec_utility_v(const char* path, char* const argv[]);
int exec_utility_l(const char* path, const char* arg0, ...);
int exec_utility(const char* path, ...);  // arguments after the path, null-terminated

// Runs PRODUCT_ROOT_D/admin/bin/<name> with the listed arguments (null
// terminated); reports a failure itself; 0 on success.
int exec_admin_utility(const char* name, ...);
int exec_admin_utility_v(const char* name, char* const argv[]);

// The bound of every wait for a panel utility: HVX_UTILITY_TIMEOUT seconds (a
// whole number from 1 on), 300 when unset or not such a number.
std::chrono::seconds utility_timeout();

// Whether a termination request stops a utility while it runs.
enum class UtilityStop {
  // Yes; but one started after a request was noted runs (to the time limit).
  on_request,
  // Never: a step of the orderly end (switching a domain back on, a
  // rollback); only the time limit ends it.
  at_limit_only,
};

// Whether a utility started now is stopped by a termination request.
bool utility_stoppable(UtilityStop stop);
// Bounds the wait for a utility just started: limit from now, and a
// termination request when stoppable; group: it has a process group of its
// own.
void bound_utility_wait(ChildWatch& watch, bool stoppable, std::chrono::seconds limit, bool group);
// After the wait: reports a utility the watch gave up ("did not end within N
// s" or "stopped by a termination request"); true when it was given up.
bool report_utility_given_up(const ChildWatch& watch, const char* path, std::chrono::seconds limit);

// exec_admin_utility with the arguments after the program's name and the
// given stop rule. 0 on success; otherwise as exec_utility_vq.
int run_admin_utility(const char* name, std::span<const char* const> args, UtilityStop stop);
// The same with the wait bounded by limit too (a utility that talks to a
// server whose own limits are shorter than utility_timeout()).
int run_admin_utility(const char* name, std::span<const char* const> args, UtilityStop stop,
                      std::chrono::seconds limit);
