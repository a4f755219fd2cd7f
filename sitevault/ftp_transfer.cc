#include "ftp_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "c_handles.h"
#include "dump_commit.h"
#include "dump_files.h"
#include "dump_utilities.h"
#include "ftp_commit_store.h"
#include "ftp_connection.h"
#include "ftp_repository.h"
#include "messages.h"
#include "server_keys.h"
#include "signed_stream.h"
#include "signing.h"

namespace {

// libcurl fills and drains transfers in blocks of this size; the dump's
// source is handed buffers of it, so every pipe read and socket write moves
// a lot.
constexpr long kTransferBlock = 512 * 1024;
// SFTP downloads ask libssh2 for smaller blocks: it reads ahead several
// blocks of what it is asked for, and at 512 KiB that read-ahead alone takes
// megabytes.
constexpr long kSftpReceiveBlock = 128 * 1024;

// The upload words the stream's failures as it always has: after "error in
// readHandler: ", with the writer's exit status; a writer that cannot be
// started is an error of the transfer.
void report_stream_failure(const SignedDumpStream& stream, char* error_text,
                           std::size_t error_size) {
  using Failure = SignedDumpStream::Failure;
  std::string text = stream.failure();
  switch (stream.failure_kind()) {
    case Failure::start:
      ftp_report(error_text, error_size, "Error: %s\n", std::strerror(stream.failure_errno()));
      return;
    case Failure::digest_update:
      text = "Can't count digest for dump";
      break;
    case Failure::read:
      text = "error during reading input stream from hvxdump\n";
      break;
    case Failure::writer_failed:
      text = "Error during hvxdump execution (exit status " +
             std::to_string(stream.writer_exit_status()) + ")";
      break;
    default:
      break;
  }
  errno = stream.failure_errno();
  report_error("error in readHandler: %s\n", text.c_str());
}

std::string part_name(const char* dump_name, int part) {
  std::string name = dump_name;
  if (part > 1) name += ".part" + std::to_string(part);
  return name;
}

// The repository an upload goes to, and where its failures are reported.
struct UploadTarget {
  const char* server;
  const char* login;
  const char* password;
  const char* path;
  char* error_text;
  std::size_t error_size;
};

// Removes the staged parts 1 to parts from the server after a failed upload,
// so that nothing of a truncated dump is left. They are named, not listed:
// many servers leave names that begin with a dot out of their listings.
void remove_failed_upload(const UploadTarget& to, const std::string& staged, int parts) {
  std::vector<std::string> names;
  for (int part = 1; part <= parts; ++part) names.push_back(part_name(staged.c_str(), part));
  if (ftp_delete_files(to.server, to.login, to.password, to.path, names, FtpMissing::allowed,
                       FtpUse::cleanup) != 0) {
    report_error("Unable to remove the incomplete dump \"%s\" from the FTP server\n",
                 staged.c_str());
  }
}

// The part as the server holds it must be as long as what was sent; a
// difference fails the upload (whose staged files are then deleted).
bool part_arrived_whole(const UploadTarget& to, const std::string& name, std::uint64_t sent) {
  const auto stored = ftp_file_size(to.server, to.login, to.password, to.path, name);
  if (!stored) {
    ftp_report(to.error_text, to.error_size, "Unable to check the part \"%s\" on the FTP server\n",
               name.c_str());
    return false;
  }
  if (*stored == sent) return true;
  ftp_report(to.error_text, to.error_size,
             "The part \"%s\" on the FTP server holds %llu bytes, %llu were sent\n", name.c_str(),
             static_cast<unsigned long long>(*stored), static_cast<unsigned long long>(sent));
  return false;
}

// Where a small download goes: memory, up to a bound.
struct TextSink {
  std::string text;
  std::size_t max_bytes;
};

std::size_t text_write(char* data, std::size_t size, std::size_t count, void* target) {
  auto* sink = static_cast<TextSink*>(target);
  const std::size_t bytes = size * count;
  if (bytes > sink->max_bytes - sink->text.size()) return 0;  // libcurl ends with a write error
  sink->text.append(data, bytes);
  return bytes;
}

std::size_t text_read(char* buffer, std::size_t size, std::size_t count, void* source) {
  auto* rest = static_cast<std::string_view*>(source);
  const std::size_t n = std::min(size * count, rest->size());
  std::memcpy(buffer, rest->data(), n);
  rest->remove_prefix(n);
  return n;
}

// Before the upload is put in place: the signature lines sent must verify
// against the server's public key. The digest was made on the way out, so
// nothing is read back from the server.
bool signature_sent_verifies(const SignedDumpStream& stream, char* error_text,
                             std::size_t error_size) {
  const auto key = get_server_public_key();
  if (!key) {
    ftp_report(error_text, error_size, "Can't get public key to verify dump signature\n");
    return false;
  }
  const SignatureCheck verdict = check_signature_text(stream.signature_lines(), key->c_str());
  if (verdict == SignatureCheck::good) return true;
  ftp_report(error_text, error_size, "Checking dump signature failed: the dump sent is %s\n",
             signature_check_text(verdict));
  return false;
}

// libcurl's read callback over the source of one file of the dump. A
// failed source ends the file as if it were whole, so that libcurl adds no
// error of its own; the upload then sees the failure and removes the file.
struct PartReader {
  ByteSource source;
  bool failed = false;
};

std::size_t read_part(char* buffer, std::size_t size, std::size_t count, void* reader_ptr) {
  auto* reader = static_cast<PartReader*>(reader_ptr);
  if (buffer == nullptr || size == 0 || count == 0 || reader->failed) return 0;
  const std::size_t room =
      count > static_cast<std::size_t>(-1) / size ? static_cast<std::size_t>(-1) : size * count;
  const auto n = reader->source(std::span<char>(buffer, room));
  if (!n) {
    reader->failed = true;
    return 0;
  }
  return *n;
}

enum class PartSent { setup_failed, failed, sent };

// Uploads one file of the dump from its source until the source ends it;
// the bytes libcurl sent are added to sizes even when the transfer fails.
PartSent send_part(FtpHandle& handle, const UploadTarget& to, const std::string& file,
                   PartReader& reader, std::vector<std::uint64_t>& sizes) {
  const std::string url = ftp_url(to.server, to.path, file.c_str());
  handle.options(to.server, to.login, to.password, FtpUse::data)
      .set(CURLOPT_URL, url.c_str())
      .set(CURLOPT_READFUNCTION, read_part)
      .set(CURLOPT_READDATA, static_cast<void*>(&reader))
      .set(CURLOPT_UPLOAD, 1L)
      .set(CURLOPT_UPLOAD_BUFFERSIZE, kTransferBlock);
  if (!handle.options_ok()) return PartSent::setup_failed;
  const bool performed = handle.perform();
  curl_off_t uploaded = 0;
  curl_easy_getinfo(handle.get(), CURLINFO_SIZE_UPLOAD_T, &uploaded);
  sizes.push_back(static_cast<std::uint64_t>(uploaded));
  return performed ? PartSent::sent : PartSent::failed;
}

enum class Placed { yes, refused, commit_failed };

// Once the signature lines are sent (the writer has then exited well): the
// signature is checked and the staged parts take the dump's name through
// the journalled commit. refused: nothing was committed, the staged parts
// are still to be removed; commit_failed: the commit cleaned up itself, or
// left what the next run's recovery needs.
Placed put_upload_in_place(FtpHandle& handle, const SignedDumpStream& stream,
                           const UploadTarget& to, const char* dump_name,
                           const std::vector<std::uint64_t>& sizes) {
  handle.reset();
  if (!signature_sent_verifies(stream, to.error_text, to.error_size)) return Placed::refused;
  FtpCommitStore store(to.server, to.login, to.password, to.path);
  if (commit_dump(store, dump_name, sizes) != 0) {
    ftp_report(to.error_text, to.error_size,
               "Unable to put the dump \"%s\" in place on the FTP server\n", dump_name);
    return Placed::commit_failed;
  }
  return Placed::yes;
}

long receive_block(const char* server) {
  const auto parsed = parse_ftp_server(server ? server : "");
  return parsed && parsed->scheme == FtpScheme::sftp ? kSftpReceiveBlock : kTransferBlock;
}

// Where a download's bytes go: the local file, and the dump's digest as the
// bytes arrive.
struct DownloadSink {
  FILE* file;
  ArrivingDigest* digest;
};

std::size_t write_downloaded(char* data, std::size_t size, std::size_t count, void* target) {
  auto* sink = static_cast<DownloadSink*>(target);
  const std::size_t bytes = size * count;
  if (std::fwrite(data, 1, bytes, sink->file) != bytes) return 0;
  if (sink->digest != nullptr && !sink->digest->feed(data, bytes)) return 0;
  return bytes;
}

}  // namespace

int ftp_upload_dump(const char* server, const char* login, const char* password, const char* path,
                    const char* dump_name, const char* arguments, char* error_text,
                    std::size_t error_size, std::uint64_t split_size) {
  return ftp_upload_dump(server, login, password, path, dump_name, arguments, error_text,
                         error_size, split_size, -1);
}

int ftp_upload_dump(const char* server, const char* login, const char* password, const char* path,
                    const char* dump_name, const char* arguments, char* error_text,
                    std::size_t error_size, std::uint64_t split_size, int error_fd) {
  SignedDumpStream stream;
  stream.set_reporter([error_text, error_size](const SignedDumpStream& failed) {
    report_stream_failure(failed, error_text, error_size);
  });
  if (!stream.start(hvxdump_command(arguments ? arguments : "", true), error_fd, split_size))
    return -1;
  FtpHandle handle(error_text, error_size);
  if (!handle.valid()) return -1;

  // The parts go up under a staging name and take the dump's name only once
  // the whole dump is there and verified; an older dump of that name stays
  // intact until then.
  const UploadTarget to{server, login, password, path, error_text, error_size};
  const std::string staged = staged_dump_name(this_run(), dump_name);
  std::vector<std::uint64_t> sizes;
  int part = 1;
  for (;; ++part) {
    const std::string file = part_name(staged.c_str(), part);
    PartReader reader{stream.next_file()};
    const PartSent sent = send_part(handle, to, file, reader, sizes);
    if (sent == PartSent::setup_failed) return -1;
    if (sent == PartSent::failed || reader.failed) break;
    if (!part_arrived_whole(to, file, sizes.back())) break;
    if (stream.complete()) {
      const Placed placed = put_upload_in_place(handle, stream, to, dump_name, sizes);
      if (placed == Placed::yes) return 0;
      if (placed == Placed::commit_failed) return -1;
      break;
    }
  }

  // Failure after the loop: the writer is stopped, and what reached the
  // server of this dump is removed.
  stream.abandon();
  handle.reset();
  // Even an empty or refused part may have created a file.
  remove_failed_upload(to, staged, part);
  return -1;
}

int ftp_download_file(const char* server, const char* login, const char* password, const char* path,
                      const char* remote_name, const char* local_path, char* error_text,
                      std::size_t error_size) {
  return ftp_download_file(server, login, password, path, remote_name, local_path, error_text,
                           error_size, nullptr);
}

int ftp_download_file(const char* server, const char* login, const char* password, const char* path,
                      const char* remote_name, const char* local_path, char* error_text,
                      std::size_t error_size, ArrivingDigest* digest) {
  // The repository belongs to the panel user: a link or a FIFO planted under
  // the name is never written through or waited on.
  FILE* raw = nullptr;
  const int fd =
      ::open(local_path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  struct stat st {};
  if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    ::fcntl(fd, F_SETFL, O_RDWR);
    raw = ::fdopen(fd, "w+");
  } else if (fd >= 0) {
    errno = EINVAL;
  }
  if (raw == nullptr && fd >= 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
  }
  if (raw == nullptr) {
    ftp_report(error_text, error_size, "Error opening file \"%s\": %s\n", local_path,
               std::strerror(errno));
    return -1;
  }
  FilePtr file(raw);

  DownloadSink sink{file.get(), digest};
  FtpHandle handle(error_text, error_size);
  if (!handle.valid()) return -1;
  const std::string url = ftp_url(server, path, remote_name);
  handle.options(server, login, password, FtpUse::data)
      .set(CURLOPT_URL, url.c_str())
      .set(CURLOPT_WRITEDATA, &sink)
      .set(CURLOPT_WRITEFUNCTION, write_downloaded)
      .set(CURLOPT_UPLOAD, 0L)
      .set(CURLOPT_BUFFERSIZE, receive_block(server));
  if (!handle.options_ok() || !handle.perform()) return -1;
  handle.reset();
  // The last buffered bytes reach the file only now; a failure here would
  // otherwise leave a short file behind a successful result.
  if (std::fclose(file.release()) != 0) {
    ftp_report(error_text, error_size, "Error writing file \"%s\": %s\n", local_path,
               std::strerror(errno));
    return -1;
  }
  return 0;
}

int ftp_upload_text(const char* server, const char* login, const char* password, const char* path,
                    const char* name, std::string_view data) {
  FtpHandle handle;
  if (!handle.valid()) return -1;
  const std::string url = ftp_url(server, path, name);
  std::string_view rest = data;
  handle.options(server, login, password, FtpUse::command)
      .set(CURLOPT_URL, url.c_str())
      .set(CURLOPT_READFUNCTION, text_read)
      .set(CURLOPT_READDATA, static_cast<void*>(&rest))
      .set(CURLOPT_UPLOAD, 1L)
      .set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(data.size()));
  if (!handle.options_ok() || !handle.perform()) return -1;
  return 0;
}

std::optional<std::string> ftp_download_text(const char* server, const char* login,
                                             const char* password, const char* path,
                                             const char* name, std::size_t max_bytes) {
  FtpHandle handle;
  if (!handle.valid()) return std::nullopt;
  const std::string url = ftp_url(server, path, name);
  TextSink sink{{}, max_bytes};
  handle.options(server, login, password, FtpUse::command)
      .set(CURLOPT_URL, url.c_str())
      .set(CURLOPT_WRITEFUNCTION, text_write)
      .set(CURLOPT_WRITEDATA, static_cast<void*>(&sink));
  if (!handle.options_ok() || !handle.perform()) return std::nullopt;
  return std::move(sink.text);
}
