#include "common/shell_child.h"

#include <unistd.h>

#include "common/child_process.h"

namespace {

// -1 leaves the stream inherited, as does the stream's own number.
ChildStream shell_stream(int fd, int target) {
  return fd >= 0 && fd != target ? ChildStream::descriptor(fd) : ChildStream::inherited();
}

}  // namespace

pid_t start_shell_child(const std::string& command, int in_fd, int out_fd, int err_fd) {
  ChildPlan plan;
  plan.in = shell_stream(in_fd, STDIN_FILENO);
  plan.out = shell_stream(out_fd, STDOUT_FILENO);
  plan.err = shell_stream(err_fd, STDERR_FILENO);
  plan.own_group = true;
  plan.default_signals = true;
  plan.flush_stdio = true;
  plan.failure_status = 127;
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                  const_cast<char*>(command.c_str()), nullptr};
  return start_child(plan, "/bin/sh", argv);
}

int wait_shell_child(pid_t pid) {
  int status = 0;
  return wait_child(pid, &status) == pid ? status : -1;
}
