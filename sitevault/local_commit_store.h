// A dump's directory on the local disk as a commit store: every operation
// relative to one directory descriptor, no link followed, renames that never
// replace, and fsync for what has to survive a power cut.
#pragma once

#include <string>

#include "common/unique_fd.h"
#include "sitevault/dump_commit.h"

class LocalCommitStore final : public CommitStore {
 public:
  // The directory held open; display is its path in messages.
  LocalCommitStore(UniqueFd directory, std::string display);
  // Opens the directory at path (nullopt after reporting).
  static std::optional<LocalCommitStore> open(const std::string& path);

  std::optional<std::vector<std::string>> names(std::string_view prefix) override;
  std::optional<std::uint64_t> size(const std::string& name) override;
  int rename(const std::vector<std::pair<std::string, std::string>>& moves) override;
  int remove(const std::vector<std::string>& names) override;
  int put_record(const std::string& name, std::string_view text) override;
  std::optional<std::string> get_record(const std::string& name) override;
  int make_durable(const std::vector<std::string>& names) override;

 private:
  std::string shown(const std::string& name) const { return display_ + "/" + name; }

  UniqueFd directory_;
  std::string display_;
};
