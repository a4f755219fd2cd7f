#include "sitevault/retention.h"

#include <functional>

namespace {

bool parse_digits(std::string_view text, int& value) {
  value = 0;
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a civil date (H. Hinnant's algorithm).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The year of a day number.
int year_of_day(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0));
}

std::int64_t stamp_minutes(const DumpStamp& s) {
  return stamp_day_number(s) * 1440 + s.hour * 60 + s.minute;
}

// Keeps, with reason, the newest dump of each of the newest count periods
// that have dumps. Stamps come newest first, so the dumps of one period are
// next to each other.
void keep_per_period(const std::vector<std::optional<DumpStamp>>& stamps, int count,
                     unsigned reason, const std::function<std::int64_t(const DumpStamp&)>& period,
                     std::vector<unsigned>& reasons) {
  if (count <= 0) return;
  int taken = 0;
  std::optional<std::int64_t> current;
  for (std::size_t i = 0; i < stamps.size() && taken < count; ++i) {
    if (!stamps[i]) continue;
    const std::int64_t key = period(*stamps[i]);
    if (current && *current == key) continue;
    current = key;
    reasons[i] |= reason;
    ++taken;
  }
}

}  // namespace

std::optional<DumpStamp> parse_dump_stamp(std::string_view text) {
  // "YYYY.MM.DD_HH.MM"
  if (text.size() != 16 || text[4] != '.' || text[7] != '.' || text[10] != '_' || text[13] != '.')
    return std::nullopt;
  DumpStamp s;
  if (!parse_digits(text.substr(0, 4), s.year) || !parse_digits(text.substr(5, 2), s.month) ||
      !parse_digits(text.substr(8, 2), s.day) || !parse_digits(text.substr(11, 2), s.hour) ||
      !parse_digits(text.substr(14, 2), s.minute))
    return std::nullopt;
  if (s.month < 1 || s.month > 12 || s.day < 1 || s.day > days_in_month(s.year, s.month) ||
      s.hour > 23 || s.minute > 59)
    return std::nullopt;
  return s;
}

std::int64_t stamp_day_number(const DumpStamp& s) {
  return days_from_civil(s.year, static_cast<unsigned>(s.month), static_cast<unsigned>(s.day));
}

int iso_week_key(const DumpStamp& s) {
  const std::int64_t day = stamp_day_number(s);
  // 1970-01-01 was a Thursday; weekday 0 is Monday.
  const auto weekday = static_cast<int>(((day + 3) % 7 + 7) % 7);
  // The ISO year is the year of the week's Thursday.
  const std::int64_t thursday = day - weekday + 3;
  const int year = year_of_day(thursday);
  const auto week = static_cast<int>((thursday - days_from_civil(year, 1, 1)) / 7 + 1);
  return year * 100 + week;
}

std::string keep_reason_text(unsigned reasons) {
  static constexpr struct {
    unsigned bit;
    const char* text;
  } kNames[] = {
      {keep_protected, "the dump just made"},
      {keep_last, "--max-dump-files"},
      {keep_daily, "--keep-daily"},
      {keep_weekly, "--keep-weekly"},
      {keep_monthly, "--keep-monthly"},
      {keep_yearly, "--keep-yearly"},
      {keep_within, "--keep-within"},
      {keep_undated, "no date in its name"},
      {keep_older_kept, "an older dump is kept"},
  };
  std::string text;
  for (const auto& name : kNames) {
    if ((reasons & name.bit) == 0) continue;
    if (!text.empty()) text += ", ";
    text += name.text;
  }
  return text;
}

std::vector<unsigned> retention_reasons(const std::vector<std::optional<DumpStamp>>& stamps,
                                        const RetentionRules& rules,
                                        std::optional<std::size_t> protect) {
  std::vector<unsigned> reasons(stamps.size(), 0);
  if (protect && *protect < stamps.size()) reasons[*protect] |= keep_protected;
  for (std::size_t i = 0; i < stamps.size(); ++i) {
    if (rules.last >= 0 && i < static_cast<std::size_t>(rules.last)) reasons[i] |= keep_last;
    // No calendar rule can place a dump without a date: it stays.
    if (rules.calendar() && !stamps[i]) reasons[i] |= keep_undated;
  }
  keep_per_period(stamps, rules.daily, keep_daily, stamp_day_number, reasons);
  keep_per_period(stamps, rules.weekly, keep_weekly, iso_week_key, reasons);
  keep_per_period(
      stamps, rules.monthly, keep_monthly,
      [](const DumpStamp& s) { return static_cast<std::int64_t>(s.year) * 12 + s.month; }, reasons);
  keep_per_period(
      stamps, rules.yearly, keep_yearly, [](const DumpStamp& s) { return s.year; }, reasons);
  if (rules.within_days >= 0) {
    std::optional<std::int64_t> newest;
    for (std::size_t i = 0; i < stamps.size(); ++i) {
      if (!stamps[i]) continue;
      const std::int64_t minutes = stamp_minutes(*stamps[i]);
      if (!newest) newest = minutes;
      if (*newest - minutes < static_cast<std::int64_t>(rules.within_days) * 1440)
        reasons[i] |= keep_within;
    }
  }
  return reasons;
}
