// The inventory of a repository's dumps: which names form a dump, and both
// printed forms with names holding any byte (states, times and order are
// checked end to end on real repositories).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "sitevault/dump_inventory.h"

namespace {

std::vector<ListedFile> listing(const std::vector<std::string>& names) {
  std::vector<ListedFile> files;
  std::int64_t mtime = 1000;
  for (const std::string& name : names) files.push_back({name, name.size(), mtime++});
  return files;
}

TEST(DumpInventory, GroupsPartsAndLeavesStagingAndRepositoryFilesOut) {
  const auto dumps = group_listed_dumps(listing({
      "w_2026.01.02_10.00.part3", "w_2026.01.02_10.00", "w_2026.01.02_10.00.part2", "cut.part3",
      "cut",                                                             // part 2 missing
      "orphan.part2",                                                    // base file missing
      ".hvxtmp.h-b-1-2.w_2026.01.03_10.00", ".hvxtmp.h-b-1-2~commit.x",  // staging
      "backup_restore.lock", "backup_restore.log", "notes",  // the repository's own, a file
  }));
  ASSERT_EQ(4U, dumps.size());
  EXPECT_EQ("cut", dumps[0].name);
  EXPECT_FALSE(dumps[0].complete);
  EXPECT_EQ("notes", dumps[1].name);
  EXPECT_TRUE(dumps[1].complete);
  EXPECT_EQ("orphan", dumps[2].name);
  EXPECT_FALSE(dumps[2].complete);
  EXPECT_EQ("w_2026.01.02_10.00", dumps[3].name);
  EXPECT_TRUE(dumps[3].complete);
  ASSERT_EQ(3U, dumps[3].files.size());
  EXPECT_EQ("w_2026.01.02_10.00.part3", dumps[3].files.back().name);
}

TEST(DumpInventory, AnyByteOfANameSurvivesBothForms) {
  setenv("TZ", "UTC", 1);
  tzset();
  DumpEntry entry;
  entry.name = "a\tb\nc\"d\\e\x01 \xc3\xa9 \xff\xc3";
  entry.files = 1;
  entry.bytes = 7;
  entry.state = DumpState::unsigned_dump;
  EXPECT_EQ("a\\tb\\nc\"d\\\\e\\x01 \xc3\xa9 \xff\xc3\t1\t7\t-\tunsigned\n",
            inventory_lines({entry}));
  EXPECT_EQ(
      "[\n  {\"name\": \"a\\tb\\nc\\\"d\\\\e\\u0001 \xc3\xa9 \\udcff\\udcc3\", \"files\": 1, "
      "\"bytes\": 7, \"time\": null, \"time_source\": null, \"state\": \"unsigned\"}\n]\n",
      inventory_json({entry}));
  entry.time = 0;
  EXPECT_EQ("[]\n", inventory_json({}));
  EXPECT_NE(std::string::npos,
            inventory_json({entry}).find("\"time\": \"1970-01-01T00:00:00+00:00\", "
                                         "\"time_source\": \"mtime\""));
}

}  // namespace
