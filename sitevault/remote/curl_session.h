// One libcurl handle of a remote store and the options every handle shares:
// the login, the checks of the server's identity (TLS certificate or pin, SSH
// host key), the limits that keep a stalled peer from holding a run for good,
// the rate cap, the termination request, and the orderly close of a TLS
// connection. The operator sets these through HVX_ environment variables,
// read again for every handle. The stores are its only users; the names live
// in namespace remote.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sitevault/remote/remote_store.h"

namespace remote {

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
struct TransferLimits {
  long connect_seconds = 60;
  long stall_seconds = 300;
};

// The limits from HVX_FTP_CONNECT_TIMEOUT and HVX_FTP_STALL_TIMEOUT (whole
// seconds, 1 to 86400), the defaults where unset; nullopt with the reason in
// why when a value is not such a number.
std::optional<TransferLimits> limits_from_env(std::string& why);

// A byte rate from HVX_FTP_MAX_RATE ("512K", "10M", or bytes); 0 when
// unset; nullopt with the reason in why when the value is not a rate.
std::optional<std::uint64_t> max_rate_from_env(std::string& why);

// What a handle is used for. A data transfer (an upload or download of a
// dump's file) may run for hours as long as it makes progress; a command
// (a listing, deletions, renames, a size query) has to finish within the
// connect and stall limits together. A clean-up after a failed transfer
// (often one that stalled) has to finish within the stall limit alone: a
// frozen server does not cost the connect limit once more, and what the
// clean-up could not remove goes with the next run's recovery.
enum class TransferUse { data, command, cleanup };

// How the server proves who it is and the client logs in: nothing beyond
// the password, TLS required on every connection (certificate or pinned
// key), or SSH (host key, password or key file).
enum class CurlAuth { plain, tls, ssh };

// What a store's protocol asks of the shared options.
struct CurlTransport {
  // CURLOPT_PROTOCOLS_STR: only the transport named may be used, so a
  // redirect or a URL of another scheme is refused by libcurl itself.
  const char* protocols;
  CurlAuth auth;
};

// Sets the options every handle shares, the error buffer first: the
// credentials, the transport's checks of the server and its login method,
// the limits, TCP keep-alive and the rate cap. A bad environment value or a
// verification file that cannot be read fails the options with its reason
// in error_buffer (which must hold CURL_ERROR_SIZE bytes), as a refused
// option does.
void common_options(CurlOptions& options, const RemoteLocation& where,
                    const CurlTransport& transport, char* error_buffer, TransferUse use);

// The checks of a TLS server's identity: its certificate against the
// system's store or HVX_FTP_CA_FILE, and the server key pinned in
// HVX_FTP_PINNED_KEY. A pin without a CA file is the whole check (a server
// with a self-signed certificate is trusted by its key alone); with a CA
// file both apply. TLS 1.2 at least. false with the reason in error_buffer
// when a value is malformed or the CA file cannot be read.
bool certificate_options(CurlOptions& options, char* error_buffer);

// Where a session's failures go: the text of one report, ending with a line
// feed.
using FailureReport = std::function<void(const std::string& text)>;

// One libcurl handle and the buffer where libcurl leaves the reason of a
// failure. A handle kept over several transfers keeps its connection when
// the transport allows (TLS does not: see common_options).
class CurlSession {
 public:
  // Reports "Unable to get curl handle" when libcurl gives none.
  explicit CurlSession(FailureReport report);
  CurlSession(const CurlSession&) = delete;
  CurlSession& operator=(const CurlSession&) = delete;

  // Whether libcurl gave a handle.
  bool valid() const { return static_cast<bool>(curl_); }
  CURL* get() const { return curl_.get(); }
  // Starts a block of options with those every handle shares
  // (common_options); the transfer's own options are added to it.
  CurlOptions& options(const RemoteLocation& where, const CurlTransport& transport,
                       TransferUse use);
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

 private:
  void fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

  static constexpr std::size_t kErrorBufferSize = 4096;
  CurlEasy curl_;
  std::optional<CurlOptions> options_;
  char error_buffer_[kErrorBufferSize] = {};
  FailureReport report_;
};

// Moves HVX_SSH_KEY_PASSPHRASE out of the environment into this process's
// memory, so that no child ever inherits it. Called once at start-up.
void take_ssh_key_passphrase();
// The passphrase taken at start-up; empty when none was given.
const std::string& ssh_key_passphrase();

// libcurl progress function: ends a transfer once a termination request has
// come, so that the operation fails and switches the domain back on.
int stop_requested(void* unused, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                   curl_off_t ulnow);

}  // namespace remote
