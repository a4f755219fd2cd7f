#include "chainrun/chain_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "common/fd_io.h"
#include "common/text_format.h"
#include "common/unique_fd.h"

namespace {

std::string& log_path() {
  static std::string path;
  return path;
}

}  // namespace

void set_log_path(std::string path) { log_path() = std::move(path); }

void log_append(std::string_view text) {
  if (log_path().empty()) return;
  const int saved_errno = errno;
  // Opened for every fragment and written at once, so that several runners
  // appending to one log keep their fragments whole. The commands' error
  // output may carry secrets: a new log is not readable by others, and an
  // existing one keeps its mode.
  UniqueFd fd(::open(log_path().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
  if (fd) {
    write_all(fd.get(), text);
    write_all(STDERR_FILENO, text);
  }
  errno = saved_errno;
}

void log_appendf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const auto text = vformat_text(format, args);
  va_end(args);
  if (text && !text->empty()) log_append(*text);
}

std::string log_time_text() {
  const std::time_t now = std::time(nullptr);
  char buf[64] = {};
  if (::ctime_r(&now, buf) == nullptr) return {};
  std::string text(buf);
  if (text.size() > 29) text.resize(29);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}
