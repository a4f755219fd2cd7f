// --ftp-backup: a signed dump streamed to an FTP repository without a local
// copy. --ftp-download: a dump fetched from an FTP repository into the
// domain's repository, its digest checked.
#include <libgen.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "domain_lock.h"
#include "domain_operations.h"
#include "dump_files.h"
#include "dump_utilities.h"
#include "ftp_repository.h"
#include "ftp_transfer.h"
#include "local_rotation.h"
#include "messages.h"
#include "operation_support.h"
#include "process.h"
#include "product_conf.h"
#include "run_state.h"

namespace {

constexpr std::size_t kErrorTextSize = 4096;
constexpr const char* kWriteTestFailed = "An error occured during writing file on to ftp server.\n";

// The directory part of a dump file name as dirname(3) gives it.
std::string directory_part(const char* name) {
  std::string copy = name ? name : "";
  std::vector<char> buffer(copy.begin(), copy.end());
  buffer.push_back('\0');
  return ::dirname(buffer.data());
}

// Removes every local file of the dump: those this download wrote and any
// that were there before under the same name, so that a failed download
// leaves nothing that could pass for the dump.
void discard_local_dump(const std::vector<std::string>& written, const char* dump_file) {
  for (const std::string& path : written) ::unlink(path.c_str());
  if (get_dump_files(dump_file)) remove_dump(dump_file);
}

}  // namespace

int ftp_backup_domain(const char* domain, const char* dump_file, const char* desc_file,
                      const char* server, const char* path, const char* login, const char* password,
                      const char* email_from, const char* email_to, std::uint64_t split_size) {
  if (check_server_wide_lock() != 0) return -1;
  if (lock_domain(domain) != 0) return -1;
  if (verbose == 0) detach_operation();

  send_notification(email_to, email_from, domain, backup_begun, nullptr);

  // For the write-test utility, which reads the credentials from there.
  ::setenv("FTP_LOGIN", login ? login : "", 1);
  ::setenv("FTP_PASSWORD", password ? password : "", 1);

  int result;
  char error_text[kErrorTextSize] = "";
  const std::string basedir = directory_part(dump_file);
  if (exec_admin_utility("farstore", "--writing-test", "--server", server, "--basedir",
                         basedir.c_str(), static_cast<char*>(nullptr)) != 0) {
    errno = 0;
    print_error(0, "%s", kWriteTestFailed);
    result = 1;
    std::snprintf(error_text, sizeof error_text, "%s", kWriteTestFailed);
  } else {
    clear_operation_logs(domain);
    const std::string arguments = hvxdump_arguments(domain, desc_file);
    result = ftp_upload_dump(server, login, password, path, dump_file, arguments.c_str(),
                             error_text, sizeof error_text, split_size);
  }

  send_notification(email_to, email_from, domain, result == 0 ? backup_completed : backup_failed,
                    error_text[0] != '\0' ? error_text : nullptr);
  unlock_domain(domain);
  return result;
}

int ftp_download_dump(const char* domain, const char* dump_file, const char* server,
                      const char* login, const char* password, const char* path,
                      const char* email_from, const char* email_to) {
  if (check_server_wide_lock() != 0) return -1;
  if (create_dump_repository(domain) != 0) return -1;
  if (lock_domain(domain) != 0) return -1;

  // The dump's local files are looked up in the domain's repository.
  const std::string repository = std::string(product_conf.DUMP_D) + "/" + domain;
  dump_dir = repository;

  const auto files = ftp_get_dump_files(server, login, password, path, dump_file);
  if (!files) {
    unlock_domain(domain);
    return -1;
  }

  // Files of an earlier dump of the same name would mix with the new ones
  // (a part beyond the new last part would be digested with them).
  discard_local_dump({}, dump_file);

  std::vector<std::string> written;
  char error_text[kErrorTextSize] = "";
  for (const std::string& name : *files) {
    const std::string local_path = repository + "/" + name;
    written.push_back(local_path);
    if (ftp_download_file(server, login, password, path, name.c_str(), local_path.c_str(),
                          error_text, sizeof error_text) != 0) {
      discard_local_dump(written, dump_file);
      unlock_domain(domain);
      return -1;
    }
  }

  if (check_dump_digest(dump_file) == 1) {
    unlock_domain(domain);
    return 0;
  }

  discard_local_dump(written, dump_file);
  const std::string text = std::string("Dump signature verification failed for ") + dump_file;
  send_notification(email_to, email_from, domain, download_failed, text.c_str());
  errno = 0;
  print_error(0, "%s", text.c_str());
  unlock_domain(domain);
  return -1;
}
