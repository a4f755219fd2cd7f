// Repository directories, operation logs, notification mail and detaching,
// against a sandbox with the sendmail stand-in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/product_conf.h"
#include "sitevault/operation_support.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::file_exists;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;
namespace fs = std::filesystem;

[[maybe_unused]] testing::Environment* const sandbox_environment =
    testing::AddGlobalTestEnvironment(new testing_support::SandboxEnvironment);

std::string sandbox(const std::string& rel) { return std::string(getenv("HVX_ROOT")) + rel; }
std::string repository() { return std::string(product_conf.DUMP_D) + "/example.com"; }
std::string mail_dir() { return sandbox("/var/sandbox/mail"); }

class Mail : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(mail_dir());
    fs::create_directories(mail_dir());
    fs::create_directories(repository());
    std::error_code ec;
    fs::remove(repository() + "/backup_restore.log", ec);
    fs::remove(repository() + "/backup_restore.err_log", ec);
  }

  // The only message sent since SetUp.
  static std::string sent() {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(mail_dir())) files.push_back(e.path());
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::string() : read_file(files.front());
  }

  static std::string header(const std::string& subject) {
    return "X-Sandbox-Args: -f admin@example.com owner@example.com\n"
           "From: admin@example.com\nTo: owner@example.com\nSubject: " +
           subject + " for domain 'example.com'\n\n";
  }

  static int send(int kind, const char* text) {
    return send_notification("owner@example.com", "admin@example.com", "example.com", kind, text);
  }
};

TEST(Repository, FixesOwnerAndModeOfBothDirectories) {
  const std::string repo = std::string(product_conf.DUMP_D) + "/fresh.example";
  fs::create_directories(product_conf.DUMP_D);
  ASSERT_EQ(chmod(product_conf.DUMP_D, 0755), 0);
  ASSERT_EQ(chown(product_conf.DUMP_D, 0, 0), 0);

  ASSERT_EQ(create_dump_repository("fresh.example"), 0);
  const struct passwd* pw = getpwnam("hvxadm");
  ASSERT_NE(pw, nullptr);
  for (const std::string& path : {std::string(product_conf.DUMP_D), repo}) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, 0750u) << path;
    EXPECT_EQ(st.st_uid, pw->pw_uid) << path;
    EXPECT_EQ(st.st_gid, pw->pw_gid) << path;
  }
  // An existing repository is set right again.
  ASSERT_EQ(chmod(repo.c_str(), 0755), 0);
  ASSERT_EQ(chown(repo.c_str(), 0, 0), 0);
  ASSERT_EQ(create_dump_repository("fresh.example"), 0);
  struct stat st {};
  ASSERT_EQ(stat(repo.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_EQ(st.st_uid, pw->pw_uid);
}

TEST(Repository, LinkInPlaceOfTheRepositoryIsRefused) {
  // A dangling link too: mkdir meets it as an existing name, and nothing is
  // created where it points.
  fs::create_directories(product_conf.DUMP_D);
  TempDir target;
  const std::string repo = std::string(product_conf.DUMP_D) + "/linked.example";
  fs::remove_all(repo);
  fs::create_directory_symlink(target / "nowhere", repo);
  testing::internal::CaptureStderr();
  EXPECT_EQ(create_dump_repository("linked.example"), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "linked.example': it is a symbolic link (links are not followed)"),
            std::string::npos);
  EXPECT_FALSE(file_exists(target / "nowhere"));
  fs::remove(repo);
}

TEST_F(Mail, BeginMailsRepeatTheSubjectOnlyAFailedDownloadSaysWhy) {
  // The text is the failure's reason: the other download mails and the
  // begun mails do not carry it.
  const struct {
    int kind;
    const char* subject;
    const char* body;
  } cases[] = {
      {backup_begun, "Backup process has begun", "Backup process has begun\n"},
      {restore_begun, "Restore process has begun", "Restore process has begun\n"},
      {download_begun, "Download process has begun", ""},
      {download_completed, "Download process has completed", ""},
      {download_failed, "Download process has failed", "the reason\n"},
  };
  for (const auto& c : cases) {
    SetUp();
    ASSERT_EQ(send(c.kind, "the reason"), 0);
    EXPECT_EQ(sent(), header(c.subject) + c.body);
  }
}

TEST_F(Mail, TextReplacesHeadingAndLog) {
  write_file(repository() + "/backup_restore.log", "log that must not appear\n");
  ASSERT_EQ(send(backup_failed, "Some error occured during backup: resulting dump is removed"), 0);
  EXPECT_EQ(sent(), header("Backup process has failed") +
                        "Some error occured during backup: resulting dump is removed\n");
}

TEST_F(Mail, AttachesTheWholeLog) {
  // Larger than one copy block and than a pipe holds, not a multiple of either.
  std::string log;
  for (int i = 0; log.size() < 300000; ++i) log += "line " + std::to_string(i) + " of the log\n";
  write_file(repository() + "/backup_restore.log", log);
  write_file(repository() + "/backup_restore.err_log", "not this one\n");
  ASSERT_EQ(send(backup_completed, ""), 0);
  EXPECT_EQ(sent(), header("Backup process has completed") + log);

  SetUp();
  write_file(repository() + "/backup_restore.log", "restore log\n");
  ASSERT_EQ(send(restore_failed, nullptr), 0);
  EXPECT_EQ(sent(), header("Restore process has failed") +
                        "An error occured during restore process:\n\nrestore log\n");
}

TEST_F(Mail, EmptyLogFallsBackToErrorLogThenToAnErrorReport) {
  write_file(repository() + "/backup_restore.log", "");
  write_file(repository() + "/backup_restore.err_log", "hvxdump: disk full\n");
  ASSERT_EQ(send(backup_failed, nullptr), 0);
  EXPECT_EQ(sent(), header("Backup process has failed") +
                        "An error occured during backup process:\n\nhvxdump: disk full\n");

  SetUp();
  write_file(repository() + "/backup_restore.log", "");
  ASSERT_EQ(send(restore_completed, nullptr), 0);
  EXPECT_EQ(sent(), header("Restore process has completed") +
                        "Restore process has completed\n"
                        "Error opening log file \"" +
                        repository() +
                        "/backup_restore.err_log\": No such file or directory\n"
                        "Error occured during backup/restore process execution\n");
}

TEST_F(Mail, NoAddressNoMailProgram) {
  EXPECT_EQ(send_notification("", "admin@example.com", "example.com", backup_begun, nullptr), -1);
  EXPECT_EQ(send_notification("owner@example.com", nullptr, "example.com", backup_begun, nullptr),
            -1);
  EXPECT_EQ(send_notification(nullptr, "", "example.com", backup_begun, nullptr), -1);
  EXPECT_TRUE(fs::is_empty(mail_dir()));
}

TEST_F(Mail, AddressesReachTheMailProgramVerbatim) {
  const std::string hostile = "x;touch${IFS}" + mail_dir() + "/pwned;$(id)`id`'\"@example.com";
  ASSERT_EQ(
      send_notification(hostile.c_str(), "admin@example.com", "example.com", backup_begun, nullptr),
      0);
  const std::string mail = sent();
  EXPECT_EQ(mail.substr(0, mail.find('\n')), "X-Sandbox-Args: -f admin@example.com " + hostile);
  EXPECT_FALSE(file_exists(mail_dir() + "/pwned"));
}

TEST_F(Mail, AddressesThatWouldAddHeadersOrOptionsAreRefused) {
  for (const char* bad : {"owner@example.com\nBcc: all@example.com", "owner@example.com\r",
                          "-oQ/tmp/x@example.com"}) {
    EXPECT_EQ(send_notification(bad, "admin@example.com", "example.com", backup_begun, nullptr),
              -1);
    EXPECT_EQ(send_notification("owner@example.com", bad, "example.com", backup_begun, nullptr),
              -1);
  }
  EXPECT_TRUE(fs::is_empty(mail_dir()));
}

TEST_F(Mail, MailProgramThatStopsReadingDoesNotEndTheCaller) {
  // A mail program that exits at once: the writer sees a closed pipe.
  const std::string program = std::string(product_conf.QMAIL_ROOT_D) + "/bin/sendmail";
  const std::string saved = read_file(program);
  write_file(program, "#!/bin/sh\nexit 0\n");
  write_file(repository() + "/backup_restore.log", std::string(1 << 20, 'z'));
  EXPECT_EQ(send(backup_completed, nullptr), 0);
  write_file(program, saved);
}

TEST(Detach, ForegroundEndsAndTheBackgroundGoesOn) {
  TempDir dir;
  const std::string report = dir / "report";
  const std::string out = dir / "stdout";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    const int kept = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::printf("written before detaching");  // still in the stdio buffer
    detach_operation();
    std::printf("after detaching\n");
    std::fflush(stdout);
    char target[256] = {};
    const ssize_t n = readlink("/proc/self/fd/1", target, sizeof target - 1);
    const std::string line = std::string(n > 0 ? target : "?") + " " + fs::current_path().string() +
                             " " + std::to_string(getsid(0) == getpid()) + "\n";
    if (write(kept, line.data(), line.size()) < 0) _exit(3);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int i = 0; i < 200 && read_file(report).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  EXPECT_EQ(read_file(report), "/dev/null " + fs::current_path().string() + " 1\n");
  EXPECT_EQ(read_file(out), "written before detaching");
}

}  // namespace
