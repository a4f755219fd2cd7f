// Bytes moved between a producer and a consumer without either knowing the
// other: a dump's stream to a file or a remote store, a remote file to a
// local file and a digest.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>

// Fills the front of the buffer and returns how many bytes it put there;
// 0 at the end of the bytes, nullopt on a failure (which the source has
// reported itself). A source never puts more than buffer.size() bytes.
using ByteSource = std::function<std::optional<std::size_t>(std::span<char> buffer)>;
// Takes the next bytes; false stops the transfer (the sink has reported why).
using ByteSink = std::function<bool(std::span<const char> bytes)>;
