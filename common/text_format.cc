#include "common/text_format.h"

#include <cstdio>

std::optional<std::string> vformat_text(const char* format, va_list args) {
  // Most texts fit the stack buffer: one formatting pass.
  char small[4096];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return std::nullopt;
  const auto length = static_cast<std::size_t>(needed);
  if (length < sizeof small) return std::string(small, length);
  std::string text(length + 1, '\0');
  va_copy(copy, args);
  std::vsnprintf(text.data(), text.size(), format, copy);
  va_end(copy);
  text.resize(length);
  return text;
}

std::optional<std::string> format_text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  auto text = vformat_text(format, args);
  va_end(args);
  return text;
}

std::string vformat_text_cut(std::size_t limit, const char* format, va_list args) {
  std::string text = vformat_text(format, args).value_or(std::string());
  if (text.size() > limit) text.resize(limit);
  return text;
}

std::string format_text_cut(std::size_t limit, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat_text_cut(limit, format, args);
  va_end(args);
  return text;
}
