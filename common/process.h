// Child process execution with execv: explicit path and argument vector, no
// shell. Result codes: the child's exit status (0..255), -1 when it was ended
// by a signal, could not be waited for, or the arguments were refused.
// Gathered texts are malloc'ed, NUL-terminated, null when the stream stayed
// empty; the caller frees them with free().
#pragma once

#include <sys/types.h>

// Starts path with argv; in/out/err: own number = inherited, -1 = /dev/null,
// other = installed there. Descriptors from 3 up are closed in the child.
pid_t fork_execv(int in_fd, int out_fd, int err_fd, const char* path, char* const argv[]);
pid_t fork_execl(int in_fd, int out_fd, int err_fd, const char* path, const char* arg0, ...);

int fork_execv_getouterr(char** out, char** err, const char* path, char* const argv[]);
int fork_execl_getouterr(char** out, char** err, const char* path, const char* arg0, ...);
int fork_execv_getout(char** out, const char* path, char* const argv[]);
int fork_execl_getout(char** out, const char* path, const char* arg0, ...);

int read_pipe_chunk(int* fd, char** text, size_t* capacity, size_t* length);

int exec_utility_vq(const char* path, char* const argv[], int quiet);
int exec_utility_v(const char* path, char* const argv[]);
int exec_utility_l(const char* path, const char* arg0, ...);
int exec_utility(const char* path, ...);  // arguments after the path, null-terminated

// Runs PRODUCT_ROOT_D/admin/bin/<name> with the listed arguments (null
// terminated); reports a failure itself; 0 on success.
int exec_admin_utility(const char* name, ...);
int exec_admin_utility_v(const char* name, char* const argv[]);
