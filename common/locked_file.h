// Locked files: open (and create) a file and take a flock on it; one integer
// tells whether this process holds the lock, another process does, or the
// attempt failed.
//
// The C-style record and functions are the interface other panel tools link
// against and keep their conventions; the programs of this system hold a lock
// through LockedFile, which owns the record and closes it when it goes.
#pragma once

#include <string>
#include <utility>

struct locked_file {
  // > 0: open and locked by this process (the descriptor); 0: held by another
  // process (file closed again); -1: open or lock failed.
  int fd = 0;
  std::string path;
};

// Opens path (with ".lock" appended when add_suffix is set) without
// following a link, refuses anything but a regular file and takes the flock;
// null when no record could be made (no path, a name too long, no memory).
locked_file* open_locked_file(const char* path, int open_flags, int lock_operation,
                              short add_suffix);
// O_RDWR|O_CREAT|O_TRUNC, LOCK_EX|LOCK_NB. The form the system uses.
locked_file* lock_file_try(const char* path, short add_suffix);
// The same with a blocking lock.
locked_file* lock_file_wait(const char* path, short add_suffix);
// 1 when this process holds the lock, else 0.
int locked_file_is_locked(const locked_file* record);
// 1 when another process holds the lock (or there is no record), else 0.
int locked_file_is_busy(const locked_file* record);
// Releases, closes and frees the record. 0, or -1 (also for null).
int close_locked_file(locked_file* record);
// The same as close_locked_file.
int unlock_file(locked_file* record);

// Owner of one record: the lock is released and the record freed when the
// owner goes. Empty when no record could be made.
class LockedFile {
 public:
  enum class State { none, held, busy, failed };

  LockedFile() = default;
  explicit LockedFile(locked_file* record) : record_(record) {}
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  LockedFile(LockedFile&& other) noexcept : record_(other.release()) {}
  LockedFile& operator=(LockedFile&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~LockedFile() { reset(); }

  // lock_file_try: exclusive, without waiting, the file created or truncated.
  static LockedFile try_lock(const std::string& path, bool add_suffix = false) {
    return LockedFile(lock_file_try(path.c_str(), add_suffix ? 1 : 0));
  }

  State state() const {
    if (record_ == nullptr) return State::none;
    if (locked_file_is_locked(record_)) return State::held;
    return locked_file_is_busy(record_) ? State::busy : State::failed;
  }
  bool held() const { return state() == State::held; }
  // Another process holds the lock, or no record could be made.
  bool busy() const { return locked_file_is_busy(record_) != 0; }
  explicit operator bool() const { return record_ != nullptr; }

  locked_file* get() const { return record_; }
  // Hands the record over; this owner forgets it.
  locked_file* release() { return std::exchange(record_, nullptr); }
  // Closes the record held (reported by close_locked_file) and takes record.
  void reset(locked_file* record = nullptr) {
    if (record_ != nullptr) close_locked_file(record_);
    record_ = record;
  }
  // Closes the record now: close_locked_file's result (-1 when empty).
  int close() { return close_locked_file(release()); }

 private:
  locked_file* record_ = nullptr;
};
