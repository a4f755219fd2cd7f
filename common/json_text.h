// JSON string literals of arbitrary bytes, for the tool's machine-readable
// outputs (the status record, the dump inventory).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the valid UTF-8 sequence at the front of text (1 to 4), or
// 0 when its first byte does not begin one: no overlong forms, no UTF-16
// surrogates, nothing beyond U+10FFFF.
std::size_t utf8_sequence(std::string_view text);

// How a byte that is not part of a valid UTF-8 sequence is written.
enum class InvalidUtf8 {
  // U+FFFD: the text stays readable, the byte is lost.
  replace,
  // \udcXX, the lone surrogate that stands for byte XX: a reader can turn
  // the string back into the very bytes (a file name, say).
  surrogate_escape,
};

// A JSON string literal of text: quotes, backslashes and control characters
// (DEL too) escaped, valid UTF-8 kept, other bytes written as invalid says.
std::string json_string(std::string_view text, InvalidUtf8 invalid = InvalidUtf8::replace);
