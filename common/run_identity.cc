#include "common/run_identity.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

// FNV-1a, 32 bits, as 8 hex digits: short enough for a file name, and only
// ever compared with the same machine's own value.
std::string short_hash(std::string_view text) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 16777619u;
  }
  char out[9];
  std::snprintf(out, sizeof out, "%08x", hash);
  return out;
}

std::string first_line(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string host_identity() {
  // HVX_HOST_ID stands in for the machine's identity (two hosts sharing one
  // repository in a test, or a machine without machine-id).
  if (const char* given = std::getenv("HVX_HOST_ID"); given && *given) return short_hash(given);
  std::string id = first_line("/etc/machine-id");
  if (id.empty()) id = first_line("/var/lib/dbus/machine-id");
  if (id.empty()) {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0) id = name;
  }
  return short_hash(id);
}

std::string boot_identity() { return short_hash(first_line("/proc/sys/kernel/random/boot_id")); }

bool is_hex8(std::string_view text) {
  if (text.size() != 8) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

template <typename T>
bool parse_decimal(std::string_view text, T& value) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<std::uint64_t> process_start_time(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  std::ifstream in(path);
  if (!in) return std::nullopt;
  const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name in parentheses may hold anything, spaces and ')'
  // included: the fields are counted after its last ')'.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  // Fields 3 (state) to 21 come first; the start time is field 22.
  for (int i = 3; i <= 21; ++i) {
    if (!(fields >> field)) return std::nullopt;
  }
  std::uint64_t start = 0;
  if (!(fields >> field) || !parse_decimal(field, start)) return std::nullopt;
  return start;
}

const RunIdentity& this_run() {
  static const RunIdentity run = [] {
    RunIdentity r;
    r.host = host_identity();
    r.boot = boot_identity();
    r.pid = ::getpid();
    r.start = process_start_time(r.pid).value_or(0);
    return r;
  }();
  return run;
}

std::string format_run_token(const RunIdentity& run) {
  return run.host + "-" + run.boot + "-" + std::to_string(run.pid) + "-" +
         std::to_string(run.start);
}

std::optional<RunIdentity> parse_run_token(std::string_view token) {
  RunIdentity run;
  std::string_view fields[4];
  for (int i = 0; i < 4; ++i) {
    const std::size_t dash = token.find('-');
    if ((i < 3) == (dash == std::string_view::npos)) return std::nullopt;
    fields[i] = token.substr(0, dash);
    token.remove_prefix(i < 3 ? dash + 1 : token.size());
  }
  if (!is_hex8(fields[0]) || !is_hex8(fields[1])) return std::nullopt;
  if (!parse_decimal(fields[2], run.pid) || run.pid <= 0) return std::nullopt;
  if (!parse_decimal(fields[3], run.start)) return std::nullopt;
  run.host = fields[0];
  run.boot = fields[1];
  return run;
}

RunState run_state(const RunIdentity& run) {
  const RunIdentity& self = this_run();
  if (run.host != self.host) return RunState::foreign;
  if (run.boot != self.boot) return RunState::gone;
  if (run.pid == self.pid) return run.start == self.start ? RunState::alive : RunState::gone;
  const auto start = process_start_time(run.pid);
  if (!start) return RunState::gone;
  return *start == run.start ? RunState::alive : RunState::gone;
}
