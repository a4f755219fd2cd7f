// The other runners: caller-wired, merged capture, silent, shell, background.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "common/messages.h"
#include "common/process_runners.h"
#include "tests/support/std_capture.h"
#include "tests/support/test_support.h"

using testing_support::file_exists;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

struct ProgramName {
  ProgramName() { program_name = "/opt/hvx/bin/runner"; }
  ~ProgramName() { program_name = nullptr; }
};

std::string take(char* text) {
  std::string s = text ? text : "";
  std::free(text);
  return s;
}

}  // namespace

TEST(UtilExec, RefusesStandardDescriptors) {
  ProgramName name;
  char* argv[] = {const_cast<char*>("true"), nullptr};
  StdCapture capture;
  errno = 0;
  EXPECT_EQ(util_exec(0, 5, "/bin/true", argv), -1);
  EXPECT_EQ(util_exec(5, 2, "/bin/true", argv), -1);
  EXPECT_EQ(capture.err(),
            "runner: values 0,1,2 not allowed for variables fd_in & fd_out\n"
            "runner: values 0,1,2 not allowed for variables fd_in & fd_out\n");
}

TEST(UtilExec, WiresDescriptorsAndRelaysStandardError) {
  ProgramName name;
  TempDir dir;
  write_file(dir / "in", "from the input file\n");
  int in = open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
  int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GT(in, 2);
  ASSERT_GT(out, 2);
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                  const_cast<char*>("cat; echo 'disk 100% full' >&2; exit 6"), nullptr};
  StdCapture capture;
  EXPECT_EQ(util_exec(in, out, "/bin/sh", argv), 6);
  close(in);
  close(out);
  EXPECT_EQ(read_file(dir / "out"), "from the input file\n");
  EXPECT_EQ(capture.err(), "runner: disk 100% full\n");
  EXPECT_EQ(capture.out(), "runner: disk 100% full\n");
}

TEST(UtilExec, SignalsAndUnexecutablePrograms) {
  ProgramName name;
  int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int null_out = open("/dev/null", O_WRONLY | O_CLOEXEC);
  char* killer[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                    const_cast<char*>("kill -TERM $$"), nullptr};
  char* missing[] = {const_cast<char*>("nothing"), nullptr};
  StdCapture capture;
  EXPECT_EQ(util_exec(null_in, null_out, "/bin/sh", killer), -1);
  EXPECT_EQ(util_exec(null_in, null_out, "/no/such/program", missing), 255);
  close(null_in);
  close(null_out);
  const std::string err = capture.err();
  EXPECT_NE(err.find("killed by signal 15\n"), std::string::npos) << err;
  EXPECT_NE(err.find("runner: Error occured during execv():\nNo such file or directory.\n"),
            std::string::npos)
      << err;
}

TEST(ExecCapture, MergedOutputAndFailureReports) {
  ProgramName name;
  char* out = nullptr;
  EXPECT_EQ(exec_capture(&out, "/bin/sh", "-c", "echo one; echo two >&2; echo three", nullptr), 0);
  EXPECT_EQ(take(out), "one\ntwo\nthree\n");

  // Empty output still gives a text.
  EXPECT_EQ(exec_capture(&out, "/bin/true", nullptr), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(take(out), "");

  {
    StdCapture capture;
    EXPECT_EQ(exec_capture(&out, "/bin/sh", "-c", "echo line; exit 2", nullptr), 2);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(capture.err(), "runner: utility /bin/sh failed (result=2):\nline\n");
  }
  {
    StdCapture capture;
    EXPECT_EQ(exec_capture(&out, "/no/such/tool", "x", nullptr), 255);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(capture.err(),
              "runner: error:\nCannot exec /no/such/tool:\nNo such file or directory\n");
  }
  {
    StdCapture capture;
    EXPECT_EQ(exec_capture(&out, "/bin/sh", "-c", "echo bye; kill -KILL $$", nullptr), -1);
    EXPECT_EQ(capture.err(), "runner: utility /bin/sh failed (result=-1):\nbye\n");
  }
}

TEST(ExecCapture, LargeOutputAndGrandchildHoldingThePipe) {
  char* out = nullptr;
  EXPECT_EQ(exec_capture(&out, "/bin/sh", "-c", "head -c 3000000 /dev/zero | tr '\\0' z", nullptr),
            0);
  const std::string text = take(out);
  EXPECT_EQ(text.size(), 3000000u);
  EXPECT_EQ(text.find_first_not_of('z'), std::string::npos);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(exec_capture(&out, "/bin/sh", "-c", "sleep 60 & echo $!", nullptr), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  pid_t grandchild = static_cast<pid_t>(std::atoi(take(out).c_str()));
  ASSERT_GT(grandchild, 1);
  kill(grandchild, SIGKILL);
  EXPECT_LT(took, std::chrono::seconds(30));
}

TEST(ExecSilent, ResultOnlyTellsSignals) {
  TempDir dir;
  const std::string marker = dir / "ran";
  StdCapture capture;
  EXPECT_EQ(
      exec_silent("/bin/sh", "-c",
                  ("echo noise; echo more >&2; touch " + marker + "; exit 1").c_str(), nullptr),
      0);
  EXPECT_EQ(exec_silent("/no/such/program", nullptr), 0);
  EXPECT_EQ(exec_silent("/bin/sh", "-c", "kill -KILL $$", nullptr), 1);
  EXPECT_EQ(capture.err(), "");
  EXPECT_EQ(capture.out(), "");
  EXPECT_TRUE(file_exists(marker));
}

TEST(ExecSilent, WaitsForItsOwnChildOnly) {
  // Another child of the caller, ending first, must stay for its owner.
  pid_t other = fork();
  if (other == 0) _exit(7);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(exec_silent("/bin/sh", "-c", "sleep 0.2; kill -KILL $$", nullptr), 1);
  int status = 0;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST(PopenExec, StatusAndOutput) {
  char* out = nullptr;
  EXPECT_EQ(popen_exec(&out, "echo partial; exit 2"), 2);
  EXPECT_EQ(take(out), "partial\n");

  EXPECT_EQ(popen_exec(&out, "yes 0123456789 | head -c 2000000"), 0);
  const std::string big = take(out);
  EXPECT_EQ(big.size(), 2000000u);
  EXPECT_EQ(big.substr(0, 11), "0123456789\n");

  // A shell killed by a signal is a failure, not status 0.
  EXPECT_EQ(popen_exec(&out, "echo before; kill -KILL $$"), -1);
  EXPECT_EQ(take(out), "before\n");
}

TEST(PopenExec, ReportedFailures) {
  ProgramName name;
  StdCapture capture;
  EXPECT_EQ(popen_exec_report("exit 3"), 3);
  EXPECT_EQ(popen_exec_report("echo why; exit 4"), 4);
  EXPECT_EQ(popen_exec_report("echo fine"), 0);
  EXPECT_EQ(capture.err(),
            "runner: popen_exec: command failed code: 3 , error: none\n"
            "runner: popen_exec: command failed code: 4 , why\n\n");
  EXPECT_EQ(capture.out(),
            "runner: popen_exec: command failed code: 3 , error: none\n"
            "runner: popen_exec: command failed code: 4 , why\n\n");
}

TEST(CloseNonstdFds, ClosesFromThreeUp) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open("/dev/null", O_RDONLY);
    errno = EBADF;
    close_nonstd_fds();
    bool ok = fd > 2 && fcntl(fd, F_GETFD) == -1 && fcntl(2, F_GETFD) != -1;
    errno = 0;
    close_nonstd_fds();
    _exit(ok && errno == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Daemonize, CallerGetsOneBackgroundProcessGetsZero) {
  TempDir dir;
  const std::string report = dir / "background";
  const pid_t caller = getpid();
  int result = daemonize();
  if (result == 0) {
    // The background process: standard output is where standard error goes,
    // standard input is /dev/null, and it is not the caller.
    struct stat out_st {
    }, err_st{}, in_st{}, null_st{};
    fstat(1, &out_st);
    fstat(2, &err_st);
    fstat(0, &in_st);
    stat("/dev/null", &null_st);
    const bool same = out_st.st_dev == err_st.st_dev && out_st.st_ino == err_st.st_ino;
    const bool null_in = in_st.st_rdev == null_st.st_rdev;
    const std::string text = std::string(same ? "same" : "different") + " " +
                             (null_in ? "null" : "other") + " " +
                             (getpid() != caller && getppid() != caller ? "detached" : "child");
    write_file(report + ".tmp", text);
    rename((report + ".tmp").c_str(), report.c_str());
    _exit(0);
  }
  EXPECT_EQ(result, 1);
  for (int i = 0; i < 500 && !file_exists(report); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(read_file(report), "same null detached");
}
