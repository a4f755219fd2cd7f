// The directory of a remote repository (FTP, FTP over TLS, SFTP) as the
// journalled commit of dump_commit sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dump_commit.h"

class FtpCommitStore final : public CommitStore {
 public:
  // The repository path on server; the pointers must outlive the store. A
  // listing that fails leaves its reason in error_text too, when one is
  // given.
  FtpCommitStore(const char* server, const char* login, const char* password, const char* path,
                 char* error_text = nullptr, std::size_t error_size = 0)
      : server_(server),
        login_(login),
        password_(password),
        path_(path),
        error_text_(error_text),
        error_size_(error_size) {}

  // Every name, those beginning with a dot included (asked for with
  // "NLST -a" from the servers that hide them otherwise).
  std::optional<std::vector<std::string>> names(std::string_view prefix) override;
  std::optional<std::uint64_t> size(const std::string& name) override;
  // RNFR/RNTO or an SFTP rename, one batch on one connection; nothing is
  // removed first, since no target exists.
  int rename(const std::vector<std::pair<std::string, std::string>>& moves) override;
  int remove(const std::vector<std::string>& names) override;
  int put_record(const std::string& name, std::string_view text) override;
  std::optional<std::string> get_record(const std::string& name) override;
  // The server decides when its files are on disk: nothing to do.
  int make_durable(const std::vector<std::string>& names) override;
  // Since a rename went unanswered.
  bool changes_in_doubt() const override { return changes_in_doubt_; }

 private:
  const char* server_;
  const char* login_;
  const char* password_;
  const char* path_;
  char* error_text_;
  std::size_t error_size_;
  bool changes_in_doubt_ = false;
};

// Finishes or undoes the half-done commits of this host's runs that are gone
// in the repository path and removes their other staging files, before a
// run reads, counts or deletes there. 0, or -1 after reporting (with the
// reason in error_text when one is given).
int ftp_recover_commits(const char* server, const char* login, const char* password,
                        const char* path, char* error_text = nullptr, std::size_t error_size = 0);
