#include "ftp_connection.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr long kMaxSeconds = 86400;
// Probes on an idle connection: a control connection waits without traffic
// for as long as a part takes to upload, and a peer that vanished without a
// word is noticed within minutes instead of the system's two hours.
constexpr long kKeepAliveIdle = 60;
constexpr long kKeepAliveInterval = 30;

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

void set_reason(char* error_buffer, const std::string& why) {
  std::snprintf(error_buffer, CURL_ERROR_SIZE, "%s", why.c_str());
}

}  // namespace

std::optional<FtpLimits> ftp_limits_from_env(std::string& why) {
  FtpLimits limits;
  if (!seconds_from_env("HVX_FTP_CONNECT_TIMEOUT", limits.connect_seconds, why) ||
      !seconds_from_env("HVX_FTP_STALL_TIMEOUT", limits.stall_seconds, why)) {
    return std::nullopt;
  }
  return limits;
}

void ftp_common_options(CurlOptions& options, const char* login, const char* password,
                        char* error_buffer, FtpUse use) {
  error_buffer[0] = '\0';
  options.set(CURLOPT_ERRORBUFFER, error_buffer);
  std::string why;
  const auto limits = ftp_limits_from_env(why);
  if (!limits) {
    set_reason(error_buffer, why);
    options.fail(CURLE_BAD_FUNCTION_ARGUMENT);
    return;
  }
  options.set(CURLOPT_USERNAME, login)
      .set(CURLOPT_PASSWORD, password)
      .set(CURLOPT_CONNECTTIMEOUT, limits->connect_seconds)
      .set(CURLOPT_LOW_SPEED_LIMIT, 1L)
      .set(CURLOPT_LOW_SPEED_TIME, limits->stall_seconds)
      .set(CURLOPT_SERVER_RESPONSE_TIMEOUT, limits->stall_seconds)
      .set(CURLOPT_TCP_KEEPALIVE, 1L)
      .set(CURLOPT_TCP_KEEPIDLE, kKeepAliveIdle)
      .set(CURLOPT_TCP_KEEPINTVL, kKeepAliveInterval)
      .set(CURLOPT_TIMEOUT,
           use == FtpUse::command ? limits->connect_seconds + limits->stall_seconds : 0L);
}
