// The status record of a run: one JSON object that a panel or a monitor
// reads, its text and its file. The text is always valid JSON whatever bytes
// the values hold; the file is replaced in one step and never written
// through a link.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct StatusRecord {
  std::string event;  // "start", "success" or "failure"
  std::optional<std::string> command;
  std::optional<std::string> domain;
  std::optional<std::string> dump;
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  std::optional<int> exit_status;
  std::optional<std::string> error;
  std::chrono::system_clock::time_point started;
  std::optional<std::chrono::system_clock::time_point> finished;
  pid_t pid = 0;
  std::string host;
  std::string version;
};

// "YYYY-MM-DDTHH:MM:SSZ".
std::string iso8601_utc(std::chrono::system_clock::time_point when);
// The record as one line of JSON with a line feed, the fields in a fixed
// order; duration_s is the time from started to finished, in seconds with
// millisecond precision (null until finished).
std::string status_record_json(const StatusRecord& record);

// The path of the record: "%d" replaced by the domain, "%c" by the command,
// "%%" by "%". A domain that could not be a single file name ("", ".",
// "..", a '/' or a NUL in it) and an unknown command are replaced by "_",
// so no value turns the path into another directory's.
std::string expand_status_path(std::string_view pattern, std::string_view domain,
                               std::string_view command);

// Replaces the file at path with text: written under a temporary name in the
// same directory, synced, renamed over path, the directory synced; mode
// 0640. A path that is a symbolic link, a directory, a FIFO or anything but
// a regular file is refused and left as it is. The empty text on success,
// else the reason.
std::string replace_status_file(const std::string& path, std::string_view text);
