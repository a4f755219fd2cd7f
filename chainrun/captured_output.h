// Error output of one command, gathered while the command runs. Kept in
// memory up to a limit and moved to an unnamed temporary file beyond it, so a
// command that writes a lot costs disk, not memory, and nothing is lost.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

class CapturedOutput {
 public:
  explicit CapturedOutput(std::size_t memory_limit = 1 << 20) : memory_limit_(memory_limit) {}

  void append(std::string_view data);
  std::size_t size() const { return spilled_ + memory_.size(); }
  bool spilled_to_file() const { return static_cast<bool>(spill_); }
  // Hands the whole text, in order, to sink in pieces of at most chunk bytes.
  void for_each_chunk(std::size_t chunk, const std::function<void(std::string_view)>& sink) const;
  void clear();

 private:
  bool open_spill_file();

  std::size_t memory_limit_;
  std::string memory_;
  UniqueFd spill_;
  std::size_t spilled_ = 0;
};
