#include "ftp_commit_store.h"

#include <cstdio>
#include <string>

#include "ftp_connection.h"
#include "ftp_repository.h"
#include "ftp_transfer.h"
#include "text_format.h"

namespace {

// A commit record names a dump and its parts; anything longer is not one.
constexpr std::size_t kMaxRecordBytes = 1 << 20;
constexpr std::size_t kReasonSize = 4096;

}  // namespace

std::optional<std::vector<std::string>> FtpCommitStore::names(std::string_view prefix) {
  const std::string filter(prefix);
  return ftp_list_names(server_, login_, password_, path_, filter.c_str(), FtpHidden::listed,
                        error_text_, error_size_);
}

std::optional<std::uint64_t> FtpCommitStore::size(const std::string& name) {
  return ftp_file_size(server_, login_, password_, path_, name, FtpMissing::allowed);
}

int FtpCommitStore::rename(const std::vector<std::pair<std::string, std::string>>& moves) {
  const int renamed = ftp_rename_files(server_, login_, password_, path_, moves);
  if (renamed == -2) changes_in_doubt_ = true;
  return renamed == 0 ? 0 : -1;
}

int FtpCommitStore::remove(const std::vector<std::string>& names) {
  return ftp_delete_files(server_, login_, password_, path_, names, FtpMissing::allowed) == 0 ? 0
                                                                                              : -1;
}

int FtpCommitStore::put_record(const std::string& name, std::string_view text) {
  return ftp_upload_text(server_, login_, password_, path_, name.c_str(), text) == 0 ? 0 : -1;
}

std::optional<std::string> FtpCommitStore::get_record(const std::string& name) {
  return ftp_download_text(server_, login_, password_, path_, name.c_str(), kMaxRecordBytes);
}

int FtpCommitStore::make_durable(const std::vector<std::string>&) { return 0; }

int ftp_recover_commits(const char* server, const char* login, const char* password,
                        const char* path, char* error_text, std::size_t error_size) {
  // The mail gives the listing's reason (a server that cannot be reached, a
  // refused login) before what could not be done.
  char reason[kReasonSize] = "";
  FtpCommitStore store(server, login, password, path, reason, sizeof reason);
  if (recover_commits(store) == 0) return 0;
  const std::string failed = format_text_cut(
      kReasonSize, "Unable to finish or undo an earlier commit on the FTP server in \"%s\"\n",
      path ? path : "");
  ftp_report(nullptr, 0, "%s", failed.c_str());
  if (error_text != nullptr && error_size > 0) {
    std::snprintf(error_text, error_size, "%s%s", reason, failed.c_str());
  }
  return -1;
}
