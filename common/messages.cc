#include "common/messages.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/path_names.h"
#include "common/text_format.h"

const char* program_name = nullptr;

namespace {

MessageObserver message_observer = nullptr;
int status_at_exit = 0;

[[noreturn]] void end_process(int status) {
  status_at_exit = status;
  std::exit(status);
}

// The last path component of program_name ("dir/prog/" shows as "prog",
// "/" as "/"); empty when there is none.
std::string shown_program_name() {
  if (program_name == nullptr || *program_name == '\0') return {};
  return path_basename(program_name);
}

void write_to(FILE* stream, const std::string& prefix, const char* text) {
  if (!prefix.empty()) std::fprintf(stream, "%s: ", prefix.c_str());
  std::size_t len = std::strlen(text);
  std::fwrite(text, 1, len, stream);
  if (len == 0 || text[len - 1] != '\n') std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

int write_message(const char* text, int exit_code) {
  const int saved_errno = errno;
  const std::string prefix = shown_program_name();
  if (text == nullptr) text = "";
  if (message_observer != nullptr) message_observer(text);
  write_to(stderr, prefix, text);
  write_to(stdout, prefix, text);
  if (exit_code != 0) end_process(exit_code);
  errno = saved_errno;
  return 0;
}

namespace {

// The text of a report: the formatted message and, when errno was set, the
// system error it names.
std::string report_text(int saved_errno, const char* format, va_list args) {
  std::string text = vformat_text(format, args).value_or(format);
  if (saved_errno != 0) {
    text += "\nSystem error ";
    text += std::to_string(saved_errno);
    text += ": ";
    text += std::strerror(saved_errno);
  }
  return text;
}

}  // namespace

void vprint_error(int exit_code, const char* format, va_list args) {
  const int saved_errno = errno;
  const std::string text = report_text(saved_errno, format, args);
  errno = saved_errno;
  write_message(text.c_str(), exit_code);
  errno = saved_errno;
}

void report_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprint_error(0, format, args);
  va_end(args);
}

void exit_with_error(int exit_code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int saved_errno = errno;
  const std::string text = report_text(saved_errno, format, args);
  va_end(args);
  errno = saved_errno;
  write_message(text.c_str(), 0);
  // A caller's 0 still ends the run, as a failure.
  end_process(exit_code != 0 ? exit_code : 1);
}

void write_output_text(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void write_error_text(const char* text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
}

void util_exit(int status) { end_process(status); }

void set_message_observer(MessageObserver observer) { message_observer = observer; }

int ending_status() { return status_at_exit; }
