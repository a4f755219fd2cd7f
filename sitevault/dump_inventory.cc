#include "sitevault/dump_inventory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>
#include <utility>

#include "common/json_text.h"
#include "common/messages.h"
#include "common/text_format.h"
#include "common/unique_fd.h"
#include "sitevault/dump_files.h"
#include "sitevault/dump_series.h"
#include "sitevault/dump_staging.h"
#include "sitevault/remote/remote_store.h"
#include "sitevault/repository_dir.h"
#include "sitevault/retention.h"

namespace {

constexpr std::string_view kPart = ".part";

// The dump a file name belongs to: "<base>.part<digits>" to base, any other
// name to itself.
std::string dump_base_of(const std::string& name) {
  const std::size_t at = name.rfind(kPart);
  if (at == std::string::npos || at == 0) return name;
  const std::string_view digits = std::string_view(name).substr(at + kPart.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return name;
  return name.substr(0, at);
}

const char* state_text(DumpState state) {
  switch (state) {
    case DumpState::signed_dump:
      return "signed";
    case DumpState::unsigned_dump:
      return "unsigned";
    case DumpState::incomplete:
      break;
  }
  return "incomplete";
}

// A name as one field of a tab-separated line.
std::string tsv_field(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\\')
      out += "\\\\";
    else if (c < 0x20 || c == 0x7f)
      out += format_text_cut(256, "\\x%02x", c);
    else
      out += ch;
  }
  return out;
}

}  // namespace

std::vector<ListedDump> group_listed_dumps(std::vector<ListedFile> listing) {
  std::map<std::string, std::vector<ListedFile>> by_base;
  for (ListedFile& file : listing) {
    // Staging names (dumps being written, older files set aside by a
    // commit), the repository's own files and anything that is no plain
    // name of the directory are no dumps.
    if (file.name.empty() || file.name == "." || file.name == ".." ||
        file.name.find('/') != std::string::npos || is_staging_name(file.name) ||
        is_reserved_dump_name(file.name))
      continue;
    std::string base = dump_base_of(file.name);
    by_base[std::move(base)].push_back(std::move(file));
  }
  std::vector<ListedDump> dumps;
  dumps.reserve(by_base.size());
  for (auto& [base, files] : by_base) {
    std::vector<std::string> names;
    names.reserve(files.size());
    for (const ListedFile& file : files) names.push_back(file.name);
    const std::vector<std::string> ordered = dump_files_in_order(names, base);
    ListedDump dump{base, {}, first_missing_part(ordered, base) == 0};
    for (const std::string& name : ordered) {
      const auto it = std::find_if(files.begin(), files.end(),
                                   [&](const ListedFile& file) { return file.name == name; });
      dump.files.push_back(std::move(*it));
    }
    dumps.push_back(std::move(dump));
  }
  return dumps;
}

std::optional<std::int64_t> stamp_time(std::string_view dump_name) {
  constexpr std::size_t kStamp = 16;  // "YYYY.MM.DD_HH.MM"
  if (dump_name.size() < kStamp + 1 || dump_name[dump_name.size() - kStamp - 1] != '_')
    return std::nullopt;
  const auto stamp = parse_dump_stamp(dump_name.substr(dump_name.size() - kStamp));
  if (!stamp) return std::nullopt;
  std::tm tm{};
  tm.tm_year = stamp->year - 1900;
  tm.tm_mon = stamp->month - 1;
  tm.tm_mday = stamp->day;
  tm.tm_hour = stamp->hour;
  tm.tm_min = stamp->minute;
  tm.tm_isdst = -1;
  const std::time_t time = std::mktime(&tm);
  if (time == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(time);
}

std::vector<DumpEntry> inventory_entries(
    const std::vector<ListedDump>& dumps,
    const std::function<bool(const std::string& last_file)>& ends_signed) {
  std::vector<DumpEntry> entries;
  entries.reserve(dumps.size());
  for (const ListedDump& dump : dumps) {
    DumpEntry entry;
    entry.name = dump.name;
    entry.files = dump.files.size();
    for (const ListedFile& file : dump.files) entry.bytes += file.size.value_or(0);
    entry.time = stamp_time(dump.name);
    entry.time_from_stamp = entry.time.has_value();
    if (!entry.time && !dump.files.empty()) entry.time = dump.files.back().mtime;
    if (!dump.complete)
      entry.state = DumpState::incomplete;
    else
      entry.state =
          ends_signed(dump.files.back().name) ? DumpState::signed_dump : DumpState::unsigned_dump;
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), [](const DumpEntry& a, const DumpEntry& b) {
    if (a.time.has_value() != b.time.has_value()) return a.time.has_value();
    if (a.time && *a.time != *b.time) return *a.time > *b.time;
    return a.name > b.name;
  });
  return entries;
}

std::optional<std::vector<DumpEntry>> local_inventory(const RepositoryDir& directory) {
  DirPtr dir = directory.stream();
  if (!dir) {
    report_error("Unable to find files: unable to locate repository in specified path\n");
    return std::nullopt;
  }
  std::vector<ListedFile> listing;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || is_staging_name(name)) continue;
    struct stat st {};
    // Only regular files are dumps' files; a link is never followed.
    if (::fstatat(directory.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    listing.push_back({name, static_cast<std::uint64_t>(st.st_size),
                       static_cast<std::int64_t>(st.st_mtim.tv_sec)});
  }
  return inventory_entries(group_listed_dumps(std::move(listing)), [&](const std::string& last) {
    UniqueFd fd(
        ::openat(directory.fd(), last.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    return fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
           read_signature_fields(fd.get()).has_value();
  });
}

std::optional<std::vector<DumpEntry>> remote_inventory(RemoteStore& store) {
  auto listed = store.list("", DotNames::may_be_left_out);
  if (!listed) return std::nullopt;
  std::vector<ListedFile> listing;
  listing.reserve(listed->size());
  for (RemoteFile& file : *listed) listing.push_back({std::move(file.name), file.size, file.mtime});
  std::vector<ListedDump> dumps = group_listed_dumps(std::move(listing));
  // What the listing did not tell is asked file by file: every size, and
  // the time of a last file where the name has no stamp. A file gone since
  // the listing counts no bytes.
  for (ListedDump& dump : dumps) {
    const bool needs_time = !stamp_time(dump.name).has_value();
    for (ListedFile& file : dump.files) {
      const bool last = &file == &dump.files.back();
      if (file.size && (file.mtime || !last || !needs_time)) continue;
      if (const std::optional<RemoteFile> info = store.file_info(file.name)) {
        if (!file.size) file.size = info->size;
        if (!file.mtime) file.mtime = info->mtime;
      }
    }
  }
  // Only the tail of a last file is read; one that cannot be read (reported)
  // is taken for unsigned.
  return inventory_entries(dumps, [&store](const std::string& last) {
    const auto tail = store.tail(last, kSignatureTailWindow);
    return tail && parse_signature_tail(*tail).has_value();
  });
}

std::string iso8601_local(std::int64_t time) {
  const auto t = static_cast<std::time_t>(time);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return "-";
  char text[64];
  if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm) == 0) return "-";
  const long offset = tm.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  return format_text_cut(256, "%s%c%02ld:%02ld", text, offset < 0 ? '-' : '+', minutes / 60,
                         minutes % 60);
}

std::string inventory_lines(const std::vector<DumpEntry>& entries) {
  std::string out;
  for (const DumpEntry& entry : entries) {
    out += tsv_field(entry.name);
    out += format_text_cut(256, "\t%zu\t%llu\t", entry.files,
                           static_cast<unsigned long long>(entry.bytes));
    out += entry.time ? iso8601_local(*entry.time) : "-";
    out += '\t';
    out += state_text(entry.state);
    out += '\n';
  }
  return out;
}

std::string inventory_json(const std::vector<DumpEntry>& entries) {
  std::string out = "[";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const DumpEntry& entry = entries[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"name\": " + json_string(entry.name, InvalidUtf8::surrogate_escape);
    out += format_text_cut(256, ", \"files\": %zu, \"bytes\": %llu", entry.files,
                           static_cast<unsigned long long>(entry.bytes));
    out += ", \"time\": ";
    out += entry.time ? json_string(iso8601_local(*entry.time)) : "null";
    out += ", \"time_source\": ";
    out += !entry.time ? "null" : entry.time_from_stamp ? "\"stamp\"" : "\"mtime\"";
    out += ", \"state\": ";
    out += json_string(state_text(entry.state));
    out += "}";
  }
  out += entries.empty() ? "]\n" : "\n]\n";
  return out;
}
