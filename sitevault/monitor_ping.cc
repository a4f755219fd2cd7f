#include "sitevault/monitor_ping.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>

#include "common/stop_signals.h"
#include "sitevault/remote/curl_session.h"

namespace {

constexpr long kConnectSeconds = 10;
constexpr long kTotalSeconds = 30;
constexpr int kTries = 2;
constexpr std::time_t kRetryPauseSeconds = 2;

struct CurlUrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

// One part of a parsed URL, nullopt when it has none.
std::optional<std::string> url_part(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::string value = text;
  curl_free(text);
  return value;
}

CurlUrl parse_url(const std::string& text) {
  CurlUrl url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return {};
  return url;
}

long total_seconds() {
  const char* text = std::getenv("HVX_NOTIFY_TIMEOUT");
  if (text == nullptr || *text == '\0') return kTotalSeconds;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 1 || value > kTotalSeconds)
    return kTotalSeconds;
  return value;
}

std::size_t discard_answer(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

void pause_before_retry() {
  timespec left{kRetryPauseSeconds, 0};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// One POST; the empty text when the monitor answered 2xx.
std::string post_once(const std::string& url, const std::string& json, long total, bool https,
                      bool stoppable) {
  const std::string shown = monitor_url_shown(url);
  remote::CurlEasy curl(curl_easy_init());
  if (!curl) return "Monitor ping to " + shown + " failed: unable to get curl handle";
  char error_buffer[CURL_ERROR_SIZE] = {};
  remote::CurlOptions options(curl.get());
  options.set(CURLOPT_ERRORBUFFER, error_buffer);
  const remote::CurlSlist headers(curl_slist_append(nullptr, "Content-Type: application/json"));
  options.set(CURLOPT_URL, url.c_str())
      .set(CURLOPT_PROTOCOLS_STR, "http,https")
      .set(CURLOPT_FOLLOWLOCATION, 0L)
      .set(CURLOPT_NOSIGNAL, 1L)
      .set(CURLOPT_CONNECTTIMEOUT, kConnectSeconds)
      .set(CURLOPT_TIMEOUT, total)
      .set(CURLOPT_POST, 1L)
      .set(CURLOPT_POSTFIELDS, json.c_str())
      .set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(json.size()))
      .set(CURLOPT_HTTPHEADER, headers.get())
      .set(CURLOPT_USERAGENT, "sitevault/" HVX_VERSION)
      .set(CURLOPT_WRITEFUNCTION, discard_answer)
      .set(CURLOPT_HEADERFUNCTION, discard_answer);
  if (stoppable)
    options.set(CURLOPT_XFERINFOFUNCTION, remote::stop_requested).set(CURLOPT_NOPROGRESS, 0L);
  if (options.ok() && https && !remote::certificate_options(options, error_buffer))
    options.fail(CURLE_BAD_FUNCTION_ARGUMENT);
  if (!options.ok()) {
    const char* why = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(options.result());
    return "Monitor ping to " + shown + " not sent: " + why;
  }
  const CURLcode code = curl_easy_perform(curl.get());
  if (code != CURLE_OK) {
    const char* why = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(code);
    return "Monitor ping to " + shown + " failed: " + why;
  }
  long answer = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &answer);
  if (answer >= 200 && answer < 300) return "";
  return "Monitor ping to " + shown + " failed: the monitor answered HTTP " +
         std::to_string(answer);
}

}  // namespace

std::string monitor_url_for(const std::string& url, bool suffixes, std::string_view event) {
  if (!suffixes || event == "success") return url;
  const std::string suffix = event == "start" ? "start" : "fail";
  std::size_t end = url.find_first_of("?#");
  if (end == std::string::npos) end = url.size();
  std::string base = url.substr(0, end);
  if (base.empty() || base.back() != '/') base += '/';
  return base + suffix + url.substr(end);
}

std::string monitor_url_shown(const std::string& url) {
  const CurlUrl parsed = parse_url(url);
  const auto scheme = parsed ? url_part(parsed.get(), CURLUPART_SCHEME) : std::nullopt;
  const auto host = parsed ? url_part(parsed.get(), CURLUPART_HOST) : std::nullopt;
  if (!scheme || !host) return "(unreadable URL)";
  const auto port = url_part(parsed.get(), CURLUPART_PORT);
  return *scheme + "://" + *host + (port ? ":" + *port : "");
}

void prepare_monitor_pings() { curl_global_init(CURL_GLOBAL_DEFAULT); }

std::string post_to_monitor(const std::string& url, const std::string& json, bool stoppable) {
  const CurlUrl parsed = parse_url(url);
  const auto scheme = parsed ? url_part(parsed.get(), CURLUPART_SCHEME) : std::nullopt;
  if (!scheme || (*scheme != "http" && *scheme != "https"))
    return "Monitor ping not sent: HVX_NOTIFY_URL is not an http or https URL";
  const long total = total_seconds();
  std::string reason;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    if (attempt > 0) {
      if (stoppable && stop_signal() != 0) break;
      pause_before_retry();
    }
    reason = post_once(url, json, total, *scheme == "https", stoppable);
    if (reason.empty()) return reason;
  }
  return reason;
}
