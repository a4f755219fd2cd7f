// Quoting of values placed into shell command lines.
#pragma once

#include <string>
#include <string_view>

// The value as one shell word: wrapped in single quotes, every single quote
// written as '\''. An ordinary value reaches the program unchanged and no value
// can end the word or start another command.
std::string shell_quote(std::string_view value);
