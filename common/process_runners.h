// Other process runners: caller-wired, merged capture, silent, shell, and
// the background-process operation.
#pragma once

int util_exec(int in_fd, int out_fd, const char* path, char* const argv[]);
int exec_capture(char** out, const char* path, ...);
int exec_silent(const char* path, ...);
int popen_exec(char** out, const char* command_line);
int popen_exec_report(const char* command_line);
void close_nonstd_fds();
// 1 in the calling process, 0 in the new background process.
int daemonize();
