// Move-only owner of a file descriptor, and close-on-exec pipes whose two
// ends are owned from the moment they exist.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct PipeEnds {
  UniqueFd read;
  UniqueFd write;
};

// pipe2(O_CLOEXEC); nullopt with errno set on failure.
inline std::optional<PipeEnds> make_pipe(int flags = O_CLOEXEC) {
  int fds[2];
  if (::pipe2(fds, flags) != 0) return std::nullopt;
  return PipeEnds{UniqueFd(fds[0]), UniqueFd(fds[1])};
}
