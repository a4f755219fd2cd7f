// The inventory of a repository's dumps, local or remote: which names form
// which dump, how many files and bytes it has, when it was made, and whether
// it is signed, unsigned or incomplete; printed as tab-separated lines or as
// one JSON array.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class RemoteStore;
class RepositoryDir;

// One file as a listing gives it: its size and modification time (seconds
// since the epoch) when known.
struct ListedFile {
  std::string name;
  std::optional<std::uint64_t> size;
  std::optional<std::int64_t> mtime;
};

enum class DumpState { signed_dump, unsigned_dump, incomplete };

struct DumpEntry {
  std::string name;
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  // Seconds since the epoch: the time stamp of a series name (local time
  // as written), else the last file's modification time; nullopt when
  // neither is known.
  std::optional<std::int64_t> time;
  bool time_from_stamp = false;
  DumpState state = DumpState::incomplete;
};

// The dumps of a listing: names of the repository's own files and staging
// names left out, each "<base>.partN" grouped with its base name, the files
// in dump order. Each dump's files are listed, in dump order.
struct ListedDump {
  std::string name;
  std::vector<ListedFile> files;
  bool complete = false;  // the base file and every part up to the last one
};
std::vector<ListedDump> group_listed_dumps(std::vector<ListedFile> listing);

// The time a dump's name tells: "<anything>_YYYY.MM.DD_HH.MM" as local time.
std::optional<std::int64_t> stamp_time(std::string_view dump_name);

// The entries of the grouped dumps, newest first (by time, then name; dumps
// of unknown time last). ends_signed is asked, for complete dumps only,
// whether the last file ends with well-formed signature lines.
std::vector<DumpEntry> inventory_entries(
    const std::vector<ListedDump>& dumps,
    const std::function<bool(const std::string& last_file)>& ends_signed);

// The inventory of a local directory, each last file's tail read without
// following a link; nullopt after reporting when it cannot be read.
std::optional<std::vector<DumpEntry>> local_inventory(const RepositoryDir& directory);
// The same on a store: sizes and times from the listing or asked file by
// file (file_info), the state from the tail of each complete dump's last
// file. Nothing on the
// store changes. nullopt after reporting.
std::optional<std::vector<DumpEntry>> remote_inventory(RemoteStore& store);

// "2026-12-09T10:00:00+01:00": the local time with its offset.
std::string iso8601_local(std::int64_t time);
// The tab-separated lines: name, files, bytes, time (or "-"), state. Control
// characters and the backslash in a name are written as C escapes ("\t",
// "\n", "\\", "\x7f"), so that every dump is one line of five columns.
std::string inventory_lines(const std::vector<DumpEntry>& entries);
// One JSON array of objects {"name", "files", "bytes", "time" (null when
// unknown), "time_source" ("stamp", "mtime" or null), "state"}. A byte of a
// name that is not part of valid UTF-8 is written as the escape \udcXX of
// its value XX (the surrogate-escape convention), so every name survives.
std::string inventory_json(const std::vector<DumpEntry>& entries);
