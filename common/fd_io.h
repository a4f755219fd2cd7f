// Whole-buffer writes on descriptors.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

// Writes all of data, retrying short writes and EINTR; false on an error
// (errno tells which).
inline bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

inline bool write_all(int fd, std::string_view data) {
  return write_all(fd, data.data(), data.size());
}
