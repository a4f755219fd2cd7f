#include "sitevault/progress_line.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fd_io.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
constexpr const char* kErase = "\r\033[K";

struct Progress {
  bool enabled = false;
  bool shown = false;
  const char* what = "";
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  Clock::time_point started;
  Clock::time_point next_draw;
};

Progress progress;

// "1.5 MiB", "512 B".
std::string size_text(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

// "m:ss", or "h:mm:ss" from an hour on.
std::string duration_text(long long seconds) {
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
  return text;
}

void draw(Clock::time_point now) {
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - progress.started);
  const std::string line =
      kErase + progress_text(progress.what, progress.done, progress.total, elapsed);
  progress.shown = write_all(STDERR_FILENO, line);
  progress.next_draw = now + kRedrawInterval;
}

}  // namespace

std::string progress_text(const char* what, std::uint64_t done, std::uint64_t total,
                          std::chrono::milliseconds elapsed) {
  std::string text = what;
  text += ' ';
  text += size_text(static_cast<double>(done));
  if (total > 0) {
    char percent[16];
    std::snprintf(percent, sizeof percent, " %3d%%",
                  static_cast<int>(done >= total ? 100 : done * 100 / total));
    text += " of " + size_text(static_cast<double>(total)) + percent;
  }
  const double seconds = static_cast<double>(elapsed.count()) / 1000.0;
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  text += "  " + size_text(rate) + "/s  " + duration_text(elapsed.count() / 1000);
  if (total > 0 && rate > 0 && done < total)
    text +=
        "  ETA " + duration_text(static_cast<long long>(static_cast<double>(total - done) / rate));
  return text;
}

void enable_progress_line() {
  const char* setting = std::getenv("HVX_PROGRESS");
  if (setting != nullptr && std::strcmp(setting, "0") == 0) return;
  progress.enabled = ::isatty(STDERR_FILENO) == 1;
}

void disable_progress_line() {
  progress.enabled = false;
  progress.shown = false;
}

bool progress_line_enabled() { return progress.enabled; }

void progress_stage(const char* what, std::uint64_t total) {
  if (!progress.enabled) return;
  progress.what = what;
  progress.done = 0;
  progress.total = total;
  progress.started = Clock::now();
  draw(progress.started);
}

void progress_add(std::uint64_t bytes) {
  if (!progress.enabled) return;
  progress.done += bytes;
  const Clock::time_point now = Clock::now();
  // The end of a stage of known size is shown whatever the time.
  const bool reached_total = progress.total > 0 && progress.done >= progress.total &&
                             progress.done - bytes < progress.total;
  if (now >= progress.next_draw || reached_total) draw(now);
}

void progress_erase() {
  if (!progress.shown) return;
  progress.shown = false;
  // Drawn again at the next step.
  progress.next_draw = Clock::time_point{};
  (void)write_all(STDERR_FILENO, std::string_view(kErase));
}
