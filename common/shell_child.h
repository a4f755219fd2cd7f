// A shell command run as a child in a process group of its own, so that a
// termination request stops it with everything it started.
#pragma once

#include <sys/types.h>

#include <string>

// Starts "/bin/sh -c command" with standard input from in_fd, standard
// output to out_fd and standard error to err_fd (-1: inherited); every other
// descriptor of this process stays behind. The child is registered with the
// stop handlers. The pid, or -1 with errno set.
pid_t start_shell_child(const std::string& command, int in_fd, int out_fd, int err_fd = -1);
// Waits for the child and unregisters it; its wait status, or -1.
int wait_shell_child(pid_t pid);
