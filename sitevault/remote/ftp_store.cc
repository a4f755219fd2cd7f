#include "sitevault/remote/ftp_store.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

#include "common/process.h"

using remote::CurlAuth;
using remote::CurlOptions;
using remote::CurlSession;
using remote::CurlSlist;
using remote::TransferUse;

namespace {

// libcurl fills and drains transfers in blocks of this size, so every pipe
// read and socket write moves a lot.
constexpr long kTransferBlock = 512 * 1024;
constexpr long kSftpReceiveBlock = 128 * 1024;

// The one place where the protocols differ.
constexpr FtpDialect kDialects[] = {
    {.scheme = "ftp",
     .url_prefix = "ftp://",
     .transport = {"ftp", CurlAuth::plain},
     .login_relative_tilde = false,
     .quoted_paths = false,
     .delete_verb = "DELE ",
     .rename_one_command = false,
     .receive_block = kTransferBlock,
     .external_write_test = true,
     .lists_dot_names = false},
    {.scheme = "ftpes",
     .url_prefix = "ftp://",
     .transport = {"ftp", CurlAuth::tls},
     .login_relative_tilde = false,
     .quoted_paths = false,
     .delete_verb = "DELE ",
     .rename_one_command = false,
     .receive_block = kTransferBlock,
     .external_write_test = false,
     .lists_dot_names = false},
    {.scheme = "ftps",
     .url_prefix = "ftps://",
     .transport = {"ftps", CurlAuth::tls},
     .login_relative_tilde = false,
     .quoted_paths = false,
     .delete_verb = "DELE ",
     .rename_one_command = false,
     .receive_block = kTransferBlock,
     .external_write_test = false,
     .lists_dot_names = false},
    {.scheme = "sftp",
     .url_prefix = "sftp://",
     .transport = {"sftp", CurlAuth::ssh},
     .login_relative_tilde = true,
     .quoted_paths = true,
     .delete_verb = "rm ",
     .rename_one_command = true,
     .receive_block = kSftpReceiveBlock,
     .external_write_test = false,
     .lists_dot_names = true},
};

bool has_line_break(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// A file name fit for a command line of its own in the repository path.
bool is_plain_name(const std::string& name) {
  return !name.empty() && !has_line_break(name) && name.find('/') == std::string::npos;
}

// Each '/'-separated segment of path percent-escaped, the slashes kept, so
// that blanks, '#', '?' and '%' in names reach the server unchanged.
std::string escape_path(std::string_view path) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view segment = path.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (!segment.empty()) {
      char* escaped = curl_easy_escape(nullptr, segment.data(), static_cast<int>(segment.size()));
      if (escaped != nullptr) {
        out += escaped;
        curl_free(escaped);
      }
    }
    if (slash == std::string_view::npos) break;
    out += '/';
    start = slash + 1;
  }
  return out;
}

std::size_t list_write(char* data, std::size_t size, std::size_t count, void* list) {
  const std::size_t length = size * count;
  if (length == 0) return 0;
  return static_cast<FtpNameList*>(list)->feed(std::string_view(data, length)) ? length : 0;
}

std::size_t discard_write(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

// A download's bytes handed to the caller's sink; 0 (libcurl ends with a
// write error) when the sink stops.
std::size_t sink_write(char* data, std::size_t size, std::size_t count, void* target) {
  const std::size_t bytes = size * count;
  try {
    const ByteSink& sink = *static_cast<const ByteSink*>(target);
    return sink(std::span<const char>(data, bytes)) ? bytes : 0;
  } catch (...) {
    return 0;
  }
}

// An upload fed from the caller's source. A source that fails ends the
// file as if it were complete, as it has reported why; failed tells the
// store not to take the file for a whole one.
struct UploadFeed {
  const ByteSource* source;
  bool failed = false;
};

std::size_t source_read(char* buffer, std::size_t size, std::size_t count, void* target) {
  auto* feed = static_cast<UploadFeed*>(target);
  if (feed->failed || buffer == nullptr || size == 0 || count == 0) return 0;
  const std::size_t room =
      count > static_cast<std::size_t>(-1) / size ? static_cast<std::size_t>(-1) : size * count;
  try {
    const std::optional<std::size_t> n = (*feed->source)(std::span<char>(buffer, room));
    if (n && *n <= room) return *n;
  } catch (...) {
  }
  feed->failed = true;
  return 0;
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
  try {
    sink->text.append(data, bytes);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return bytes;
}

// The end of a download: the last keep bytes of what arrived, whatever the
// server sent before them.
struct TailSink {
  std::string text;
  std::size_t keep;
  bool bounded;  // more than keep bytes fail the download
};

std::size_t tail_write(char* data, std::size_t size, std::size_t count, void* target) {
  auto* sink = static_cast<TailSink*>(target);
  const std::size_t bytes = size * count;
  if (sink->bounded && bytes > sink->keep - sink->text.size()) return 0;
  try {
    sink->text.append(data, bytes);
    if (sink->text.size() > 2 * sink->keep) sink->text.erase(0, sink->text.size() - sink->keep);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return bytes;
}

std::size_t text_read(char* buffer, std::size_t size, std::size_t count, void* source) {
  auto* rest = static_cast<std::string_view*>(source);
  const std::size_t n = std::min(size * count, rest->size());
  std::memcpy(buffer, rest->data(), n);
  rest->remove_prefix(n);
  return n;
}

}  // namespace

const FtpDialect* ftp_dialect_for(std::string_view scheme) {
  for (const FtpDialect& dialect : kDialects) {
    if (scheme == dialect.scheme) return &dialect;
  }
  return nullptr;
}

bool FtpNameList::feed(std::string_view chunk) {
  try {
    std::size_t start = 0;
    for (std::size_t lf = chunk.find('\n'); lf != std::string_view::npos;
         start = lf + 1, lf = chunk.find('\n', start)) {
      const std::string_view piece = chunk.substr(start, lf - start);
      if (pending_.empty()) {
        take_line(piece);
      } else {
        pending_.append(piece);
        take_line(pending_);
        pending_.clear();
      }
    }
    pending_.append(chunk.substr(start));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

std::vector<std::string> FtpNameList::finish() {
  if (!pending_.empty()) {
    const std::string last = std::move(pending_);
    pending_.clear();
    take_line(last);
  }
  return std::move(names_);
}

void FtpNameList::take_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t slash = line.rfind('/');
  if (slash != std::string_view::npos) line.remove_prefix(slash + 1);
  if (line.empty()) return;
  if (line.substr(0, filter_.size()) != filter_) return;
  names_.emplace_back(line);
}

FtpStore::FtpStore(const RemoteLocation& where, const FtpDialect& dialect)
    : where_(where), dialect_(dialect) {
  features_.lists_dot_names = dialect.lists_dot_names;
}

FtpStore::~FtpStore() = default;

CurlSession FtpStore::session() {
  return CurlSession([this](const std::string& text) { report("%s", text.c_str()); });
}

CurlOptions& FtpStore::start(CurlSession& handle, TransferUse use, const std::string& url) {
  return handle.options(where_, dialect_.transport, use).set(CURLOPT_URL, url.c_str());
}

void FtpStore::end_upload() { upload_.reset(); }

// "ftp://server/path/name" with path and name escaped; with name null the
// directory URL ".../path/". A relative path is relative to the login
// directory on every protocol; an absolute path stays absolute.
std::string FtpStore::url(const std::string* name) const {
  const std::string_view directory = where_.path;
  std::string url = dialect_.url_prefix + where_.authority;
  if (dialect_.login_relative_tilde) {
    if (directory.empty() || directory.front() != '/') url += "/~/";
    url += escape_path(directory);
    if (!directory.empty() && directory.back() != '/') url += '/';
  } else {
    url += '/';
    url += escape_path(directory);
    url += '/';
  }
  if (name != nullptr) url += escape_path(*name);
  return url;
}

// The login directory, where commands are sent from.
std::string FtpStore::login_url() const {
  std::string url = dialect_.url_prefix + where_.authority;
  if (dialect_.login_relative_tilde) url += "/~/";
  return url;
}

// A file of the repository path as a command names it: "<path>/<name>", or,
// quoted, the same (the bare name for an empty path) in double quotes with
// '"' and '\' escaped; a relative path is taken from the login directory by
// the server.
std::string FtpStore::command_path(const std::string& name) const {
  if (!dialect_.quoted_paths) return where_.path + "/" + name;
  std::string path = where_.path;
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  std::string quoted = "\"";
  for (const char c : path) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

// Checks that the repository path and the names fit command lines of their
// own; false after reporting one that would end the line early or leave the
// path.
bool FtpStore::fit_for_commands(const char* action, const std::vector<std::string>& names) {
  if (has_line_break(where_.path)) {
    report("Unable to %s files: invalid FTP path \"%s\"\n", action, where_.path.c_str());
    return false;
  }
  for (const std::string& name : names) {
    if (!is_plain_name(name)) {
      report("Unable to %s files: invalid file name \"%s\"\n", action, name.c_str());
      return false;
    }
  }
  return true;
}

// Logs in, sends the commands one after another and lists the login
// directory, whose output is dropped. A command the server refuses fails the
// transfer and the commands after it are not sent. A command sent without
// an answer (timed out, the server went away, or the run was asked to stop)
// may still be carried out.
int FtpStore::run_command_batch(const std::vector<std::string>& commands, TransferUse use) {
  CurlSlist batch;
  for (const std::string& command : commands) {
    curl_slist* grown = curl_slist_append(batch.get(), command.c_str());
    if (grown == nullptr) {
      report("Unable to send FTP commands: out of memory\n");
      return -1;
    }
    (void)batch.release();
    batch.reset(grown);
  }
  CurlSession handle = session();
  if (!handle.valid()) return -1;
  start(handle, use, login_url())
      .set(CURLOPT_QUOTE, batch.get())
      .set(CURLOPT_DIRLISTONLY, 1L)
      .set(CURLOPT_WRITEFUNCTION, discard_write)
      .set(CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
  if (!handle.options_ok()) return -1;
  const CURLcode code = handle.run();
  if (code == CURLE_OK) return 0;
  report("error: cURL execution failed: %s\n", handle.reason(code));
  return code == CURLE_QUOTE_ERROR ? -1 : -2;
}

// One listing of the repository path: request is the FTP command that lists
// ("NLST" when null). A failure of the transfer is reported, or, when
// failure is given, left there unreported.
std::optional<std::vector<std::string>> FtpStore::list_once(const std::string& filter,
                                                            const char* request,
                                                            ListFailure* failure) {
  CurlSession handle = session();
  if (!handle.valid()) return std::nullopt;
  FtpNameList listing(filter);
  CurlOptions& options = start(handle, TransferUse::command, url(nullptr))
                             .set(CURLOPT_WRITEFUNCTION, list_write)
                             .set(CURLOPT_WRITEDATA, static_cast<void*>(&listing))
                             .set(CURLOPT_DIRLISTONLY, 1L);
  if (request != nullptr) options.set(CURLOPT_CUSTOMREQUEST, request);
  if (!handle.options_ok()) return std::nullopt;
  if (failure == nullptr) {
    if (!handle.perform()) return std::nullopt;
  } else if (const CURLcode code = handle.run(); code != CURLE_OK) {
    *failure = {code, handle.reason(code)};
    return std::nullopt;
  }
  return listing.finish();
}

std::optional<std::vector<std::string>> FtpStore::list_names(const std::string& filter,
                                                             DotNames dot_names) {
  auto names = list_once(filter, nullptr, nullptr);
  const auto not_entries = [](const std::string& name) { return name == "." || name == ".."; };
  if (!names) return std::nullopt;
  if (dot_names == DotNames::included && !dialect_.lists_dot_names) {
    // Some servers (vsftpd) leave names beginning with a dot out of NLST
    // unless asked with "-a"; others take "-a" for a path and list nothing,
    // or refuse it. The plain listing holds every other name in any case,
    // so the two together hold all. Only a refusal of the listing itself
    // says that; a server that froze, went away or was stopped by a
    // termination request may hold a commit record or older files aside
    // that the plain listing left out, and recovery, the commit and
    // rotation must not go on without them.
    ListFailure failure;
    if (auto all = list_once(filter, "NLST -a", &failure)) {
      for (std::string& name : *all) {
        if (std::find(names->begin(), names->end(), name) == names->end()) {
          names->push_back(std::move(name));
        }
      }
    } else if (failure.code != CURLE_FTP_COULDNT_RETR_FILE &&
               failure.code != CURLE_REMOTE_FILE_NOT_FOUND) {
      report("error: cURL execution failed: %s\n",
             failure.reason.empty() ? "listing failed" : failure.reason.c_str());
      return std::nullopt;
    }
  }
  // An SFTP listing holds every name, "." and ".." included.
  std::erase_if(*names, not_entries);
  return names;
}

std::optional<std::vector<RemoteFile>> FtpStore::list(std::string_view prefix, DotNames dot_names) {
  end_upload();
  auto names = list_names(std::string(prefix), dot_names);
  if (!names) return std::nullopt;
  std::vector<RemoteFile> files;
  files.reserve(names->size());
  for (std::string& name : *names) files.push_back({std::move(name), std::nullopt});
  return files;
}

bool FtpStore::remove(const std::vector<std::string>& names, Missing missing, Urgency urgency) {
  end_upload();
  if (names.empty()) return true;
  if (!fit_for_commands("delete", names)) return false;
  // A leading '*' lets libcurl go on when the server refuses the command.
  const std::string verb =
      std::string(missing == Missing::allowed ? "*" : "") + dialect_.delete_verb;
  std::vector<std::string> commands;
  for (const std::string& name : names) commands.push_back(verb + command_path(name));
  return run_command_batch(commands, urgency == Urgency::cleanup ? TransferUse::cleanup
                                                                 : TransferUse::command) == 0;
}

Renamed FtpStore::rename(const std::vector<std::pair<std::string, std::string>>& moves) {
  end_upload();
  if (moves.empty()) return Renamed::done;
  std::vector<std::string> names;
  for (const auto& [from, to] : moves) {
    names.push_back(from);
    names.push_back(to);
  }
  if (!fit_for_commands("rename", names)) return Renamed::refused;
  std::vector<std::string> commands;
  for (const auto& [from, to] : moves) {
    const std::string source = command_path(from);
    const std::string target = command_path(to);
    if (dialect_.rename_one_command) {
      commands.push_back("rename " + source + " " + target);
    } else {
      commands.push_back("RNFR " + source);
      commands.push_back("RNTO " + target);
    }
  }
  switch (run_command_batch(commands, TransferUse::command)) {
    case 0:
      return Renamed::done;
    case -1:
      return Renamed::refused;
    default:
      return Renamed::unanswered;
  }
}

FtpStore::SizeAnswer FtpStore::query_size(CurlSession& handle, const std::string& name) {
  SizeAnswer answer;
  if (!handle.valid()) return answer;
  start(handle, TransferUse::command, url(&name)).set(CURLOPT_NOBODY, 1L);
  if (!handle.options_ok()) return answer;
  answer.set_up = true;
  answer.code = handle.run();
  if (answer.code == CURLE_OK && curl_easy_getinfo(handle.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                                                   &answer.size) != CURLE_OK) {
    answer.size = -1;
  }
  return answer;
}

std::optional<std::uint64_t> FtpStore::size_on(CurlSession& handle, const std::string& name,
                                               Missing missing) {
  const SizeAnswer answer = query_size(handle, name);
  if (!answer.set_up) return std::nullopt;
  if (answer.code != CURLE_OK || answer.size < 0) {
    if (missing == Missing::allowed) return std::nullopt;
    report("Unable to learn the size of \"%s\" on the FTP server: %s\n", name.c_str(),
           handle.reason(answer.code));
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(answer.size);
}

std::optional<std::uint64_t> FtpStore::size(const std::string& name, Missing missing) {
  end_upload();
  CurlSession handle = session();
  return size_on(handle, name, missing);
}

std::optional<RemoteFile> FtpStore::file_info(const std::string& name) {
  end_upload();
  CurlSession handle = session();
  if (!handle.valid()) return std::nullopt;
  start(handle, TransferUse::command, url(&name)).set(CURLOPT_NOBODY, 1L).set(CURLOPT_FILETIME, 1L);
  if (!handle.options_ok() || handle.run() != CURLE_OK) return std::nullopt;
  curl_off_t bytes = -1;
  curl_off_t time = -1;
  if (curl_easy_getinfo(handle.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &bytes) != CURLE_OK ||
      bytes < 0)
    return std::nullopt;
  RemoteFile file{name, static_cast<std::uint64_t>(bytes)};
  // A server without MDTM leaves the time unknown (-1).
  if (curl_easy_getinfo(handle.get(), CURLINFO_FILETIME_T, &time) == CURLE_OK && time >= 0)
    file.mtime = static_cast<std::int64_t>(time);
  return file;
}

std::optional<std::uint64_t> FtpStore::put(const std::string& name, const ByteSource& source) {
  if (!upload_) {
    upload_.emplace([this](const std::string& text) { report("%s", text.c_str()); });
  }
  if (!upload_->valid()) {
    end_upload();
    return std::nullopt;
  }
  UploadFeed feed{&source};
  start(*upload_, TransferUse::data, url(&name))
      .set(CURLOPT_READFUNCTION, source_read)
      .set(CURLOPT_READDATA, static_cast<void*>(&feed))
      .set(CURLOPT_UPLOAD, 1L)
      .set(CURLOPT_UPLOAD_BUFFERSIZE, kTransferBlock);
  if (!upload_->options_ok() || !upload_->perform() || feed.failed) {
    end_upload();
    return std::nullopt;
  }
  curl_off_t uploaded = 0;
  curl_easy_getinfo(upload_->get(), CURLINFO_SIZE_UPLOAD_T, &uploaded);
  const auto sent = static_cast<std::uint64_t>(uploaded);

  // The file as the server holds it must be as long as what was sent. The
  // query has a handle of its own: the upload's connection stays for the
  // next file.
  CurlSession query = session();
  const auto stored = size_on(query, name, Missing::fails);
  if (!stored) {
    report("Unable to check the part \"%s\" on the FTP server\n", name.c_str());
    return std::nullopt;
  }
  if (*stored != sent) {
    report("The part \"%s\" on the FTP server holds %llu bytes, %llu were sent\n", name.c_str(),
           static_cast<unsigned long long>(*stored), static_cast<unsigned long long>(sent));
    return std::nullopt;
  }
  return sent;
}

bool FtpStore::get(const std::string& name, const ByteSink& sink) {
  end_upload();
  CurlSession handle = session();
  if (!handle.valid()) return false;
  start(handle, TransferUse::data, url(&name))
      .set(CURLOPT_WRITEDATA, const_cast<void*>(static_cast<const void*>(&sink)))
      .set(CURLOPT_WRITEFUNCTION, sink_write)
      .set(CURLOPT_UPLOAD, 0L)
      .set(CURLOPT_BUFFERSIZE, dialect_.receive_block);
  return handle.options_ok() && handle.perform();
}

std::optional<std::string> FtpStore::tail(const std::string& name, std::size_t bytes) {
  end_upload();
  // Both requests on one handle: one login where the transport keeps the
  // connection.
  CurlSession handle = session();
  const SizeAnswer answer = query_size(handle, name);
  if (!answer.set_up) return std::nullopt;
  if (answer.code != CURLE_OK) {
    report("Unable to learn the size of \"%s\" on the FTP server: %s\n", name.c_str(),
           handle.reason(answer.code));
    return std::nullopt;
  }
  if (answer.size == 0 || bytes == 0) return std::string();
  // A size the server did not tell (libcurl's SFTP gives none for an empty
  // file): what arrives is taken up to the bytes asked for, and a longer
  // file fails rather than arriving whole.
  const bool known = answer.size > 0;
  const auto size = static_cast<std::uint64_t>(known ? answer.size : 0);
  const std::uint64_t from = size > bytes ? size - bytes : 0;
  const std::string range = std::to_string(from) + "-";
  TailSink sink{{}, bytes, !known};
  CurlOptions& options = start(handle, TransferUse::command, url(&name))
                             .set(CURLOPT_NOBODY, 0L)
                             .set(CURLOPT_WRITEFUNCTION, tail_write)
                             .set(CURLOPT_WRITEDATA, static_cast<void*>(&sink))
                             .set(CURLOPT_UPLOAD, 0L);
  if (from > 0) options.set(CURLOPT_RANGE, range.c_str());
  if (!handle.options_ok() || !handle.perform()) return std::nullopt;
  if (sink.text.size() > bytes) sink.text.erase(0, sink.text.size() - bytes);
  return std::move(sink.text);
}

bool FtpStore::put_text(const std::string& name, std::string_view text) {
  end_upload();
  CurlSession handle = session();
  if (!handle.valid()) return false;
  std::string_view rest = text;
  start(handle, TransferUse::command, url(&name))
      .set(CURLOPT_READFUNCTION, text_read)
      .set(CURLOPT_READDATA, static_cast<void*>(&rest))
      .set(CURLOPT_UPLOAD, 1L)
      .set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(text.size()));
  return handle.options_ok() && handle.perform();
}

std::optional<std::string> FtpStore::get_text(const std::string& name, std::size_t max_bytes) {
  end_upload();
  CurlSession handle = session();
  if (!handle.valid()) return std::nullopt;
  TextSink sink{{}, max_bytes};
  start(handle, TransferUse::command, url(&name))
      .set(CURLOPT_WRITEFUNCTION, text_write)
      .set(CURLOPT_WRITEDATA, static_cast<void*>(&sink));
  if (!handle.options_ok() || !handle.perform()) return std::nullopt;
  return std::move(sink.text);
}

// farstore's write test. It logs in, stores and deletes a file: what a
// command of ours may take (the connect and stall limits together) bounds
// its wait as well, so that a server frozen at the probe costs no more than
// one frozen at any other command. It reads the credentials from the
// environment, where no other child (hvxdump, sendmail) ever sees them.
bool FtpStore::farstore_write_test(const std::string& basedir) {
  std::string why;
  const auto limits = remote::limits_from_env(why).value_or(remote::TransferLimits{});
  const std::chrono::seconds limit(limits.connect_seconds + limits.stall_seconds);
  const char* const args[] = {"--writing-test", "--server", where_.server.c_str(), "--basedir",
                              basedir.c_str()};
  ::setenv("FTP_LOGIN", where_.login.c_str(), 1);
  ::setenv("FTP_PASSWORD", where_.password.c_str(), 1);
  const int tested = run_admin_utility("farstore", args, UtilityStop::on_request, limit);
  ::unsetenv("FTP_PASSWORD");
  ::unsetenv("FTP_LOGIN");
  return tested == 0;
}

// A small probe file is written, looked for in the listing and deleted.
bool FtpStore::write_test() {
  // Not a staging name: many servers leave names that begin with a dot out
  // of their listings.
  const std::string probe = "hvx-write-test." + std::to_string(::getpid());
  if (!put_text(probe, "hvx write test\n")) return false;
  const auto names = list_names(probe, DotNames::may_be_left_out);
  const bool listed = names && std::find(names->begin(), names->end(), probe) != names->end();
  const bool deleted = remove({probe}, Missing::fails, Urgency::command);
  if (names && !listed) {
    report("The file \"%s\" written is not listed by the server\n", probe.c_str());
  }
  return listed && deleted;
}

bool FtpStore::probe_writable(const std::string& basedir) {
  end_upload();
  return dialect_.external_write_test ? farstore_write_test(basedir) : write_test();
}
