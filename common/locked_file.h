// Locked files: open (and create) a file and take a flock on it; one integer
// tells whether this process holds the lock, another process does, or the
// attempt failed.
#pragma once

#include <string>

struct locked_file {
  // > 0: open and locked by this process (the descriptor); 0: held by another
  // process (file closed again); -1: open or lock failed.
  int fd = 0;
  std::string path;
};

locked_file* open_locked_file(const char* path, int open_flags, int lock_operation,
                              short add_suffix);
// O_RDWR|O_CREAT|O_TRUNC, LOCK_EX|LOCK_NB. The form the system uses.
locked_file* lock_file_try(const char* path, short add_suffix);
// The same with a blocking lock.
locked_file* lock_file_wait(const char* path, short add_suffix);
int locked_file_is_locked(const locked_file* record);
int locked_file_is_busy(const locked_file* record);
// Releases, closes and frees the record. 0, or -1 (also for null).
int close_locked_file(locked_file* record);
int unlock_file(locked_file* record);
