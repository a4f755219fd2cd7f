// Who a run is, in a form that outlives it and is written into file names:
// the host, the boot, the pid and the process's start time. A pid alone is
// reused by unrelated processes; with its start time and the boot it names
// one process only, and the host keeps apart runs of machines that share a
// directory or a remote repository.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct RunIdentity {
  std::string host;  // 8 hex digits of the machine's identity
  std::string boot;  // 8 hex digits of the kernel's boot id
  pid_t pid = 0;
  std::uint64_t start = 0;  // start time in clock ticks since boot
};

// This process (read once).
const RunIdentity& this_run();

// "<host>-<boot>-<pid>-<start>": hex digits, decimal digits and dashes only
// (never a dot, so it ends at the first dot of a name).
std::string format_run_token(const RunIdentity& run);
std::optional<RunIdentity> parse_run_token(std::string_view token);

enum class RunState {
  alive,    // that process still runs (this one included)
  gone,     // it ended: same host, and another boot, no such pid, or another start time
  foreign,  // a run of another host: never judged, never touched
};
RunState run_state(const RunIdentity& run);

// The start time of a running process (field 22 of /proc/<pid>/stat).
std::optional<std::uint64_t> process_start_time(pid_t pid);
