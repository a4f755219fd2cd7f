#include "sitevault/dump_series.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <utility>

#include "common/messages.h"
#include "sitevault/dump_files.h"

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

void report_left_unsigned(const std::string& base) {
  errno = 0;
  report_error(
      "Rotation neither counts nor removes \"%s\": its last file does not end "
      "with signature lines\n",
      base.c_str());
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

unsigned long first_missing_part(const std::vector<std::string>& files, const std::string& base) {
  unsigned long expected = 1;
  for (const std::string& name : files) {
    unsigned long number = dump_part_number(base, name);
    // "<base>.part", ".part0" and ".part1" are numbered 1 like the base file
    // but are not it: they never stand for part 2.
    if (name != base && number == 1) number = 0;
    if (number != expected) return expected;
    ++expected;
  }
  return files.empty() ? 1 : 0;
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
      if (report_unsigned) report_left_unsigned(dump.base);
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

std::vector<std::string> rotation_victims(std::vector<std::string> names, std::string_view prefix,
                                          const RetentionRules& rules, const std::string& protect,
                                          const EndsSigned& ends_signed, bool report) {
  if (!rules.calendar())
    return rotation_victims(std::move(names), prefix, rules.last, protect, ends_signed, report);
  std::vector<SeriesDump> dumps = series_dumps(std::move(names), prefix);
  // The dumps the rules judge, newest first, and the signed ones without a
  // base file, which follow the judgement of the next older counted dump.
  std::vector<SeriesDump*> counted;
  std::vector<std::optional<DumpStamp>> stamps;
  std::optional<std::size_t> protect_index;
  std::vector<std::pair<SeriesDump*, std::size_t>> baseless;  // dump, counted dumps before it
  const std::size_t stamp_at = prefix.size() + 1;
  for (SeriesDump& dump : dumps) {
    const bool protected_dump = !protect.empty() && dump.base == protect;
    if (!protected_dump && !ends_signed(last_file(dump))) {
      if (report) report_left_unsigned(dump.base);
      continue;
    }
    if (!dump.has_base) {
      // The dump just made is never deleted, even in this state.
      if (!protected_dump) baseless.emplace_back(&dump, counted.size());
      continue;
    }
    if (protected_dump) protect_index = counted.size();
    counted.push_back(&dump);
    stamps.push_back(parse_dump_stamp(std::string_view(dump.base).substr(stamp_at)));
  }
  const std::vector<unsigned> reasons = retention_reasons(stamps, rules, protect_index);
  // Whether a counted dump at or after each index is kept by a rule (the
  // dump just made being kept says nothing about older ones).
  std::vector<bool> older_kept(counted.size() + 1, false);
  for (std::size_t i = counted.size(); i-- > 0;)
    older_kept[i] = older_kept[i + 1] || (reasons[i] & ~unsigned{keep_protected}) != 0;

  std::vector<std::string> victims;
  const auto judge = [&](SeriesDump& dump, unsigned why) {
    if (report) {
      errno = 0;
      if (why != 0)
        report_error("Rotation keeps \"%s\" (%s)\n", dump.base.c_str(),
                     keep_reason_text(why).c_str());
      else
        report_error("Rotation removes \"%s\"\n", dump.base.c_str());
    }
    if (why == 0)
      for (std::string& name : dump.files) victims.push_back(std::move(name));
  };
  std::size_t next_baseless = 0;
  for (std::size_t i = 0; i <= counted.size(); ++i) {
    // A dump without its base file stays while an older counted one is kept
    // (by the reason of that one's rules).
    for (; next_baseless < baseless.size() && baseless[next_baseless].second == i; ++next_baseless)
      judge(*baseless[next_baseless].first, older_kept[i] ? keep_older_kept : 0U);
    if (i < counted.size()) judge(*counted[i], reasons[i]);
  }
  return victims;
}
