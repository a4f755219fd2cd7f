// The encoding in which the caller passes each command of a chain: one
// command-line word per command, spaces as "+", other unsafe bytes as %XX.
#pragma once

#include <string>
#include <string_view>

// "+" becomes a space, "%" with two hex digits (either case) becomes that
// byte; everything else, a "%" without two hex digits after it included, is
// copied. The result is never longer than the input.
std::string url_decode(std::string_view encoded);

// A space becomes "+"; digits, ASCII letters, "-", "." and "_" are kept;
// every other byte is written as "%" and two upper-case hex digits.
std::string url_encode(std::string_view text);
