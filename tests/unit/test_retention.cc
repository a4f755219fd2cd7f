// Calendar retention as pure logic over the stamps of a series: periods
// across month and year ends and ISO week 53, each rule alone and together,
// the dump just made; and the series-level rule that applies it.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sitevault/dump_series.h"
#include "sitevault/retention.h"

namespace {

DumpStamp stamp(const char* text) {
  const auto parsed = parse_dump_stamp(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.value_or(DumpStamp{});
}

// A calendar newest first, across a year end whose last ISO week is 53
// (2026) and one whose last days belong to the next year's week 1 (2025).
const char* const kCalendar[] = {
    "2027.01.02_10.00",  // 0 Sat, 2026-W53
    "2027.01.01_23.00",  // 1 Fri, 2026-W53
    "2027.01.01_08.00",  // 2 same day
    "2026.12.31_10.00",  // 3 Thu, 2026-W53
    "2026.12.28_10.00",  // 4 Mon, 2026-W53
    "2026.12.27_10.00",  // 5 Sun, 2026-W52
    "2026.11.30_10.00",  // 6
    "2026.11.01_10.00",  // 7
    "2025.12.31_10.00",  // 8 Wed, 2026-W01
    "2025.06.15_10.00",  // 9
    "2024.02.29_10.00",  // 10
};

std::vector<std::optional<DumpStamp>> calendar() {
  std::vector<std::optional<DumpStamp>> stamps;
  for (const char* text : kCalendar) stamps.emplace_back(stamp(text));
  return stamps;
}

// The indexes of the dumps kept for reason.
std::vector<std::size_t> kept_for(const std::vector<unsigned>& reasons, unsigned reason) {
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < reasons.size(); ++i)
    if ((reasons[i] & reason) != 0) kept.push_back(i);
  return kept;
}

using Kept = std::vector<std::size_t>;

TEST(DumpStamps, RealDatesOnlyAndIsoWeeksAcrossYearEnds) {
  EXPECT_FALSE(parse_dump_stamp("2025.02.29_10.00"));
  EXPECT_TRUE(parse_dump_stamp("2024.02.29_10.00"));
  EXPECT_FALSE(parse_dump_stamp("2025.13.01_10.00"));
  EXPECT_FALSE(parse_dump_stamp("2025.04.31_10.00"));
  EXPECT_FALSE(parse_dump_stamp("2025.01.01_24.00"));
  EXPECT_FALSE(parse_dump_stamp("2025.01.01_10.0x"));
  EXPECT_FALSE(parse_dump_stamp("2025.01.01_10.00.part2"));

  EXPECT_EQ(202653, iso_week_key(stamp("2026.12.28_00.00")));
  EXPECT_EQ(202653, iso_week_key(stamp("2027.01.03_23.59")));
  EXPECT_EQ(202701, iso_week_key(stamp("2027.01.04_00.00")));
  EXPECT_EQ(202601, iso_week_key(stamp("2025.12.29_00.00")));
  EXPECT_EQ(202552, iso_week_key(stamp("2025.12.28_23.59")));
  EXPECT_EQ(202053, iso_week_key(stamp("2021.01.03_10.00")));
  EXPECT_EQ(stamp_day_number(stamp("2024.03.01_00.00")) - 1,
            stamp_day_number(stamp("2024.02.29_00.00")));
}

TEST(RetentionReasons, EachRuleKeepsTheNewestDumpOfItsLastPeriods) {
  const auto stamps = calendar();
  const auto with = [&](int RetentionRules::*rule, int count) {
    RetentionRules rules;
    rules.*rule = count;
    return retention_reasons(stamps, rules, std::nullopt);
  };
  // Days: two dumps of 1 January count once, the newer one.
  EXPECT_EQ((Kept{0, 1, 3}), kept_for(with(&RetentionRules::daily, 3), keep_daily));
  // ISO weeks: 28 December to 2 January is one week (53) of 2026.
  EXPECT_EQ((Kept{0, 5, 6}), kept_for(with(&RetentionRules::weekly, 3), keep_weekly));
  // Months and years across the year end.
  EXPECT_EQ((Kept{0, 3, 6}), kept_for(with(&RetentionRules::monthly, 3), keep_monthly));
  EXPECT_EQ((Kept{0, 3, 8, 10}), kept_for(with(&RetentionRules::yearly, 4), keep_yearly));
  // More periods asked than there are: every period's newest.
  EXPECT_EQ((Kept{0, 3, 8, 10}), kept_for(with(&RetentionRules::yearly, 100), keep_yearly));
  // Within two days of the newest: exactly 48 hours before is not within.
  EXPECT_EQ((Kept{0, 1, 2}), kept_for(with(&RetentionRules::within_days, 2), keep_within));
  // Zero keeps nothing by that rule.
  EXPECT_EQ(Kept{}, kept_for(with(&RetentionRules::daily, 0), ~0U));
  EXPECT_EQ(Kept{}, kept_for(with(&RetentionRules::within_days, 0), ~0U));
}

TEST(RetentionReasons, RulesTogetherKeepTheUnionAndTheNewDumpAlways) {
  const auto stamps = calendar();
  RetentionRules rules;
  rules.last = 1;
  rules.daily = 2;
  rules.monthly = 2;
  rules.yearly = 3;
  const std::vector<unsigned> reasons = retention_reasons(stamps, rules, std::size_t{9});
  EXPECT_EQ((Kept{0, 1, 3, 8, 9}), kept_for(reasons, ~0U));
  EXPECT_EQ(keep_last | keep_daily | keep_monthly | keep_yearly, reasons[0]);
  EXPECT_EQ(unsigned{keep_protected}, reasons[9]);
  EXPECT_EQ("--keep-monthly, --keep-yearly", keep_reason_text(reasons[3]));
  EXPECT_EQ("the dump just made", keep_reason_text(reasons[9]));

  // The dump just made counts for the rules like any other: being the
  // newest, it is today's, this week's...
  rules = RetentionRules{};
  rules.weekly = 1;
  const auto fresh = retention_reasons(stamps, rules, std::size_t{0});
  EXPECT_EQ(keep_protected | keep_weekly, fresh[0]);
  EXPECT_EQ((Kept{0}), kept_for(fresh, ~0U));
}

TEST(RetentionReasons, ADumpWithoutARealDateIsNeverRemovedByTheCalendar) {
  auto stamps = calendar();
  stamps.insert(stamps.begin() + 2, std::nullopt);
  RetentionRules rules;
  rules.daily = 2;
  const auto reasons = retention_reasons(stamps, rules, std::nullopt);
  EXPECT_EQ((Kept{0, 1, 2}), kept_for(reasons, ~0U));
  EXPECT_EQ(unsigned{keep_undated}, reasons[2]);
}

const std::string kSignedTail = "Magic1: 00\nMagic2: 00\n";

TEST(CalendarRotation, JudgesSignedWholeDumpsAndLeavesTheRestAlone) {
  const std::vector<std::string> names = {
      "s_2026.12.31_10.00",       "s_2026.12.31_10.00.part2",  // whole, split
      "s_2026.12.30_10.00",                              // unsigned: neither counted nor removed
      "s_2026.12.29_10.00.part2",                        // signed, base file gone
      "s_2026.12.28_10.00",                              // older day
      "s_2026.11.02_10.00",       "s_2026.11.01_10.00",  // November
      "s_x_2026.01.01_10.00",     "other"};              // not of the series
  const EndsSigned ends_signed = [](const std::string& last) {
    return last != "s_2026.12.30_10.00";
  };
  RetentionRules rules;
  rules.monthly = 2;
  // The newest of December and of November stay, and the part without its
  // base file between them (an older dump is kept); the December dump of
  // an older day goes.
  EXPECT_EQ((std::vector<std::string>{"s_2026.12.28_10.00", "s_2026.11.01_10.00"}),
            rotation_victims(names, "s", rules, "", ends_signed, false));
  rules.daily = 2;
  EXPECT_EQ((std::vector<std::string>{"s_2026.11.01_10.00"}),
            rotation_victims(names, "s", rules, "", ends_signed, false));
  // The dump just made is never removed, even when no rule keeps it.
  rules = RetentionRules{};
  rules.within_days = 0;
  const auto victims =
      rotation_victims(names, "s", rules, "s_2026.11.01_10.00", ends_signed, false);
  EXPECT_EQ((std::vector<std::string>{"s_2026.12.31_10.00.part2", "s_2026.12.31_10.00",
                                      "s_2026.12.29_10.00.part2", "s_2026.12.28_10.00",
                                      "s_2026.11.02_10.00"}),
            victims);
}

TEST(CalendarRotation, MaxDumpFilesAloneIsTheRotationByCount) {
  const std::vector<std::string> names = {"s_2026.12.31_10.00", "s_2026.12.30_10.00",
                                          "s_2026.12.29_10.00.part2", "s_2026.12.28_10.00"};
  const EndsSigned ends_signed = [](const std::string&) { return true; };
  for (int keep = 0; keep <= 4; ++keep) {
    RetentionRules rules;
    rules.last = keep;
    EXPECT_EQ(rotation_victims(names, "s", keep, "s_2026.12.31_10.00", ends_signed, false),
              rotation_victims(names, "s", rules, "s_2026.12.31_10.00", ends_signed, false))
        << keep;
  }
}

}  // namespace
