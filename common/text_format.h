// printf-style formatting into a std::string.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <optional>
#include <string>

// The whole text of format and its arguments; nullopt when the arguments
// cannot be converted (an encoding error).
std::optional<std::string> vformat_text(const char* format, va_list args);
std::optional<std::string> format_text(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// The same cut to at most limit characters, as a buffer of limit + 1 bytes
// given to snprintf holds it; the empty text when the arguments cannot be
// converted.
std::string vformat_text_cut(std::size_t limit, const char* format, va_list args);
std::string format_text_cut(std::size_t limit, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
