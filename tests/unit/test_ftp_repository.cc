// Listings, rotation, deletion and single-file downloads against the real FTP
// server on loopback.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "dump_commit.h"
#include "ftp_commit_store.h"
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

// A listing of every name needs both NLST and "NLST -a": a server that never
// answers the second fails the listing within the limits (a commit record
// may be among the names it would have given), while the plain listing
// alone is not affected.
TEST(FtpListing, UnansweredHiddenListingFailsInsteadOfLeavingNamesOut) {
  TempDir state;
  ftp_test::PrivateFtpServer server(state.path(), "lister", "secret");
  const FtpAccount& account = server.account();
  write_file(account.home + "/d", "data\n");
  write_file(account.home + "/.hvxtmp.record", "record\n");
  setenv("HVX_FTP_STALL_TIMEOUT", "2", 1);
  setenv("HVX_FTP_CONNECT_TIMEOUT", "2", 1);
  const char* host = account.server.c_str();
  const char* login = account.login.c_str();
  const char* password = account.password.c_str();
  const auto all = ftp_list_names(host, login, password, ".", "", FtpHidden::listed);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(std::set<std::string>(all->begin(), all->end()),
            (std::set<std::string>{"d", ".hvxtmp.record"}));

  server.freeze_at("NLST -a", 1, "session");
  const auto started = std::chrono::steady_clock::now();
  char why[512] = "";
  EXPECT_FALSE(ftp_list_names(host, login, password, ".", "", FtpHidden::listed, why, sizeof why));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_TRUE(testing_support::file_exists(state.path() + "/freeze.fired"));
  EXPECT_NE(std::string(why).find("error: cURL execution failed: "), std::string::npos) << why;

  server.freeze_at("NLST -a", 1, "session");
  const auto plain = ftp_list_names(host, login, password, ".", "", FtpHidden::left_out);
  ASSERT_TRUE(plain.has_value());
  EXPECT_NE(std::find(plain->begin(), plain->end(), "d"), plain->end());
  unsetenv("HVX_FTP_STALL_TIMEOUT");
  unsetenv("HVX_FTP_CONNECT_TIMEOUT");
}

// The directory of a remote commit on each transport: every name (those
// beginning with a dot too, which vsftpd lists only when asked), renames that
// never remove a target, records, quiet size queries, and nothing of what
// the server sends on standard output.
class FtpCommitStoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    account =
        GetParam() == "ftp" ? ftp_test::shared_account() : ftp_test::secure_account(GetParam());
    ASSERT_FALSE(account.home.empty());
    dir = ftp_test::make_test_dir(account);
  }
  void TearDown() override {
    unsetenv("HVX_FTP_CA_FILE");
    unsetenv("HVX_SSH_KNOWN_HOSTS");
  }
  void put(const std::string& name, const std::string& content) {
    const std::string path = account.home + "/" + dir + "/" + name;
    write_file(path, content);
    if (account.uid >= 0) {
      ASSERT_EQ(::chown(path.c_str(), account.uid, account.uid), 0);
    }
  }
  FtpCommitStore store() const {
    return FtpCommitStore(account.server.c_str(), account.login.c_str(), account.password.c_str(),
                          dir.c_str());
  }

  FtpAccount account;
  std::string dir;
};

TEST_P(FtpCommitStoreTest, SeesDotNamesRenamesWithoutReplacingAndKeepsRecords) {
  put("d", "base\n");
  put("d.part2", "second\n");
  put(".hvxtmp.x.d", "staged\n");
  put(".hidden", "h\n");
  FtpCommitStore remote = store();

  testing::internal::CaptureStdout();
  const auto all = remote.names("");
  const auto staged = remote.names(".hvxtmp.");
  const auto size = remote.size("d.part2");
  testing::internal::CaptureStderr();
  const auto absent = remote.size("absent");
  const std::string quiet = testing::internal::GetCapturedStderr();
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(all && staged);
  EXPECT_EQ(std::set<std::string>(all->begin(), all->end()),
            (std::set<std::string>{"d", "d.part2", ".hvxtmp.x.d", ".hidden"}));
  EXPECT_EQ(*staged, std::vector<std::string>{".hvxtmp.x.d"});
  EXPECT_EQ(size, std::optional<std::uint64_t>(7));
  EXPECT_FALSE(absent.has_value());
  EXPECT_EQ(quiet, "") << "a missing file is no failure of its own";
  // Neither listings nor size queries (FTP pseudo headers) reach stdout.
  EXPECT_EQ(out, "");

  // Moves in order; the one onto an existing name is refused by this
  // transport or replaces, but the target is never deleted beforehand.
  EXPECT_EQ(remote.rename({{"d.part2", ".hvxtmp.x~old.d.part2"}, {".hvxtmp.x.d", "n"}}), 0);
  EXPECT_EQ(names_in(account, dir),
            (std::set<std::string>{"d", ".hvxtmp.x~old.d.part2", "n", ".hidden"}));
  EXPECT_EQ(read_file(account.home + "/" + dir + "/n"), "staged\n");
  if (GetParam() == "sftp") {
    testing::internal::CaptureStderr();
    EXPECT_EQ(remote.rename({{"n", "d"}, {".hidden", "later"}}), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(read_file(account.home + "/" + dir + "/d"), "base\n");
    EXPECT_EQ(names_in(account, dir).count("later"), 0u) << "the batch stops at a refusal";
  }

  EXPECT_EQ(remote.put_record(".hvxtmp.x~commit.d", "parts 2\n"), 0);
  EXPECT_EQ(remote.get_record(".hvxtmp.x~commit.d"), std::optional<std::string>("parts 2\n"));
  EXPECT_EQ(remote.remove({".hvxtmp.x~commit.d", "never there"}), 0);
  EXPECT_EQ(names_in(account, dir).count(".hvxtmp.x~commit.d"), 0u);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(remote.get_record(".hvxtmp.x~commit.d").has_value());
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
}

TEST_P(FtpCommitStoreTest, MissingVerificationFileFailsBeforeConnecting) {
  if (GetParam() == "ftp") GTEST_SKIP() << "plain FTP checks nothing";
  TempDir local;
  const std::string missing = local / "missing.pem";
  std::vector<std::pair<const char*, std::string>> cases;
  if (GetParam() == "sftp") {
    cases = {{"HVX_SSH_KNOWN_HOSTS", missing}, {"HVX_SSH_KNOWN_HOSTS", local.path()}};
  } else {
    cases = {{"HVX_FTP_CA_FILE", missing}};
  }
  for (const auto& [variable, value] : cases) {
    const std::string kept = std::getenv(variable);
    setenv(variable, value.c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(store().names("").has_value());
    const std::string err = testing::internal::GetCapturedStderr();
    setenv(variable, kept.c_str(), 1);
    EXPECT_NE(err.find(std::string("error: cURL setup failed: ") + variable +
                       " names no readable file: \"" + value + "\""),
              std::string::npos)
        << err;
  }
  if (GetParam() == "sftp") {
    setenv("HVX_SSH_KEY_FILE", missing.c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(store().names("").has_value());
    const std::string err = testing::internal::GetCapturedStderr();
    unsetenv("HVX_SSH_KEY_FILE");
    EXPECT_NE(err.find("HVX_SSH_KEY_FILE names no readable file: \"" + missing +
                       "\" (No such file or directory)"),
              std::string::npos)
        << err;
  }
}

INSTANTIATE_TEST_SUITE_P(Transports, FtpCommitStoreTest, ::testing::Values("ftp", "ftpes", "sftp"));

// The staging files of a run that is gone, this host's, are removed by the
// next run on that path; another host's and a live run's stay.
TEST_F(FtpRepository, RecoveryRemovesOnlyLeftoversOfThisHostsRunsThatAreGone) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  RunIdentity gone = this_run();
  gone.pid = child;  // ended, and not yet reused this soon
  RunIdentity foreign = gone;
  foreign.host = this_run().host == "0badc0de" ? "0badf00d" : "0badc0de";
  put(staged_dump_name(gone, "d"));
  put(staged_dump_name(gone, "d") + ".part2");
  put(staged_dump_name(foreign, "d"));
  put(aside_dump_name(foreign, "d"));
  put(staged_dump_name(this_run(), "e"));
  put("d", "older\n");

  EXPECT_EQ(ftp_recover_commits(account.server.c_str(), account.login.c_str(),
                                account.password.c_str(), dir.c_str()),
            0);
  EXPECT_EQ(names_in(account, dir),
            (std::set<std::string>{staged_dump_name(foreign, "d"), aside_dump_name(foreign, "d"),
                                   staged_dump_name(this_run(), "e"), "d"}));
  EXPECT_EQ(read_file(account.home + "/" + dir + "/d"), "older\n");
}

}  // namespace
