// How every libcurl handle of the FTP code reaches the server: the transport
// named by the scheme of --ftp-server, the URLs, the login, the checks of the
// server's identity, the limits that keep a stalled peer from holding a run
// for good, and the knobs the operator sets through HVX_ environment
// variables.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The transports of a remote repository. ftp: plain FTP (no scheme, or
// ftp://). ftpes: FTP with explicit TLS (AUTH TLS), required on the control
// and data connections. ftps: FTP with implicit TLS. sftp: SSH file transfer.
enum class FtpScheme { ftp, ftpes, ftps, sftp };

struct FtpServer {
  FtpScheme scheme = FtpScheme::ftp;
  std::string authority;  // host[:port] as libcurl takes it
};

// --ftp-server taken apart: "host[:port]" or "scheme://host[:port]" (a
// trailing slash allowed); nullopt for a scheme that is none of the four.
std::optional<FtpServer> parse_ftp_server(std::string_view server);
// Plain FTP, the one transport the write-test utility speaks.
bool ftp_is_plain(const char* server);

// Each '/'-separated segment of path percent-escaped, the slashes kept, so
// that blanks, '#', '?' and '%' in names reach the server unchanged.
std::string ftp_escape_path(std::string_view path);
// The URL of a file of the repository path: "ftp://server/path/name" with
// path and name escaped (ftps:// for implicit TLS); with name null the
// directory URL ".../path/". A relative path is relative to the login
// directory on every scheme: on SFTP the URL says so with "/~/"; an absolute
// path stays absolute.
std::string ftp_url(const char* server, const char* path, const char* name);
// The URL of the login directory, where commands are sent from.
std::string ftp_login_url(const char* server);

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlSlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// Sets an option and remembers the first refusal, so that a block of setopt
// calls is checked once.
class CurlOptions {
 public:
  explicit CurlOptions(CURL* handle) : handle_(handle) {}
  template <typename T>
  CurlOptions& set(CURLoption option, T value) {
    if (result_ == CURLE_OK) result_ = curl_easy_setopt(handle_, option, value);
    return *this;
  }
  // Records a failure found outside libcurl (its reason is in the error
  // buffer); the options after it are not set.
  void fail(CURLcode code) {
    if (result_ == CURLE_OK) result_ = code;
  }
  bool ok() const { return result_ == CURLE_OK; }
  CURLcode result() const { return result_; }

 private:
  CURL* handle_;
  CURLcode result_ = CURLE_OK;
};

// Bounds of a transfer, in seconds. connect: TCP connect and the protocol's
// greeting and login. stall: how long a transfer may make no progress (under
// one byte a second) before it is aborted, and how long a command's answer
// may take.
struct FtpLimits {
  long connect_seconds = 60;
  long stall_seconds = 300;
};

// The limits from HVX_FTP_CONNECT_TIMEOUT and HVX_FTP_STALL_TIMEOUT (whole
// seconds, 1 to 86400), the defaults where unset; nullopt with the reason in
// why when a value is not such a number.
std::optional<FtpLimits> ftp_limits_from_env(std::string& why);

// What a handle is used for. A data transfer (an upload or download of a
// dump's file) may run for hours as long as it makes progress; a command
// (a listing, deletions, renames, a size query) has to finish within the
// connect and stall limits together. A clean-up after a failed transfer
// (often one that stalled) has to finish within the stall limit alone: a
// frozen server does not cost the connect limit once more, and what the
// clean-up could not remove goes with the next run's recovery.
enum class FtpUse { data, command, cleanup };

// A byte rate from HVX_FTP_MAX_RATE ("512K", "10M", or bytes); 0 when
// unset; nullopt with the reason in why when the value is not a rate.
std::optional<std::uint64_t> ftp_max_rate_from_env(std::string& why);

// Sets the options every handle shares, the error buffer first: the
// credentials, the transport's checks of the server (TLS certificate or pin,
// SSH host key) and its login method, the limits, TCP keep-alive and the
// rate cap. An unknown scheme or a bad environment value fails the options
// with its reason in error_buffer (which must hold CURL_ERROR_SIZE bytes),
// as a refused option does.
void ftp_common_options(CurlOptions& options, const char* server, const char* login,
                        const char* password, char* error_buffer, FtpUse use);

// Reports a failure through print_error (exit code 0) and copies the same
// text into the caller's buffer when one is given.
void ftp_report(char* error_text, std::size_t error_size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// One libcurl handle of the repository and the buffer where libcurl leaves
// the reason of a failure. Failures are reported through ftp_report, into
// error_text too when one is given.
class FtpHandle {
 public:
  // Reports "Unable to get curl handle" when libcurl gives none.
  explicit FtpHandle(char* error_text = nullptr, std::size_t error_size = 0);
  FtpHandle(const FtpHandle&) = delete;
  FtpHandle& operator=(const FtpHandle&) = delete;

  // Whether libcurl gave a handle.
  bool valid() const { return static_cast<bool>(curl_); }
  CURL* get() const { return curl_.get(); }
  // Starts a block of options with those every handle shares
  // (ftp_common_options); the transfer's own options are added to it.
  CurlOptions& options(const char* server, const char* login, const char* password, FtpUse use);
  // Whether the block was set; false after reporting
  // "error: cURL setup failed: <reason>".
  bool options_ok();
  // Runs the transfer and returns libcurl's code, reporting nothing.
  CURLcode run();
  // Runs the transfer; false after reporting
  // "error: cURL execution failed: <reason>".
  bool perform();
  // Why code failed: the error buffer's text when libcurl left one there,
  // else libcurl's text for the code.
  const char* reason(CURLcode code) const;
  // Ends the handle and its connections.
  void reset() { curl_.reset(); }

 private:
  static constexpr std::size_t kErrorBufferSize = 4096;
  CurlEasy curl_;
  std::optional<CurlOptions> options_;
  char error_buffer_[kErrorBufferSize] = {};
  char* error_text_;
  std::size_t error_size_;
};

// Moves HVX_SSH_KEY_PASSPHRASE out of the environment into this process's
// memory, so that no child ever inherits it. Called once at start-up.
void take_ssh_key_passphrase();
// The passphrase taken at start-up; empty when none was given.
const std::string& ssh_key_passphrase();

// libcurl progress function: ends a transfer once a termination request has
// come, so that the operation fails and switches the domain back on.
int ftp_stop_requested(void* unused, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                       curl_off_t ulnow);
