#include "dump_series.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <utility>

#include "dump_files.h"
#include "messages.h"

namespace {

// Length of the time stamp "%.4d.%.2d.%.2d_%.2d.%.2d" the command line puts
// after "<prefix>_".
constexpr std::string_view kStampPattern = "dddd.dd.dd_dd.dd";
constexpr std::string_view kPartSuffix = ".part";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_stamp(std::string_view text) {
  if (text.size() != kStampPattern.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kStampPattern[i] == 'd' ? !is_digit(text[i]) : text[i] != kStampPattern[i]) return false;
  }
  return true;
}

// What follows "<prefix>_<stamp>": nullopt when name is no series name.
std::optional<std::string_view> series_tail(std::string_view name, std::string_view prefix) {
  if (name.size() < prefix.size() + 1 + kStampPattern.size()) return std::nullopt;
  if (name.substr(0, prefix.size()) != prefix || name[prefix.size()] != '_') return std::nullopt;
  if (!is_stamp(name.substr(prefix.size() + 1, kStampPattern.size()))) return std::nullopt;
  return name.substr(prefix.size() + 1 + kStampPattern.size());
}

// One dump of a series as listed: its base name, whether the base file is
// there, and its files greatest name first (the base file last).
struct SeriesDump {
  std::string base;
  bool has_base = false;
  std::vector<std::string> files;
};

// The last file of a dump: the one with the highest part number.
const std::string& last_file(const SeriesDump& dump) {
  const std::string* last = &dump.files.front();
  unsigned long highest = 0;
  for (const std::string& name : dump.files) {
    const unsigned long number = dump_part_number(dump.base, name);
    if (number > highest || (number == highest && name > *last)) {
      highest = number;
      last = &name;
    }
  }
  return *last;
}

// The series' files grouped by dump, newest dump first.
std::vector<SeriesDump> series_dumps(std::vector<std::string> names, std::string_view prefix) {
  std::erase_if(names, [&](const std::string& name) { return !is_series_name(name, prefix); });
  // Fixed-width time stamps: byte-wise order is age order, newest first, and
  // a dump's parts come right before its base file.
  std::sort(names.begin(), names.end(), std::greater<>());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  const std::size_t base_length = prefix.size() + 1 + kStampPattern.size();
  std::vector<SeriesDump> dumps;
  for (std::string& name : names) {
    const std::string_view base = std::string_view(name).substr(0, base_length);
    if (dumps.empty() || dumps.back().base != base) dumps.push_back({std::string(base), false, {}});
    if (name.size() == base_length) dumps.back().has_base = true;
    dumps.back().files.push_back(std::move(name));
  }
  return dumps;
}

}  // namespace

bool is_series_name(std::string_view name, std::string_view prefix) {
  const std::optional<std::string_view> tail = series_tail(name, prefix);
  if (!tail) return false;
  if (tail->empty()) return true;
  if (tail->substr(0, kPartSuffix.size()) != kPartSuffix) return false;
  const std::string_view number = tail->substr(kPartSuffix.size());
  return !number.empty() && std::all_of(number.begin(), number.end(), is_digit);
}

bool is_series_base_name(std::string_view name, std::string_view prefix) {
  const std::optional<std::string_view> tail = series_tail(name, prefix);
  return tail && tail->empty();
}

std::vector<std::string> dump_files_in_order(std::vector<std::string> names,
                                             const std::string& base) {
  std::vector<std::pair<unsigned long, std::string>> files;
  for (std::string& name : names) {
    const unsigned long number = dump_part_number(base, name);
    if (number == 0) continue;
    files.emplace_back(name == base ? 0UL : number, std::move(name));
  }
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  std::vector<std::string> result;
  result.reserve(files.size());
  for (auto& file : files) result.push_back(std::move(file.second));
  return result;
}

std::vector<std::string> rotation_victims(std::vector<std::string> names, std::string_view prefix,
                                          int keep, const std::string& protect,
                                          const EndsSigned& ends_signed, bool report_unsigned) {
  std::vector<std::string> victims;
  int to_keep = keep;
  for (SeriesDump& dump : series_dumps(std::move(names), prefix)) {
    // The dump just made stays whatever the count says.
    if (!protect.empty() && dump.base == protect) {
      if (dump.has_base) --to_keep;
      continue;
    }
    if (!ends_signed(last_file(dump))) {
      if (report_unsigned) {
        errno = 0;
        report_error(
            "Rotation neither counts nor removes \"%s\": its last file does not end "
            "with signature lines\n",
            dump.base.c_str());
      }
      continue;
    }
    if (to_keep > 0) {
      if (dump.has_base) --to_keep;
      continue;
    }
    for (std::string& name : dump.files) victims.push_back(std::move(name));
  }
  return victims;
}
