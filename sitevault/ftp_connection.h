// How every libcurl handle of the FTP code reaches the server: the login, the
// limits that keep a stalled peer from holding a run for good, and the knobs
// the operator sets through HVX_ environment variables.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>

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
// connect and stall limits together.
enum class FtpUse { data, command };

// Sets the options every handle shares, the error buffer first: the
// credentials, the limits and TCP keep-alive. A bad environment value fails
// the options with its reason in error_buffer (which must hold
// CURL_ERROR_SIZE bytes), as a refused option does.
void ftp_common_options(CurlOptions& options, const char* login, const char* password,
                        char* error_buffer, FtpUse use);
