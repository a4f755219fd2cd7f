// Listings, rotation, deletion and single-file downloads against the real FTP
// server on loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ftp_repository.h"
#include "ftp_test_server.h"
#include "ftp_transfer.h"
#include "test_support.h"

namespace {

using ftp_test::FtpAccount;
using ftp_test::names_in;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

std::vector<std::string> feed(FtpListing& listing, const std::vector<std::string>& chunks) {
  for (const std::string& chunk : chunks) {
    std::string copy = chunk;
    EXPECT_EQ(ftp_list_handler(copy.data(), 1, copy.size(), &listing), copy.size());
  }
  ftp_list_finish(listing);
  return listing.names;
}

TEST(FtpListHandler, JoinsLinesAcrossChunksAndKeepsNamesWhole) {
  // A name split over chunks is one name; bare line feeds keep the last
  // character; a chunk of nothing but line feeds is accepted.
  FtpListing a;
  a.filter = "p_";
  EXPECT_EQ(
      feed(a, {"p_2005.01.01_1", "0.00\np_2005.01.02_10.00\r", "\n", "\n\n",
               "other.txt\np_2005.01.03_10.00"}),
      (std::vector<std::string>{"p_2005.01.01_10.00", "p_2005.01.02_10.00", "p_2005.01.03_10.00"}));

  // Only a real carriage return is dropped; a server answering with paths
  // gives the bare names.
  FtpListing b;
  EXPECT_EQ(feed(b, {"abc\r\nxyz\nsub/dir/name.part2\n"}),
            (std::vector<std::string>{"abc", "xyz", "name.part2"}));
}

TEST(FtpRotationVictims, CountsOnlyTheSeriesOwnDumps) {
  const std::vector<std::string> listed = {"p_2005.01.01_10.00",
                                           "p_2005.01.02_10.00",
                                           "p_2005.01.02_10.00.part2",
                                           "p_2005.01.03_10.00",
                                           "other.txt",
                                           "p_extra_2004.01.01_10.00",
                                           "p_x_2006.01.01_10.00",
                                           "p_2004.12.31_10.00.part2",
                                           "p_2005.01.01_10.00.old"};
  EXPECT_EQ(ftp_rotation_victims(listed, "p", 2),
            (std::vector<std::string>{"p_2005.01.01_10.00", "p_2004.12.31_10.00.part2"}));
  EXPECT_TRUE(ftp_rotation_victims(listed, "p", 5).empty());
  // Keeping none spares the dump just uploaded and nothing else of the series.
  EXPECT_EQ(ftp_rotation_victims(listed, "p", 0, "p_2005.01.02_10.00"),
            (std::vector<std::string>{"p_2005.01.03_10.00", "p_2005.01.01_10.00",
                                      "p_2004.12.31_10.00.part2"}));
}

class FtpRepository : public ::testing::Test {
 protected:
  void SetUp() override {
    account = ftp_test::shared_account();
    ASSERT_FALSE(account.home.empty()) << "the servers fixture did not publish an FTP server";
    dir = ftp_test::make_test_dir(account);
  }
  void put(const std::string& name, const std::string& content = "x\n") {
    write_file(account.home + "/" + dir + "/" + name, content);
  }
  int rotate(const std::string& prefix, int keep) {
    return ftp_rotate_dumps(account.server.c_str(), account.login.c_str(), account.password.c_str(),
                            dir.c_str(), prefix.c_str(), keep);
  }

  FtpAccount account;
  std::string dir;
};

TEST_F(FtpRepository, RotationDeletesExactlyTheOlderDumpsOfTheSeries) {
  const std::vector<std::string> all = {
      "p_2005.01.01_10.00",       "p_2005.01.01_10.00.part2", "p_2005.01.02_10.00",
      "p_2005.01.02_10.00.part2", "p_2005.01.03_10.00",       "other.txt",
      "p_more_2001.01.01_10.00",  "p_2000.01.01_10.00.bak",   "pp_2000.01.01_10.00"};
  for (const auto& name : all) put(name);

  EXPECT_EQ(rotate("p", 2), 0);
  std::set<std::string> expected(all.begin(), all.end());
  expected.erase("p_2005.01.01_10.00");
  expected.erase("p_2005.01.01_10.00.part2");
  EXPECT_EQ(names_in(account, dir), expected);

  // Nothing older than the kept dumps: no change, success.
  EXPECT_EQ(rotate("p", 2), 0);
  EXPECT_EQ(names_in(account, dir), expected);
  // A listing of a directory that does not exist fails.
  dir += "/missing";
  EXPECT_EQ(rotate("p", 1), -1);
}

TEST_F(FtpRepository, RefusedDeletionIsReported) {
  put("q_2005.01.03_10.00");
  put("q_2005.01.02_10.00");
  // A directory cannot be deleted with DELE: the server refuses.
  std::filesystem::create_directory(account.home + "/" + dir + "/q_2005.01.01_10.00");
  testing::internal::CaptureStderr();
  EXPECT_EQ(rotate("q", 1), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("error: cURL execution failed: "), std::string::npos) << err;
}

TEST_F(FtpRepository, DumpFilesInDumpOrderWithEscapedNames) {
  // Blanks and '#' in the path and the dump name reach the right files.
  dir = ftp_test::make_test_dir(account, " with #hash");
  const std::string dump = "my dump#1";
  for (const char* suffix : {"", ".part2", ".part3", ".part10", ".partX", ".old"}) {
    put(dump + suffix, std::string("content of") + suffix + "\n");
  }
  put("my dump#10");

  auto files = ftp_get_dump_files(account.server.c_str(), account.login.c_str(),
                                  account.password.c_str(), dir.c_str(), dump.c_str());
  ASSERT_TRUE(files.has_value());
  EXPECT_EQ(*files,
            (std::vector<std::string>{dump, dump + ".part2", dump + ".part3", dump + ".part10"}));
  EXPECT_FALSE(ftp_get_dump_files(account.server.c_str(), account.login.c_str(),
                                  account.password.c_str(), dir.c_str(), "absent")
                   .has_value());

  TempDir local;
  char error_text[4096] = "";
  ASSERT_EQ(ftp_download_file(account.server.c_str(), account.login.c_str(),
                              account.password.c_str(), dir.c_str(), (dump + ".part2").c_str(),
                              (local / "got").c_str(), error_text, sizeof error_text),
            0)
      << error_text;
  EXPECT_EQ(read_file(local / "got"), "content of.part2\n");

  // A file that is not there: libcurl's reason in the caller's text, an
  // empty local file.
  EXPECT_EQ(ftp_download_file(account.server.c_str(), account.login.c_str(),
                              account.password.c_str(), dir.c_str(), "absent",
                              (local / "absent").c_str(), error_text, sizeof error_text),
            -1);
  EXPECT_EQ(std::string(error_text).rfind("error: cURL execution failed: ", 0), 0u) << error_text;
  EXPECT_EQ(read_file(local / "absent"), "");

  EXPECT_EQ(ftp_delete_files(account.server.c_str(), account.login.c_str(),
                             account.password.c_str(), dir.c_str(), {dump, dump + ".part10"}),
            0);
  EXPECT_EQ(names_in(account, dir).count(dump), 0u);
  EXPECT_EQ(names_in(account, dir).count(dump + ".part10"), 0u);
  EXPECT_EQ(names_in(account, dir).count(dump + ".part2"), 1u);
}

TEST_F(FtpRepository, DeletionRefusesLineBreaksInNames) {
  put("keep");
  EXPECT_EQ(ftp_delete_files(account.server.c_str(), account.login.c_str(),
                             account.password.c_str(), dir.c_str(), {"x\r\nDELE keep"}),
            -1);
  EXPECT_EQ(ftp_delete_files(account.server.c_str(), account.login.c_str(),
                             account.password.c_str(), (dir + "\nDELE " + dir).c_str(), {"keep"}),
            -1);
  EXPECT_EQ(names_in(account, dir).count("keep"), 1u);
}

TEST(FtpLogin, CredentialsWithColonsAndBlanksLogIn) {
  TempDir state;
  ftp_test::PrivateFtpServer server(state.path(), "us:er", "pa:ss word");
  const FtpAccount& account = server.account();
  write_file(account.home + "/d", "data\n");
  auto files = ftp_get_dump_files(account.server.c_str(), account.login.c_str(),
                                  account.password.c_str(), ".", "d");
  ASSERT_TRUE(files.has_value());
  EXPECT_EQ(*files, std::vector<std::string>{"d"});
  EXPECT_FALSE(ftp_get_dump_files(account.server.c_str(), account.login.c_str(), "wrong", ".", "d")
                   .has_value());
}

}  // namespace
