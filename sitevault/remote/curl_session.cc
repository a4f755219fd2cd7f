#include "sitevault/remote/curl_session.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/stop_signals.h"
#include "common/text_format.h"
#include "common/unique_fd.h"

namespace remote {
namespace {

constexpr long kMaxSeconds = 86400;
// Longest report of a failure: a libcurl reason and the names around it.
constexpr std::size_t kReportSize = 4096 + 256;
// Probes on an idle connection: a control connection waits without traffic
// for as long as a part takes to upload, and a peer that vanished without a
// word is noticed within minutes instead of the system's two hours.
constexpr long kKeepAliveIdle = 60;
constexpr long kKeepAliveInterval = 30;
// Dumps hold the sites' data: files created over SFTP are the owner's only.
constexpr long kNewFilePermissions = 0600;

// A whole number of seconds from the environment, fallback when unset.
bool seconds_from_env(const char* name, long& value, std::string& why) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return true;
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < 1 || parsed > kMaxSeconds) {
    why = std::string(name) + " is not a number of seconds from 1 to 86400: \"" + text + "\"";
    return false;
  }
  value = parsed;
  return true;
}

std::size_t discard_received(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

// The value of an environment variable, null when unset or empty.
const char* env_value(const char* name) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? text : nullptr;
}

std::string& passphrase_holder() {
  static std::string passphrase;
  return passphrase;
}

void set_reason(char* error_buffer, const std::string& why) {
  std::snprintf(error_buffer, CURL_ERROR_SIZE, "%s", why.c_str());
}

// A file that a verification variable names must be there and readable:
// libcurl would otherwise check against its defaults, or not at all, without
// a word. false with the reason in error_buffer.
bool readable_file(const char* variable, const char* path, char* error_buffer) {
  const UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (fd && ::fstat(fd.get(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return true;
    errno = EISDIR;
  }
  set_reason(error_buffer, std::string(variable) + " names no readable file: \"" + path + "\" (" +
                               std::strerror(errno) + ")");
  return false;
}

// The known-hosts file when HVX_SSH_KNOWN_HOSTS does not name one: the
// running user's own, as the ssh client would read it.
std::string default_known_hosts() {
  const passwd* user = ::getpwuid(::geteuid());
  const char* home = user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "/root";
  return std::string(home) + "/.ssh/known_hosts";
}

// How long a closing TLS connection waits for the server's end: as long as
// the server keeps taking our last bytes, up to kCloseLimit, and kCloseIdle
// once nothing moves (a frozen server costs no more).
constexpr std::chrono::milliseconds kCloseIdle{1000};
constexpr std::chrono::milliseconds kCloseLimit{10000};

// Bytes of ours the server has not acknowledged yet; -1 when unknown.
int unacknowledged(int fd) {
  int queued = 0;
  return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

// Closes a TLS connection's socket the orderly way. A TLS 1.3 server sends
// session tickets that a client which only writes never reads; closing a
// socket with unread bytes makes the kernel answer with a reset, and a reset
// can reach the server before it has read the end of the upload: it throws
// the rest away and answers 426 (vsftpd does, under load). Sending our end
// first and reading until the server closes its own lets every byte arrive.
// A stop request closes at once.
int close_tls_socket(void*, curl_socket_t fd) {
  using Clock = std::chrono::steady_clock;
  ::shutdown(fd, SHUT_WR);
  const auto limit = Clock::now() + kCloseLimit;
  auto idle_until = Clock::now() + kCloseIdle;
  int queued = unacknowledged(fd);
  char discard[16384];
  while (stop_signal() == 0) {
    const auto now = Clock::now();
    if (now >= limit) break;
    if (now >= idle_until) {
      // Nothing arrived for a while: wait on only while the server still
      // takes our bytes.
      const int still = unacknowledged(fd);
      if (still <= 0 || still >= queued) break;
      queued = still;
      idle_until = now + kCloseIdle;
    }
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::min(idle_until, limit) - now);
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(wait.count()) + 1);
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) break;
    if (polled == 0) continue;
    const ssize_t got = ::recv(fd, discard, sizeof discard, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
    if (got > 0) idle_until = Clock::now() + kCloseIdle;
  }
  return ::close(fd);
}

// TLS on every connection, with the certificate checks of
// certificate_options.
bool tls_options(CurlOptions& options, char* error_buffer) {
  if (!certificate_options(options, error_buffer)) return false;
  options.set(CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL))
      .set(CURLOPT_SSL_SESSIONID_CACHE, 1L)
      // Servers that require the data connection to resume the control
      // connection's TLS session (vsftpd's require_ssl_reuse) refuse a stale
      // ticket. A TLS 1.3 ticket may be good for one resumption only, and the
      // fresh one a data connection brings may not have arrived when an
      // upload closes it; the next part's data connection would then offer
      // the spent one and be refused ("522 ... session reuse required").
      // Every transfer therefore gets its own control connection, whose
      // tickets have long arrived when its data connection opens.
      .set(CURLOPT_FORBID_REUSE, 1L)
      .set(CURLOPT_CLOSESOCKETFUNCTION, close_tls_socket);
  return true;
}

// The known-hosts file the handles of this process check against (one run
// reads one environment), named in the reason of a refusal.
std::string known_hosts_in_use;

// libcurl's verdict on the server's host key against the known-hosts file,
// with the reason left in the error buffer, which libcurl leaves empty when
// it refuses a key.
int host_key_verdict(CURL*, const curl_khkey*, const curl_khkey*, curl_khmatch match,
                     void* error_buffer) {
  if (match == CURLKHMATCH_OK) return CURLKHSTAT_FINE;
  const char* what = match == CURLKHMATCH_MISMATCH
                         ? "the server's host key differs from the one in the known-hosts file"
                         : "the server's host key is not in the known-hosts file";
  std::snprintf(static_cast<char*>(error_buffer), CURL_ERROR_SIZE, "%s %s", what,
                known_hosts_in_use.c_str());
  return CURLKHSTAT_REJECT;
}

// Host key checks: a pinned SHA-256 fingerprint (as ssh-keygen -l prints it,
// with or without "SHA256:") replaces the known-hosts file unless
// HVX_SSH_KNOWN_HOSTS names one too. Login by the key file of
// HVX_SSH_KEY_FILE (its passphrase in HVX_SSH_KEY_PASSPHRASE) or else by
// password; a key login never falls back to the password. false with the
// reason in error_buffer when a file named is not there or not readable.
bool ssh_options(CurlOptions& options, char* error_buffer) {
  const char* known_hosts = env_value("HVX_SSH_KNOWN_HOSTS");
  const char* fingerprint = env_value("HVX_SSH_HOST_KEY_SHA256");
  const char* key_file = env_value("HVX_SSH_KEY_FILE");
  if ((known_hosts != nullptr &&
       !readable_file("HVX_SSH_KNOWN_HOSTS", known_hosts, error_buffer)) ||
      (key_file != nullptr && !readable_file("HVX_SSH_KEY_FILE", key_file, error_buffer))) {
    return false;
  }
  if (fingerprint != nullptr) {
    std::string_view pin(fingerprint);
    if (pin.substr(0, 7) == "SHA256:") pin.remove_prefix(7);
    options.set(CURLOPT_SSH_HOST_PUBLIC_KEY_SHA256, std::string(pin).c_str());
  }
  if (known_hosts != nullptr || fingerprint == nullptr) {
    known_hosts_in_use = known_hosts != nullptr ? known_hosts : default_known_hosts();
    options.set(CURLOPT_SSH_KNOWNHOSTS, known_hosts_in_use.c_str())
        .set(CURLOPT_SSH_KEYFUNCTION, host_key_verdict)
        .set(CURLOPT_SSH_KEYDATA, static_cast<void*>(error_buffer));
  }
  if (key_file != nullptr) {
    // The public half is derived from the private key.
    options.set(CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PUBLICKEY))
        .set(CURLOPT_SSH_PRIVATE_KEYFILE, key_file)
        .set(CURLOPT_SSH_PUBLIC_KEYFILE, "");
    if (!ssh_key_passphrase().empty()) {
      options.set(CURLOPT_KEYPASSWD, ssh_key_passphrase().c_str());
    }
  } else {
    options.set(CURLOPT_SSH_AUTH_TYPES,
                static_cast<long>(CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD));
  }
  options.set(CURLOPT_NEW_FILE_PERMS, kNewFilePermissions);
  return true;
}

}  // namespace

bool certificate_options(CurlOptions& options, char* error_buffer) {
  const char* ca_file = env_value("HVX_FTP_CA_FILE");
  const char* pin = env_value("HVX_FTP_PINNED_KEY");
  if (pin != nullptr && std::string_view(pin).substr(0, 8) != "sha256//") {
    set_reason(
        error_buffer,
        std::string("HVX_FTP_PINNED_KEY is not of the form sha256//<base64>: \"") + pin + "\"");
    return false;
  }
  if (ca_file != nullptr && !readable_file("HVX_FTP_CA_FILE", ca_file, error_buffer)) return false;
  const long verify_chain = pin == nullptr || ca_file != nullptr ? 1L : 0L;
  options.set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2))
      .set(CURLOPT_SSL_VERIFYPEER, verify_chain)
      .set(CURLOPT_SSL_VERIFYHOST, verify_chain * 2);
  if (ca_file != nullptr) options.set(CURLOPT_CAINFO, ca_file);
  if (pin != nullptr) options.set(CURLOPT_PINNEDPUBLICKEY, pin);
  return true;
}

std::optional<TransferLimits> limits_from_env(std::string& why) {
  TransferLimits limits;
  if (!seconds_from_env("HVX_FTP_CONNECT_TIMEOUT", limits.connect_seconds, why) ||
      !seconds_from_env("HVX_FTP_STALL_TIMEOUT", limits.stall_seconds, why)) {
    return std::nullopt;
  }
  return limits;
}

std::optional<std::uint64_t> max_rate_from_env(std::string& why) {
  const char* text = env_value("HVX_FTP_MAX_RATE");
  if (text == nullptr) return 0;
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = std::strtoull(text, &end, 10);
  std::uint64_t unit = 1;
  if (end != text && (*end == 'K' || *end == 'k')) {
    unit = 1024;
    ++end;
  } else if (end != text && (*end == 'M' || *end == 'm')) {
    unit = 1024 * 1024;
    ++end;
  }
  // Digits first (strtoull would take a sign or blanks), and no overflow.
  const bool digits = text[0] >= '0' && text[0] <= '9';
  if (!digits || errno != 0 || end == text || *end != '\0' || number == 0 ||
      number > (std::uint64_t{1} << 50) / unit) {
    why = std::string("HVX_FTP_MAX_RATE is not a rate in bytes a second (K and M suffixes): \"") +
          text + "\"";
    return std::nullopt;
  }
  return number * unit;
}

void common_options(CurlOptions& options, const RemoteLocation& where,
                    const CurlTransport& transport, char* error_buffer, TransferUse use) {
  error_buffer[0] = '\0';
  options.set(CURLOPT_ERRORBUFFER, error_buffer);
  std::string why;
  const auto limits = limits_from_env(why);
  const auto rate = limits ? max_rate_from_env(why) : std::nullopt;
  if (!limits || !rate) {
    set_reason(error_buffer, why);
    options.fail(CURLE_BAD_FUNCTION_ARGUMENT);
    return;
  }
  // Nothing the server sends reaches standard output: libcurl's default
  // writer would print a body nobody asked for and, for a size query, FTP
  // pseudo headers ("Content-Length: ..."). A transfer that wants the body
  // sets its own writer after these.
  options.set(CURLOPT_WRITEFUNCTION, discard_received)
      .set(CURLOPT_WRITEDATA, static_cast<void*>(nullptr))
      .set(CURLOPT_HEADERFUNCTION, discard_received)
      .set(CURLOPT_HEADERDATA, static_cast<void*>(nullptr))
      .set(CURLOPT_PROTOCOLS_STR, transport.protocols)
      .set(CURLOPT_USERNAME, where.login.c_str())
      .set(CURLOPT_PASSWORD, where.password.c_str())
      .set(CURLOPT_CONNECTTIMEOUT, use == TransferUse::cleanup
                                       ? std::min(limits->connect_seconds, limits->stall_seconds)
                                       : limits->connect_seconds)
      .set(CURLOPT_LOW_SPEED_LIMIT, 1L)
      .set(CURLOPT_LOW_SPEED_TIME, limits->stall_seconds)
      .set(CURLOPT_SERVER_RESPONSE_TIMEOUT, limits->stall_seconds)
      .set(CURLOPT_TCP_KEEPALIVE, 1L)
      .set(CURLOPT_TCP_KEEPIDLE, kKeepAliveIdle)
      .set(CURLOPT_TCP_KEEPINTVL, kKeepAliveInterval)
      .set(CURLOPT_TIMEOUT, use == TransferUse::command
                                ? limits->connect_seconds + limits->stall_seconds
                            : use == TransferUse::cleanup ? limits->stall_seconds
                                                          : 0L)
      .set(CURLOPT_MAX_SEND_SPEED_LARGE, static_cast<curl_off_t>(*rate))
      .set(CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(*rate))
      .set(CURLOPT_XFERINFOFUNCTION, stop_requested)
      .set(CURLOPT_NOPROGRESS, 0L);
  if (transport.auth == CurlAuth::tls) {
    if (!tls_options(options, error_buffer)) options.fail(CURLE_BAD_FUNCTION_ARGUMENT);
  } else if (transport.auth == CurlAuth::ssh) {
    if (!ssh_options(options, error_buffer)) options.fail(CURLE_BAD_FUNCTION_ARGUMENT);
  }
}

void take_ssh_key_passphrase() {
  if (const char* text = std::getenv("HVX_SSH_KEY_PASSPHRASE")) passphrase_holder() = text;
  ::unsetenv("HVX_SSH_KEY_PASSPHRASE");
}

const std::string& ssh_key_passphrase() { return passphrase_holder(); }

int stop_requested(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return stop_signal() != 0 ? 1 : 0;
}

CurlSession::CurlSession(FailureReport report)
    : curl_(curl_easy_init()), report_(std::move(report)) {
  if (!curl_) fail("Unable to get curl handle\n");
}

CurlOptions& CurlSession::options(const RemoteLocation& where, const CurlTransport& transport,
                                  TransferUse use) {
  options_.emplace(curl_.get());
  common_options(*options_, where, transport, error_buffer_, use);
  return *options_;
}

bool CurlSession::options_ok() {
  if (options_ && options_->ok()) return true;
  const CURLcode code = options_ ? options_->result() : CURLE_FAILED_INIT;
  fail("error: cURL setup failed: %s\n", reason(code));
  return false;
}

CURLcode CurlSession::run() { return curl_easy_perform(curl_.get()); }

bool CurlSession::perform() {
  const CURLcode code = run();
  if (code == CURLE_OK) return true;
  fail("error: cURL execution failed: %s\n", reason(code));
  return false;
}

const char* CurlSession::reason(CURLcode code) const {
  return error_buffer_[0] != '\0' ? error_buffer_ : curl_easy_strerror(code);
}

void CurlSession::fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = vformat_text_cut(kReportSize - 1, format, args);
  va_end(args);
  if (report_) report_(text);
}

}  // namespace remote
