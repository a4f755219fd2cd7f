#include "common/locked_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "common/messages.h"

namespace {

// Longest last path component (from the last "/" inclusive) we accept, so
// that the name with ".lock" appended still fits a 255-byte file name.
constexpr std::size_t kMaxLastComponent = 255 - 5;

void report(const std::string& text) { write_message(text.c_str(), 0); }

// A lock file must never sit on a standard descriptor: a held lock on
// descriptor 0 would read as busy, and 1 or 2 would be written to by anyone
// reporting. Moves the descriptor to 3 or above; the flock (tied to the open
// file description) is unaffected.
int move_off_standard(int fd) {
  if (fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

}  // namespace

locked_file* open_locked_file(const char* path, int open_flags, int lock_operation,
                              short add_suffix) {
  if (path == nullptr) return nullptr;
  const char* slash = std::strrchr(path, '/');
  const std::size_t last_len = std::strlen(slash ? slash : path);
  if (last_len > kMaxLastComponent) return nullptr;

  auto* record = new (std::nothrow) locked_file;
  if (record == nullptr) return nullptr;
  record->fd = 0;
  record->path = path;
  if (add_suffix) record->path += ".lock";

  // A lock file is never reached through a link, and nothing but a regular
  // file is taken for one (a FIFO does not block the open).
  int fd = open(record->path.c_str(), open_flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  const char* refusal = nullptr;
  if (fd < 0 && errno == ELOOP) refusal = "it is a symbolic link";
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
    errno = EINVAL;
    refusal = "it is not a regular file";
  }
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (fd >= 0) fd = move_off_standard(fd);
  if (fd < 0) {
    record->fd = -1;
    report("Unable to open file \"" + record->path +
           "\": " + (refusal ? refusal : std::strerror(errno)) + ".");
    return record;
  }
  if (flock(fd, lock_operation) == 0) {
    record->fd = fd;
    return record;
  }
  const int lock_errno = errno;
  close(fd);
  record->fd = (lock_errno == EWOULDBLOCK) ? 0 : -1;
  errno = lock_errno;
  return record;
}

locked_file* lock_file_try(const char* path, short add_suffix) {
  return open_locked_file(path, O_RDWR | O_CREAT | O_TRUNC, LOCK_EX | LOCK_NB, add_suffix);
}

locked_file* lock_file_wait(const char* path, short add_suffix) {
  return open_locked_file(path, O_RDWR | O_CREAT | O_TRUNC, LOCK_EX, add_suffix);
}

int locked_file_is_locked(const locked_file* record) {
  return (record != nullptr && record->fd > 0) ? 1 : 0;
}

int locked_file_is_busy(const locked_file* record) {
  return (record == nullptr || record->fd == 0) ? 1 : 0;
}

int close_locked_file(locked_file* record) {
  if (record == nullptr) return -1;
  int result = 0;
  if (record->fd > 0) {
    if (flock(record->fd, LOCK_UN) != 0) {
      report("Unable to unlock '" + record->path + "' file: " + std::strerror(errno) + "\n");
      // The record goes away, so its descriptor must too; closing it also
      // ends the lock for this open file description.
      close(record->fd);
      result = -1;
    } else if (close(record->fd) != 0) {
      report("An error occured during closing '" + record->path +
             "' file: " + std::strerror(errno) + "\n");
      result = -1;
    }
  }
  delete record;
  return result;
}

int unlock_file(locked_file* record) { return close_locked_file(record); }
