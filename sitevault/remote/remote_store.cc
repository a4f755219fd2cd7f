#include "sitevault/remote/remote_store.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <span>

#include "common/messages.h"
#include "common/text_format.h"
#include "sitevault/remote/ftp_store.h"
#include "sitevault/remote/s3_store.h"

namespace {

// Longest report of a failure: a libcurl reason and the names around it.
constexpr std::size_t kReportSize = 4096 + 256;

// The schemes --ftp-server may name; a server given without one is plain FTP.
constexpr const char* kSchemes[] = {"ftp", "ftpes", "ftps", "sftp", "s3", "s3+http"};

// The reason is cut as libcurl's error buffer cuts every setup reason.
void report_unknown_scheme(std::string_view server) {
  std::string reason = "--ftp-server \"" + std::string(server) +
                       "\" names none of the schemes ftp, ftpes, ftps, sftp, s3, s3+http";
  if (reason.size() >= CURL_ERROR_SIZE) reason.resize(CURL_ERROR_SIZE - 1);
  errno = 0;  // the text says what failed
  report_error("error: cURL setup failed: %s\n", reason.c_str());
}

}  // namespace

std::optional<RemoteLocation> parse_remote_location(std::string_view server, std::string path,
                                                    std::string login, std::string password) {
  RemoteLocation where;
  where.server = std::string(server);
  where.scheme = "ftp";
  std::string_view rest = server;
  const std::size_t separator = rest.find("://");
  if (separator != std::string_view::npos) {
    std::string scheme(rest.substr(0, separator));
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool known = false;
    for (const char* name : kSchemes) known = known || scheme == name;
    if (!known) {
      report_unknown_scheme(server);
      return std::nullopt;
    }
    where.scheme = std::move(scheme);
    rest.remove_prefix(separator + 3);
  }
  while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  where.authority = std::string(rest);
  where.path = std::move(path);
  where.login = std::move(login);
  where.password = std::move(password);
  return where;
}

bool RemoteStore::put_text(const std::string& name, std::string_view text) {
  std::string_view rest = text;
  const ByteSource source = [&rest](std::span<char> buffer) -> std::optional<std::size_t> {
    const std::size_t n = std::min(buffer.size(), rest.size());
    std::memcpy(buffer.data(), rest.data(), n);
    rest.remove_prefix(n);
    return n;
  };
  return put(name, source).has_value();
}

std::optional<RemoteFile> RemoteStore::file_info(const std::string& name) {
  const std::optional<std::uint64_t> bytes = size(name, Missing::allowed);
  if (!bytes) return std::nullopt;
  return RemoteFile{name, bytes};
}

std::optional<std::string> RemoteStore::get_text(const std::string& name, std::size_t max_bytes) {
  std::string text;
  const ByteSink sink = [&text, max_bytes](std::span<const char> bytes) {
    if (bytes.size() > max_bytes - text.size()) return false;
    text.append(bytes.data(), bytes.size());
    return true;
  };
  if (!get(name, sink)) return std::nullopt;
  return text;
}

bool RemoteStore::end_abandoned_uploads(std::string_view,
                                        const std::function<bool(const std::string&)>&) {
  return true;
}

void RemoteStore::report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat_text_cut(kReportSize - 1, format, args);
  va_end(args);
  errno = 0;  // the text already says what failed
  report_error("%s", text.c_str());
  last_failure_ = std::move(text);
}

std::unique_ptr<RemoteStore> open_remote_store(const RemoteLocation& where) {
  // The file transfer protocols are dialects of the one FTP store; the
  // object store speaks HTTPS, or plain HTTP when asked by name.
  if (const FtpDialect* dialect = ftp_dialect_for(where.scheme)) {
    return std::make_unique<FtpStore>(where, *dialect);
  }
  if (where.scheme == "s3" || where.scheme == "s3+http") {
    return S3Store::open(where, where.scheme == "s3");
  }
  report_unknown_scheme(where.server);
  return nullptr;
}
