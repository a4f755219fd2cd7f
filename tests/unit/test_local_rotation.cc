// Rotation of dump series, removal of dumps and repositories, sizes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/product_conf.h"
#include "sitevault/dump_series.h"
#include "sitevault/local_rotation.h"
#include "sitevault/repository_dir.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::file_exists;
using testing_support::TempDir;
using testing_support::write_file;
namespace fs = std::filesystem;

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

// Every file ends with signature lines, so each base file counts as a
// finished dump whichever of its files is the last.
void touch_all(const TempDir& dir, const std::vector<std::string>& names) {
  for (const auto& name : names) {
    write_file(dir / name, name + "\nMagic1: " + std::string(40, '0') + "\nMagic2: 00\n");
  }
}

TEST(SeriesNames, RecognisesOnlyTheSeriesOwnNames) {
  EXPECT_TRUE(is_series_name("site_2005.01.02_10.00", "site"));
  EXPECT_TRUE(is_series_name("site_2005.01.02_10.00.part2", "site"));
  EXPECT_TRUE(is_series_name("site_2005.01.02_10.00.part12", "site"));
  // Another series sharing the prefix, or a name that only starts alike.
  EXPECT_FALSE(is_series_name("site_weekly_2005.01.02_10.00", "site"));
  EXPECT_FALSE(is_series_name("site_2005.01.02_10.00_old", "site"));
  EXPECT_FALSE(is_series_name("site_2005.01.02_10.0", "site"));
  EXPECT_FALSE(is_series_name("site_2005.01.02-10.00", "site"));
  EXPECT_FALSE(is_series_name("site_2005.01.02_10.00.part", "site"));
  EXPECT_FALSE(is_series_name("site_2005.01.02_10.00.part2x", "site"));
  EXPECT_FALSE(is_series_name("site_2005.01.02_10.00.tmp", "site"));
  EXPECT_FALSE(is_series_name("sitx_2005.01.02_10.00", "site"));
  EXPECT_FALSE(is_series_name("site2005.01.02_10.00", "site"));

  EXPECT_TRUE(is_series_base_name("site_2005.01.02_10.00", "site"));
  EXPECT_FALSE(is_series_base_name("site_2005.01.02_10.00.part2", "site"));
  EXPECT_FALSE(is_series_base_name("site_weekly_2005.01.02_10.00", "site"));
}

TEST(RotateDumpFiles, KeepsTheNewestDumpsWithTheirParts) {
  TempDir dir;
  touch_all(dir, {"p_2005.01.01_10.00", "p_2005.01.02_10.00", "p_2005.01.02_10.00.part2",
                  "p_2005.01.03_10.00"});
  ASSERT_EQ(rotate_dump_files(dir.path().c_str(), "p", 2), 0);
  EXPECT_EQ(names_in(dir.path()),
            (std::set<std::string>{"p_2005.01.02_10.00", "p_2005.01.02_10.00.part2",
                                   "p_2005.01.03_10.00"}));

  // Keep 1 where the newest dump has parts (more than nine of them, so the
  // part numbers do not sort numerically): its files stay, every older one
  // goes, parts whose base file is gone included.
  TempDir multi;
  std::vector<std::string> newest = {"p_2006.02.01_00.00"};
  for (int i = 2; i <= 11; ++i) newest.push_back("p_2006.02.01_00.00.part" + std::to_string(i));
  touch_all(multi, newest);
  touch_all(multi, {"p_2006.01.01_00.00", "p_2006.01.01_00.00.part2", "p_2005.12.31_23.59.part3"});
  ASSERT_EQ(rotate_dump_files(multi.path().c_str(), "p", 1), 0);
  EXPECT_EQ(names_in(multi.path()), std::set<std::string>(newest.begin(), newest.end()));
}

TEST(RotateDumpFiles, CountsOnlyFinishedDumpsAndSparesTheNewOne) {
  // A newer dump cut short (no signature lines in its last part) is no kept
  // dump: the two finished ones stay.
  TempDir dir;
  touch_all(dir, {"p_2005.01.01_10.00", "p_2005.01.02_10.00", "p_2005.01.03_10.00"});
  write_file(dir / "p_2005.01.04_10.00", "cut short");
  touch_all(dir, {"p_2005.01.05_10.00"});
  write_file(dir / "p_2005.01.05_10.00.part2", "cut short");
  ASSERT_EQ(rotate_dump_files(dir.path().c_str(), "p", 2), 0);
  EXPECT_EQ(names_in(dir.path()),
            (std::set<std::string>{"p_2005.01.02_10.00", "p_2005.01.03_10.00", "p_2005.01.04_10.00",
                                   "p_2005.01.05_10.00", "p_2005.01.05_10.00.part2"}));

  // An unsigned file older than the kept dumps is not removed either; with
  // report_unsigned it is reported once.
  TempDir older;
  touch_all(older, {"p_2005.01.03_10.00", "p_2005.01.02_10.00"});
  write_file(older / "p_2005.01.01_10.00", "cut short");
  testing::internal::CaptureStderr();
  ASSERT_EQ(rotate_dump_files(older.path().c_str(), "p", 0, nullptr, true), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(names_in(older.path()), std::set<std::string>{"p_2005.01.01_10.00"});
  EXPECT_NE(err.find("Rotation neither counts nor removes \"p_2005.01.01_10.00\""),
            std::string::npos)
      << err;

  // Keeping none still keeps the dump just made, even when it is not the
  // newest name of the series.
  TempDir none;
  touch_all(none, {"p_2005.01.01_10.00", "p_2005.01.02_10.00", "p_2005.01.02_10.00.part2",
                   "p_2005.01.03_10.00"});
  ASSERT_EQ(rotate_dump_files(none.path().c_str(), "p", 0, "p_2005.01.02_10.00"), 0);
  EXPECT_EQ(names_in(none.path()),
            (std::set<std::string>{"p_2005.01.02_10.00", "p_2005.01.02_10.00.part2"}));
}

TEST(RotateDumpFiles, NeverTouchesOtherFiles) {
  TempDir dir;
  const std::vector<std::string> others = {"site_weekly_2005.01.01_10.00",
                                           "site_weekly_2005.01.01_10.00.part2",
                                           "site_monthly",
                                           "site",
                                           "other_2005.01.01_10.00",
                                           "backup_restore.log",
                                           "backup_restore.err_log",
                                           "backup_restore.lock",
                                           "description.tmp",
                                           "site_2005.01.01_10.00.desc"};
  touch_all(dir, others);
  touch_all(dir, {"site_2005.01.01_10.00", "site_2005.01.01_10.00.part2", "site_2005.01.02_10.00"});
  ASSERT_EQ(rotate_dump_files(dir.path().c_str(), "site", 0), 0);
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>(others.begin(), others.end()));

  // The reserved names are spared even when they carry the prefix.
  TempDir reserved;
  touch_all(reserved, {"backup_restore.log", "description.tmp"});
  ASSERT_EQ(rotate_dump_files(reserved.path().c_str(), "backup_restore", 0), 0);
  ASSERT_EQ(rotate_dump_files(reserved.path().c_str(), "description", 0), 0);
  EXPECT_EQ(names_in(reserved.path()),
            (std::set<std::string>{"backup_restore.log", "description.tmp"}));
}

TEST(RotateDumpFiles, RefusesAMissingRepository) {
  TempDir dir;
  testing::internal::CaptureStderr();
  EXPECT_EQ(rotate_dump_files((dir / "missing").c_str(), "p", 1), -1);
  EXPECT_EQ(rotate_dump_files("", "p", 1), -1);
  EXPECT_EQ(rotate_dump_files(nullptr, "p", 1), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Unable to rotate files: unable to locate repository in specified path"),
            std::string::npos);
  EXPECT_NE(err.find("Unable to rotate files: repository path does not specified"),
            std::string::npos);
}

TEST(RemoveDump, RemovesEveryFileLastPartFirst) {
  TempDir dir;
  touch_all(dir, {"d", "d.part2", "d.part3", "dx", "d.part2.tmp"});
  EXPECT_EQ(remove_dump_in(dir.path(), "d"), 0);
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"dx", "d.part2.tmp"}));
  EXPECT_EQ(remove_dump_in(dir.path(), "d"), -1);  // nothing left of it

  // A part that cannot be removed (a directory) stops the removal there: the
  // later part is gone, the base file stays.
  touch_all(dir, {"e", "e.part3"});
  fs::create_directory(dir / "e.part2");
  write_file(dir / "e.part2/inside", "x");
  EXPECT_EQ(remove_dump_in(dir.path(), "e"), -1);
  EXPECT_FALSE(file_exists(dir / "e.part3"));
  EXPECT_TRUE(file_exists(dir / "e"));
}

TEST(PathSize, CountsBytesOrBlocksWithoutFollowingLinks) {
  TempDir dir;
  write_file(dir / "file", std::string(1000, 'a'));
  struct stat st {};
  ASSERT_EQ(lstat((dir / "file").c_str(), &st), 0);
  EXPECT_EQ(path_size((dir / "file").c_str(), false), 1000);
  EXPECT_EQ(path_size((dir / "file").c_str(), true), static_cast<std::int64_t>(st.st_blocks) * 512);
  EXPECT_EQ(path_size((dir / "missing").c_str(), false), -1);

  // A tree with a link to a large file and a link to a directory outside:
  // only the links themselves count.
  TempDir outside;
  write_file(outside / "big", std::string(5 << 20, 'b'));
  fs::create_directories(dir / "tree/sub/deeper");
  write_file(dir / "tree/sub/one", std::string(300, 'c'));
  write_file(dir / "tree/sub/deeper/two", std::string(200, 'd'));
  fs::create_symlink(outside / "big", dir / "tree/link-to-big");
  fs::create_directory_symlink(outside.path(), dir / "tree/sub/link-to-dir");

  std::int64_t expect_bytes = 0;
  std::int64_t expect_blocks = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir / "tree")) {
    ASSERT_EQ(lstat(entry.path().c_str(), &st), 0);
    expect_bytes += st.st_size;
    expect_blocks += st.st_blocks;
  }
  ASSERT_EQ(lstat((dir / "tree").c_str(), &st), 0);
  const std::int64_t own_bytes = st.st_size;
  const std::int64_t own_blocks = st.st_blocks;

  EXPECT_EQ(path_size((dir / "tree").c_str(), false), own_bytes + expect_bytes);
  EXPECT_EQ(path_size((dir / "tree").c_str(), true), (own_blocks + expect_blocks) * 512);
  EXPECT_LT(path_size((dir / "tree").c_str(), false), 1 << 20);
  // A link given as the path itself is measured, not followed.
  EXPECT_LT(path_size((dir / "tree/link-to-big").c_str(), false), 4096);

  // dir_size measures the working directory, in the unit of the flag, and
  // leaves the working directory where it was.
  const fs::path before = fs::current_path();
  fs::current_path(dir / "tree");
  EXPECT_EQ(dir_size(false), expect_bytes);
  EXPECT_EQ(dir_size(true), expect_blocks);
  EXPECT_EQ(fs::current_path(), fs::path(dir / "tree"));
  fs::current_path(before);
}

class RemoveDomainRepository : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = product_conf.DUMP_D;
    root_ = dumps_ / "dumps";
    fs::create_directories(root_);
    product_conf.DUMP_D = root_.c_str();
  }
  void TearDown() override { product_conf.DUMP_D = saved_; }

  TempDir dumps_;
  std::string root_;
  const char* saved_ = nullptr;
};

TEST_F(RemoveDomainRepository, RemovesTheTreeButNothingBehindLinks) {
  TempDir outside;
  write_file(outside / "precious", "keep");
  const std::string repo = root_ + "/example.com";
  fs::create_directories(repo + "/nested/deeper");
  write_file(repo + "/dump_2005.01.01_10.00", "x");
  write_file(repo + "/nested/deeper/f", "y");
  fs::create_directory_symlink(outside.path(), repo + "/nested/link-out");
  fs::create_symlink(outside / "precious", repo + "/file-link");
  fs::create_directories(root_ + "/other.example");

  EXPECT_EQ(remove_domain_repository("example.com"), 0);
  EXPECT_FALSE(file_exists(repo));
  EXPECT_TRUE(file_exists(outside / "precious"));
  EXPECT_TRUE(file_exists(root_ + "/other.example"));
  // Nothing there: nothing to do.
  EXPECT_EQ(remove_domain_repository("example.com"), 0);
}

// Rotation and removal in a domain's repository replaced by a link to a
// directory holding files named like the dumps: nothing there is removed and
// the run fails as for a missing repository. A repository held open is
// worked in, whatever is planted under its name later.
TEST_F(RemoveDomainRepository, RotationAndRemovalNeverFollowALinkedRepository) {
  TempDir outside;
  touch_all(outside, {"p_2005.01.01_10.00", "p_2005.01.02_10.00", "d", "d.part2"});
  const std::set<std::string> all = names_in(outside.path());
  const std::string repo = root_ + "/example.com";
  fs::create_directory_symlink(outside.path(), repo);
  testing::internal::CaptureStdout();
  EXPECT_EQ(rotate_dump_files(repo.c_str(), "p", 0), -1);
  EXPECT_EQ(remove_dump_in(repo, "d"), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Unable to rotate files: unable to locate"),
            std::string::npos);
  EXPECT_EQ(names_in(outside.path()), all);

  fs::remove(repo);
  fs::create_directories(repo);
  for (const char* name : {"p_2005.01.01_10.00", "p_2005.01.02_10.00", "d"})
    write_file(repo + "/" + name, "x\nMagic1: 0\nMagic2: 0\n");
  auto held = RepositoryDir::open_domain("example.com");
  ASSERT_TRUE(held.has_value());
  fs::rename(repo, root_ + "/moved");
  fs::create_directory_symlink(outside.path(), repo);
  EXPECT_EQ(rotate_dump_files_at(*held, "p", 1, nullptr), 0);
  EXPECT_EQ(remove_dump_at(*held, "d"), 0);
  EXPECT_EQ(names_in(root_ + "/moved"), (std::set<std::string>{"p_2005.01.02_10.00"}));
  EXPECT_EQ(names_in(outside.path()), all);
}

TEST_F(RemoveDomainRepository, RefusesNamesOutsideTheRoot) {
  fs::create_directories(root_ + "/a/b");
  testing::internal::CaptureStderr();
  EXPECT_NE(remove_domain_repository(".."), 0);
  EXPECT_NE(remove_domain_repository("."), 0);
  EXPECT_NE(remove_domain_repository("a/b"), 0);
  EXPECT_NE(remove_domain_repository(""), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(file_exists(root_ + "/a/b"));
  EXPECT_TRUE(file_exists(root_));
}

}  // namespace
