#include "shell_child.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

#include "stop_signals.h"

pid_t start_shell_child(const std::string& command, int in_fd, int out_fd, int err_fd) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::setpgid(0, 0);
    if (in_fd >= 0 && in_fd != STDIN_FILENO) ::dup2(in_fd, STDIN_FILENO);
    if (out_fd >= 0 && out_fd != STDOUT_FILENO) ::dup2(out_fd, STDOUT_FILENO);
    if (err_fd >= 0 && err_fd != STDERR_FILENO) ::dup2(err_fd, STDERR_FILENO);
    ::close_range(3, ~0U, 0);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) ::signal(sig, SIG_DFL);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Set here too, so that a stop request right after the fork finds the group.
  ::setpgid(pid, pid);
  track_child_group(pid);
  return pid;
}

int wait_shell_child(pid_t pid) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  untrack_child_group(pid);
  return r == pid ? status : -1;
}
