// Which dumps of a series a rotation keeps: the newest N, and calendar
// rules (the newest dump of each of the last N days, ISO weeks, months and
// years that have dumps, every dump within D days of the newest). A pure
// function over the time stamps of the series' names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The rules of one rotation; -1 means the rule was not given.
struct RetentionRules {
  int last = -1;  // --max-dump-files
  int daily = -1;
  int weekly = -1;
  int monthly = -1;
  int yearly = -1;
  int within_days = -1;  // --keep-within

  // Whether a calendar rule (anything beyond --max-dump-files) was given.
  bool calendar() const {
    return daily >= 0 || weekly >= 0 || monthly >= 0 || yearly >= 0 || within_days >= 0;
  }
};

// The time stamp of a series name, "YYYY.MM.DD_HH.MM", local time as
// written.
struct DumpStamp {
  int year = 0;
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  int hour = 0;
  int minute = 0;
};
// nullopt when the text is not a stamp of a real date and time.
std::optional<DumpStamp> parse_dump_stamp(std::string_view text);
// Days since 1970-01-01 of the stamp's calendar date (proleptic Gregorian).
std::int64_t stamp_day_number(const DumpStamp& stamp);
// ISO 8601 week-numbering year * 100 + week of the stamp's date.
int iso_week_key(const DumpStamp& stamp);

// Why a dump is kept, as bits; 0: removed.
enum KeepReason : unsigned {
  keep_protected = 1U << 0,  // the dump just made
  keep_last = 1U << 1,       // among the newest --max-dump-files
  keep_daily = 1U << 2,
  keep_weekly = 1U << 3,
  keep_monthly = 1U << 4,
  keep_yearly = 1U << 5,
  keep_within = 1U << 6,
  keep_undated = 1U << 7,     // its stamp is no real date: no calendar rule can judge it
  keep_older_kept = 1U << 8,  // parts without their base file, newer than a kept dump
};
// The reasons as the report lists them: "--keep-daily, --keep-weekly".
std::string keep_reason_text(unsigned reasons);

// The reasons each dump is kept for. stamps: the series' counted dumps,
// newest first (nullopt for a stamp that is no real date); protect: the
// index of the dump just made, if it is among them.
std::vector<unsigned> retention_reasons(const std::vector<std::optional<DumpStamp>>& stamps,
                                        const RetentionRules& rules,
                                        std::optional<std::size_t> protect);
