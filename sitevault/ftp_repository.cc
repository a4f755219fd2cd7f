#include "ftp_repository.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <new>
#include <string_view>
#include <utility>

#include "dump_files.h"
#include "dump_series.h"
#include "ftp_connection.h"
#include "ftp_transfer.h"
#include "local_rotation.h"
#include "messages.h"

namespace {

// One complete listing line: a real carriage return at its end is dropped,
// and a server that answers with paths is reduced to the bare name.
void take_line(FtpListing& listing, std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t slash = line.rfind('/');
  if (slash != std::string_view::npos) line.remove_prefix(slash + 1);
  if (line.empty()) return;
  if (line.substr(0, listing.filter.size()) != listing.filter) return;
  listing.names.emplace_back(line);
}

bool has_line_break(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

std::size_t ftp_list_handler(char* data, std::size_t size, std::size_t count, void* list) {
  const std::size_t length = size * count;
  if (length == 0) return 0;
  auto* listing = static_cast<FtpListing*>(list);
  try {
    std::string_view chunk(data, length);
    std::size_t start = 0;
    for (std::size_t lf = chunk.find('\n'); lf != std::string_view::npos;
         start = lf + 1, lf = chunk.find('\n', start)) {
      const std::string_view piece = chunk.substr(start, lf - start);
      if (listing->pending.empty()) {
        take_line(*listing, piece);
      } else {
        listing->pending.append(piece);
        take_line(*listing, listing->pending);
        listing->pending.clear();
      }
    }
    listing->pending.append(chunk.substr(start));
  } catch (const std::bad_alloc&) {
    return 0;  // libcurl ends the listing with a write error
  }
  return length;
}

void ftp_list_finish(FtpListing& listing) {
  if (listing.pending.empty()) return;
  std::string last = std::move(listing.pending);
  listing.pending.clear();
  take_line(listing, last);
}

std::size_t ftp_discard_handler(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

namespace {

// Why a listing that is not reported failed: libcurl's code and reason.
struct ListFailure {
  CURLcode code = CURLE_OK;
  std::string reason;
};

// One listing of the repository path: request is the FTP command that lists
// ("NLST" when null). A failure is reported, or, when failure is given,
// left there unreported.
std::optional<std::vector<std::string>> list_once(const char* server, const char* login,
                                                  const char* password, const char* path,
                                                  const char* filter, const char* request,
                                                  ListFailure* failure, char* error_text,
                                                  std::size_t error_size) {
  const bool report = failure == nullptr;
  const std::string url = ftp_url(server, path, nullptr);
  FtpHandle handle(report ? error_text : nullptr, report ? error_size : 0);
  if (!handle.valid()) return std::nullopt;
  FtpListing listing;
  listing.filter = filter ? filter : "";
  CurlOptions& options = handle.options(server, login, password, FtpUse::command)
                             .set(CURLOPT_URL, url.c_str())
                             .set(CURLOPT_WRITEFUNCTION, ftp_list_handler)
                             .set(CURLOPT_WRITEDATA, static_cast<void*>(&listing))
                             .set(CURLOPT_DIRLISTONLY, 1L);
  if (request != nullptr) options.set(CURLOPT_CUSTOMREQUEST, request);
  if (!handle.options_ok()) return std::nullopt;
  if (report) {
    if (!handle.perform()) return std::nullopt;
  } else if (const CURLcode code = handle.run(); code != CURLE_OK) {
    *failure = {code, handle.reason(code)};
    return std::nullopt;
  }
  ftp_list_finish(listing);
  return std::move(listing.names);
}

bool is_sftp(const char* server) {
  const auto parsed = parse_ftp_server(server ? server : "");
  return parsed && parsed->scheme == FtpScheme::sftp;
}

}  // namespace

std::optional<std::vector<std::string>> ftp_list_names(const char* server, const char* login,
                                                       const char* password, const char* path,
                                                       const char* filter, FtpHidden hidden,
                                                       char* error_text, std::size_t error_size) {
  auto names =
      list_once(server, login, password, path, filter, nullptr, nullptr, error_text, error_size);
  if (!names || hidden == FtpHidden::left_out || is_sftp(server)) {
    // An SFTP listing holds every name, "." and ".." included.
    if (names && hidden == FtpHidden::listed) {
      std::erase_if(*names, [](const std::string& name) { return name == "." || name == ".."; });
    }
    return names;
  }
  // Some servers (vsftpd) leave names beginning with a dot out of NLST
  // unless asked with "-a"; others take "-a" for a path and list nothing,
  // or refuse it. The plain listing holds every other name in any case, so
  // the two together hold all. Only a refusal of the listing itself says
  // that; a server that froze, went away or was stopped by a termination
  // request may hold a commit record or older files aside that the plain
  // listing left out, and recovery, the commit and rotation must not go on
  // without them.
  ListFailure failure;
  if (auto all =
          list_once(server, login, password, path, filter, "NLST -a", &failure, nullptr, 0)) {
    for (std::string& name : *all) {
      if (std::find(names->begin(), names->end(), name) == names->end()) {
        names->push_back(std::move(name));
      }
    }
  } else if (failure.code != CURLE_FTP_COULDNT_RETR_FILE &&
             failure.code != CURLE_REMOTE_FILE_NOT_FOUND) {
    ftp_report(error_text, error_size, "error: cURL execution failed: %s\n",
               failure.reason.empty() ? "listing failed" : failure.reason.c_str());
    return std::nullopt;
  }
  std::erase_if(*names, [](const std::string& name) { return name == "." || name == ".."; });
  return names;
}

std::vector<std::string> ftp_rotation_victims(std::vector<std::string> names,
                                              const std::string& prefix, int keep,
                                              const std::string& protect) {
  // Only the series' own names take part: a longer prefix that begins with
  // this one is another series.
  std::erase_if(names, [&](const std::string& name) { return !is_series_name(name, prefix); });
  // Fixed-width time stamps: byte-wise order is age order, newest first.
  std::sort(names.begin(), names.end(), std::greater<>());
  std::vector<std::string> victims;
  int to_keep = keep;
  for (std::string& name : names) {
    // The dump just uploaded stays whatever the count says.
    if (!protect.empty() && dump_part_number(protect, name) != 0) {
      if (name == protect) --to_keep;
      continue;
    }
    if (to_keep > 0) {
      if (is_series_base_name(name, prefix)) --to_keep;
      continue;
    }
    victims.push_back(std::move(name));
  }
  return victims;
}

int ftp_rotate_dumps(const char* server, const char* login, const char* password, const char* path,
                     const char* prefix, int keep, const char* protect) {
  const std::string series = prefix ? prefix : "";
  auto names = ftp_list_names(server, login, password, path, series.c_str());
  if (!names) return -1;
  const std::vector<std::string> victims =
      ftp_rotation_victims(std::move(*names), series, keep, protect ? protect : "");
  if (victims.empty()) return 0;
  return ftp_delete_files(server, login, password, path, victims);
}

std::optional<std::vector<std::string>> ftp_get_dump_files(const char* server, const char* login,
                                                           const char* password, const char* path,
                                                           const char* dump_name, char* error_text,
                                                           std::size_t error_size) {
  const std::string base = dump_name ? dump_name : "";
  auto names = ftp_list_names(server, login, password, path, base.c_str(), FtpHidden::left_out,
                              error_text, error_size);
  if (!names) return std::nullopt;
  // Same membership and order as the local lookup of a dump's files: the
  // base file first, then the parts by number.
  std::vector<std::pair<unsigned long, std::string>> files;
  for (std::string& name : *names) {
    const unsigned long number = dump_part_number(base, name);
    if (number == 0) continue;
    files.emplace_back(name == base ? 0UL : number, std::move(name));
  }
  if (files.empty()) return std::nullopt;
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  std::vector<std::string> result;
  result.reserve(files.size());
  for (auto& file : files) result.push_back(std::move(file.second));
  return result;
}

namespace {

// Logs in, sends the commands one after another and lists the login
// directory, whose output is dropped. A command the server refuses fails the
// transfer and the commands after it are not sent. 0, or after reporting -1
// when the server refused a command and -2 when it gave no answer (timed
// out, went away, or the run was asked to stop): a command sent may then
// still be carried out.
int run_command_batch(const char* server, const char* login, const char* password,
                      const std::vector<std::string>& commands, FtpUse use) {
  CurlSlist batch;
  for (const std::string& command : commands) {
    curl_slist* grown = curl_slist_append(batch.get(), command.c_str());
    if (grown == nullptr) {
      ftp_report(nullptr, 0, "Unable to send FTP commands: out of memory\n");
      return -1;
    }
    (void)batch.release();
    batch.reset(grown);
  }
  FtpHandle handle;
  if (!handle.valid()) return -1;
  const std::string url = ftp_login_url(server);
  FtpListing ignored;
  handle.options(server, login, password, use)
      .set(CURLOPT_URL, url.c_str())
      .set(CURLOPT_QUOTE, batch.get())
      .set(CURLOPT_DIRLISTONLY, 1L)
      .set(CURLOPT_WRITEFUNCTION, ftp_discard_handler)
      .set(CURLOPT_WRITEDATA, static_cast<void*>(&ignored));
  if (!handle.options_ok()) return -1;
  const CURLcode code = handle.run();
  if (code == CURLE_OK) return 0;
  ftp_report(nullptr, 0, "error: cURL execution failed: %s\n", handle.reason(code));
  return code == CURLE_QUOTE_ERROR ? -1 : -2;
}

// A file name fit for a command line of its own in the repository path.
bool is_plain_name(const std::string& name) {
  return !name.empty() && !has_line_break(name) && name.find('/') == std::string::npos;
}

}  // namespace

namespace {

// Checks that the repository path and the names fit command lines of their
// own; false after reporting one that would end the line early or leave the
// path.
bool fit_for_commands(const char* action, const std::string& directory,
                      const std::vector<std::string>& names) {
  if (has_line_break(directory)) {
    ftp_report(nullptr, 0, "Unable to %s files: invalid FTP path \"%s\"\n", action,
               directory.c_str());
    return false;
  }
  for (const std::string& name : names) {
    if (!is_plain_name(name)) {
      ftp_report(nullptr, 0, "Unable to %s files: invalid file name \"%s\"\n", action,
                 name.c_str());
      return false;
    }
  }
  return true;
}

// A file of the repository path as a command names it. FTP: "<path>/<name>".
// SFTP: the same (the bare name for an empty path) in double quotes with '"'
// and '\' escaped, as libcurl's SFTP commands read a path; a relative path
// is taken from the login directory by the server.
std::string command_path(bool sftp, const std::string& directory, const std::string& name) {
  if (!sftp) return directory + "/" + name;
  std::string path = directory;
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

}  // namespace

int ftp_delete_files(const char* server, const char* login, const char* password, const char* path,
                     const std::vector<std::string>& names, FtpMissing missing, FtpUse use) {
  if (names.empty()) return 0;
  const std::string directory = path ? path : "";
  if (!fit_for_commands("delete", directory, names)) return -1;
  const bool sftp = is_sftp(server);
  std::vector<std::string> commands;
  // A leading '*' lets libcurl go on when the server refuses the command.
  const std::string verb =
      std::string(missing == FtpMissing::allowed ? "*" : "") + (sftp ? "rm " : "DELE ");
  for (const std::string& name : names) {
    commands.push_back(verb + command_path(sftp, directory, name));
  }
  return run_command_batch(server, login, password, commands, use) == 0 ? 0 : -1;
}

int ftp_rename_files(const char* server, const char* login, const char* password, const char* path,
                     const std::vector<std::pair<std::string, std::string>>& renames) {
  if (renames.empty()) return 0;
  const std::string directory = path ? path : "";
  std::vector<std::string> names;
  for (const auto& [from, to] : renames) {
    names.push_back(from);
    names.push_back(to);
  }
  if (!fit_for_commands("rename", directory, names)) return -1;
  const bool sftp = is_sftp(server);
  std::vector<std::string> commands;
  for (const auto& [from, to] : renames) {
    const std::string source = command_path(sftp, directory, from);
    const std::string target = command_path(sftp, directory, to);
    if (sftp) {
      commands.push_back("rename " + source + " " + target);
    } else {
      commands.push_back("RNFR " + source);
      commands.push_back("RNTO " + target);
    }
  }
  return run_command_batch(server, login, password, commands, FtpUse::command);
}

int ftp_write_test(const char* server, const char* login, const char* password, const char* path) {
  // Not a staging name: many servers leave names that begin with a dot out
  // of their listings.
  const std::string probe = "hvx-write-test." + std::to_string(::getpid());
  if (ftp_upload_text(server, login, password, path, probe.c_str(), "hvx write test\n") != 0) {
    return -1;
  }
  const auto names = ftp_list_names(server, login, password, path, probe.c_str());
  const bool listed = names && std::find(names->begin(), names->end(), probe) != names->end();
  const int deleted = ftp_delete_files(server, login, password, path, {probe});
  if (names && !listed) {
    ftp_report(nullptr, 0, "The file \"%s\" written is not listed by the server\n", probe.c_str());
  }
  return listed && deleted == 0 ? 0 : -1;
}

std::optional<std::uint64_t> ftp_file_size(const char* server, const char* login,
                                           const char* password, const char* path,
                                           const std::string& name, FtpMissing missing) {
  FtpHandle handle;
  if (!handle.valid()) return std::nullopt;
  const std::string url = ftp_url(server, path, name.c_str());
  handle.options(server, login, password, FtpUse::command)
      .set(CURLOPT_URL, url.c_str())
      .set(CURLOPT_NOBODY, 1L);
  if (!handle.options_ok()) return std::nullopt;
  const CURLcode code = handle.run();
  curl_off_t size = -1;
  if (code != CURLE_OK ||
      curl_easy_getinfo(handle.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size) != CURLE_OK ||
      size < 0) {
    if (missing == FtpMissing::allowed) return std::nullopt;
    ftp_report(nullptr, 0, "Unable to learn the size of \"%s\" on the FTP server: %s\n",
               name.c_str(), handle.reason(code));
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(size);
}
