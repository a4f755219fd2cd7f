#include "ftp_commit_store.h"

#include "ftp_connection.h"
#include "ftp_repository.h"
#include "ftp_transfer.h"

namespace {

// A commit record names a dump and its parts; anything longer is not one.
constexpr std::size_t kMaxRecordBytes = 1 << 20;

}  // namespace

std::optional<std::vector<std::string>> FtpCommitStore::names(std::string_view prefix) {
  const std::string filter(prefix);
  return ftp_list_names(server_, login_, password_, path_, filter.c_str(), FtpHidden::listed);
}

std::optional<std::uint64_t> FtpCommitStore::size(const std::string& name) {
  return ftp_file_size(server_, login_, password_, path_, name, FtpMissing::allowed);
}

int FtpCommitStore::rename(const std::vector<std::pair<std::string, std::string>>& moves) {
  return ftp_rename_files(server_, login_, password_, path_, moves) == 0 ? 0 : -1;
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
  FtpCommitStore store(server, login, password, path);
  if (recover_commits(store) == 0) return 0;
  ftp_report(error_text, error_size,
             "Unable to finish or undo an earlier commit on the FTP server in \"%s\"\n",
             path ? path : "");
  return -1;
}
