// Child process runners against real /bin/sh children.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/child_watch.h"
#include "common/messages.h"
#include "common/process.h"
#include "common/shell_child.h"
#include "common/stop_signals.h"
#include "tests/support/conf_sandbox.h"
#include "tests/support/std_capture.h"
#include "tests/support/test_support.h"

using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

struct Gathered {
  int result = 0;
  std::string out, err;
  bool out_null = true, err_null = true;
};

Gathered run_sh(const std::string& script) {
  char* out = reinterpret_cast<char*>(1);
  char* err = reinterpret_cast<char*>(1);
  std::string s = script;
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), s.data(), nullptr};
  Gathered g;
  g.result = fork_execv_getouterr(&out, &err, "/bin/sh", argv);
  g.out_null = out == nullptr;
  g.err_null = err == nullptr;
  if (out) g.out = out;
  if (err) g.err = err;
  std::free(out);
  std::free(err);
  return g;
}

void make_script(const std::string& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

}  // namespace

TEST(ForkExecvGetouterr, ExitStatusAndBothStreams) {
  Gathered g = run_sh("echo out; echo err >&2; printf 'more'; exit 3");
  EXPECT_EQ(g.result, 3);
  EXPECT_EQ(g.out, "out\nmore");
  EXPECT_EQ(g.err, "err\n");

  g = run_sh("true");
  EXPECT_EQ(g.result, 0);
  EXPECT_TRUE(g.out_null);
  EXPECT_TRUE(g.err_null);

  g = run_sh("echo dying; kill -KILL $$");
  EXPECT_EQ(g.result, -1);
  EXPECT_EQ(g.out, "dying\n");
}

TEST(ForkExecvGetouterr, SeveralMegabytesOnBothStreams) {
  // Interleaved so that both pipes fill up while the other is being written.
  Gathered g = run_sh(
      "i=0; while [ $i -lt 4 ]; do head -c 1500000 /dev/zero | tr '\\0' a; "
      "head -c 1000000 /dev/zero | tr '\\0' b >&2; i=$((i+1)); done");
  EXPECT_EQ(g.result, 0);
  ASSERT_EQ(g.out.size(), 6000000u);
  ASSERT_EQ(g.err.size(), 4000000u);
  EXPECT_EQ(g.out.find_first_not_of('a'), std::string::npos);
  EXPECT_EQ(g.err.find_first_not_of('b'), std::string::npos);
}

TEST(ForkExecvGetout, HundredMegabytesInProportionalMemory) {
  constexpr std::size_t kSize = 100u * 1000 * 1000;
  struct rusage before {};
  getrusage(RUSAGE_SELF, &before);
  char* out = nullptr;
  std::string script =
      "yes 0123456789abcdefghijklmnopqrstuvwxyz | head -c " + std::to_string(kSize);
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), script.data(), nullptr};
  int result = fork_execv_getout(&out, "/bin/sh", argv);
  std::unique_ptr<char, decltype(&std::free)> owner(out, &std::free);
  struct rusage after {};
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(result, 0);
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(std::strlen(out), kSize);
  EXPECT_EQ(std::string(out, 37), "0123456789abcdefghijklmnopqrstuvwxyz\n");
  // Geometric growth keeps the peak within a small multiple of the output.
  const long grown_kib = after.ru_maxrss - before.ru_maxrss;
  EXPECT_LT(grown_kib, 4L * 100 * 1000) << "peak resident growth " << grown_kib << " KiB";
}

TEST(ForkExecvGetouterr, UnexecutablePathGives255AndReason) {
  char* argv[] = {const_cast<char*>("/nonexistent/tool"), nullptr};
  char* out = nullptr;
  char* err = nullptr;
  int result = fork_execv_getouterr(&out, &err, "/nonexistent/tool", argv);
  EXPECT_EQ(result, 255);
  EXPECT_EQ(out, nullptr);
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err, "fork_execv: execv(\"/nonexistent/tool\") failed: No such file or directory\n");
  std::free(err);
}

TEST(ForkExecvGetouterr, CallersDescriptorsAreNotInherited) {
  // A descriptor without close-on-exec, as a lock file would be.
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_GE(dup2(fd, 57), 0);
  close(fd);
  ASSERT_EQ(fcntl(57, F_GETFD) & FD_CLOEXEC, 0);
  Gathered g = run_sh("ls /proc/$$/fd");
  close(57);
  EXPECT_EQ(g.result, 0);
  EXPECT_EQ(g.out, "0\n1\n2\n");
}

TEST(ForkExecvGetouterr, GrandchildHoldingThePipesDoesNotHangTheCall) {
  const auto start = std::chrono::steady_clock::now();
  Gathered g = run_sh("sleep 60 & echo $!; echo bye >&2");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(g.result, 0);
  EXPECT_EQ(g.err, "bye\n");
  pid_t grandchild = static_cast<pid_t>(std::atoi(g.out.c_str()));
  ASSERT_GT(grandchild, 1);
  kill(grandchild, SIGKILL);
  EXPECT_LT(took, std::chrono::seconds(30));
}

TEST(ForkExecv, DescriptorConvention) {
  TempDir dir;
  const std::string file = dir / "out";
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  // Standard input -1 reads /dev/null, so cat ends at once.
  pid_t pid = fork_execl(-1, fd, 2, "/bin/sh", "sh", "-c", "cat; echo done", nullptr);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(fd);
  EXPECT_EQ(read_file(file), "done\n");
}

TEST(ForkExecv, SameDescriptorForOutputAndErrorFails) {
  TempDir dir;
  const std::string file = dir / "out";
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  StdCapture capture;
  pid_t pid = fork_execl(0, fd, fd, "/bin/echo", "echo", "never", nullptr);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(fd);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255);
  EXPECT_EQ(capture.err(), "fork_execv: dup() failed: Bad file descriptor\n");
  EXPECT_EQ(read_file(file), "");
}

TEST(ForkExecl, ListFormsGatherLikeVectorForms) {
  char* out = nullptr;
  char* err = nullptr;
  EXPECT_EQ(fork_execl_getouterr(&out, &err, "/bin/sh", "sh", "-c", "echo $0 $1 >&2; exit 4",
                                 "zero", "one", nullptr),
            4);
  EXPECT_EQ(out, nullptr);
  EXPECT_STREQ(err, "zero one\n");
  std::free(err);

  EXPECT_EQ(fork_execl_getout(&out, "/bin/sh", "sh", "-c", "echo $#", "zero", "b", "c", nullptr),
            0);
  EXPECT_STREQ(out, "2\n");  // $0 is "zero"
  std::free(out);
}

class AdminUtility : public ::testing::Test {
 protected:
  void SetUp() override {
    install_conf_text(dir_.path(), full_conf_text(dir_.path()));
    load_product_conf();
    bin_ = dir_.path() + "/PRODUCT_ROOT_D/admin/bin";
    testing_support::run_command({"mkdir", "-p", bin_});
    program_name = "/usr/sbin/tester";
  }
  void TearDown() override {
    program_name = nullptr;
    reset_product_conf_for_tests();
    unsetenv("HVX_ROOT");
  }
  TempDir dir_;
  std::string bin_;
};

TEST_F(AdminUtility, NameWithSlashIsRefused) {
  StdCapture capture;
  errno = 0;
  EXPECT_EQ(exec_admin_utility("../bin/sitectl", "--turn-off", nullptr), -1);
  EXPECT_EQ(capture.err(),
            "tester: Utility name '../bin/sitectl' is invalid. Use only utility name without "
            "path.\n");
}

TEST_F(AdminUtility, FailureReports) {
  make_script(bin_ + "/fails", "echo 'half of 100% done'; echo \"bad $1\" >&2; exit 3\n");
  make_script(bin_ + "/silent", "exit 1\n");
  make_script(bin_ + "/fine", "echo fine; echo warn >&2; exit 0\n");
  {
    StdCapture capture;
    EXPECT_EQ(exec_admin_utility("fails", "--domain-name", nullptr), 3);
    EXPECT_EQ(capture.err(), "half of 100% done\ntester: " + bin_ +
                                 "/fails execution failed:\nbad --domain-name\n");
    EXPECT_EQ(capture.out(), "tester: " + bin_ + "/fails execution failed:\nbad --domain-name\n");
  }
  {
    StdCapture capture;
    EXPECT_EQ(exec_admin_utility("silent", nullptr), 1);
    EXPECT_EQ(capture.err(), "tester: " + bin_ + "/silent execution failed (no output)\n");
  }
  {
    StdCapture capture;
    EXPECT_EQ(exec_admin_utility("fine", nullptr), 0);
    EXPECT_EQ(capture.err(), "");
  }
  {
    StdCapture capture;
    EXPECT_EQ(exec_admin_utility("missing", nullptr), 255);
    EXPECT_EQ(capture.err(), "tester: " + bin_ +
                                 "/missing execution failed:\nfork_execv: execv(\"" + bin_ +
                                 "/missing\") failed: No such file or directory\n");
  }
}

TEST_F(AdminUtility, AtMostNinetyNineArguments) {
  make_script(bin_ + "/count", "echo \"$# $1 ${99}\" > \"$(dirname \"$0\")/count.out\"\n");
  std::vector<std::string> args;
  for (int i = 1; i <= 105; ++i) args.push_back("a" + std::to_string(i));
  const char* a[105];
  for (int i = 0; i < 105; ++i) a[i] = args[static_cast<std::size_t>(i)].c_str();
  // clang-format off
  int result = exec_admin_utility("count",
      a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13],
      a[14], a[15], a[16], a[17], a[18], a[19], a[20], a[21], a[22], a[23], a[24], a[25], a[26],
      a[27], a[28], a[29], a[30], a[31], a[32], a[33], a[34], a[35], a[36], a[37], a[38], a[39],
      a[40], a[41], a[42], a[43], a[44], a[45], a[46], a[47], a[48], a[49], a[50], a[51], a[52],
      a[53], a[54], a[55], a[56], a[57], a[58], a[59], a[60], a[61], a[62], a[63], a[64], a[65],
      a[66], a[67], a[68], a[69], a[70], a[71], a[72], a[73], a[74], a[75], a[76], a[77], a[78],
      a[79], a[80], a[81], a[82], a[83], a[84], a[85], a[86], a[87], a[88], a[89], a[90], a[91],
      a[92], a[93], a[94], a[95], a[96], a[97], a[98], a[99], a[100], a[101], a[102], a[103],
      a[104], nullptr);
  // clang-format on
  EXPECT_EQ(result, 0);
  EXPECT_EQ(read_file(bin_ + "/count.out"), "99 a1 a99\n");
}

TEST_F(AdminUtility, VectorFormsAndQuietFlag) {
  make_script(bin_ + "/args", "echo \"$*\" >&2; exit 5\n");
  char* argv[] = {const_cast<char*>("ignored"), const_cast<char*>("x"), const_cast<char*>("y"),
                  nullptr};
  {
    StdCapture capture;
    EXPECT_EQ(exec_admin_utility_v("args", argv), 5);
    EXPECT_EQ(capture.err(), "tester: " + bin_ + "/args execution failed:\nx y\n");
  }
  const std::string path = bin_ + "/args";
  {
    StdCapture capture;
    EXPECT_EQ(exec_utility_vq(path.c_str(), argv, 1), 5);
    EXPECT_EQ(capture.err(), "");
  }
  {
    StdCapture capture;
    EXPECT_EQ(exec_utility(path.c_str(), "p", "q", nullptr), 5);
    EXPECT_EQ(exec_utility_l(path.c_str(), "zero", "r", nullptr), 5);
    EXPECT_EQ(capture.err(), "tester: " + path + " execution failed:\np q\n" + "tester: " + path +
                                 " execution failed:\nr\n");
  }
}

// A utility that never ends: HVX_UTILITY_TIMEOUT ends the wait, and its whole
// process group goes (SIGTERM is ignored here, so SIGKILL after the grace).
TEST_F(AdminUtility, TimeLimitEndsAHungUtilityAndItsGroup) {
  const std::string gc = dir_.path() + "/grandchild";
  make_script(bin_ + "/hangs", "trap '' TERM INT HUP\nsleep 100 &\necho $! > '" + gc +
                                   "'\nwhile :; do sleep 1; done\n");
  setenv("HVX_UTILITY_TIMEOUT", "1", 1);
  const auto start = std::chrono::steady_clock::now();
  StdCapture capture;
  EXPECT_EQ(exec_admin_utility("hangs", "--turn-off", nullptr), -1);
  const auto took = std::chrono::steady_clock::now() - start;
  unsetenv("HVX_UTILITY_TIMEOUT");
  EXPECT_GE(took, std::chrono::milliseconds(1000));
  EXPECT_LT(took, std::chrono::milliseconds(4000));
  EXPECT_NE(
      capture.err().find("tester: " + bin_ +
                         "/hangs did not end within 1 s (HVX_UTILITY_TIMEOUT) and was stopped"),
      std::string::npos)
      << capture.err();
  EXPECT_NE(capture.err().find("/hangs execution failed"), std::string::npos);
  const pid_t grandchild = static_cast<pid_t>(std::stol(read_file(gc)));
  // Gone, or a zombie its new parent has not reaped yet.
  const auto ended = [](pid_t pid) {
    if (kill(pid, 0) != 0) return true;
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto paren = stat.rfind(')');
    return paren != std::string::npos && stat.compare(paren, 4, ") Z ") == 0;
  };
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = ended(grandchild);
    if (!gone) usleep(10000);
  }
  EXPECT_TRUE(gone) << "grandchild " << grandchild << " survived its group";

  for (const char* fallback : {"0", "-5", "10x", "86401"}) {
    setenv("HVX_UTILITY_TIMEOUT", fallback, 1);
    EXPECT_EQ(utility_timeout(), std::chrono::seconds(300)) << fallback;
  }
  setenv("HVX_UTILITY_TIMEOUT", "7", 1);
  EXPECT_EQ(utility_timeout(), std::chrono::seconds(7));
  unsetenv("HVX_UTILITY_TIMEOUT");
}

// A termination request while a utility runs stops it at once (the utility
// sends the request itself, so nothing depends on timing); utilities started
// afterwards, the steps of the orderly end, run to their own end. In a child
// process: a noted request cannot be taken back.
[[noreturn]] void stop_while_a_utility_runs() {
  install_stop_handlers();
  setenv("HVX_UTILITY_TIMEOUT", "60", 1);
  const auto start = std::chrono::steady_clock::now();
  const int stopped = exec_admin_utility("asks-to-stop", nullptr);
  const bool quick = std::chrono::steady_clock::now() - start < std::chrono::seconds(4);
  const char* const args[] = {"--turn-on"};
  const int orderly = run_admin_utility("fine", args, UtilityStop::at_limit_only);
  const int after = exec_admin_utility("fine", nullptr);
  std::exit(stopped == -1 && quick && orderly == 0 && after == 0 ? 0 : 1);
}

TEST_F(AdminUtility, StopRequestEndsTheRunningUtilityNotTheOrderlyEnd) {
  make_script(bin_ + "/asks-to-stop",
              "trap '' TERM\nkill -TERM $PPID\nwhile :; do sleep 1; done\n");
  make_script(bin_ + "/fine", "sleep 0.2; exit 0\n");
  EXPECT_EXIT(stop_while_a_utility_runs(), ::testing::ExitedWithCode(0),
              "asks-to-stop stopped by a termination request");
}

// A request noted before a child starts reaches that child's group even in
// the moment after the fork when the child still has this process's
// handler: the command never runs. Repeated, since that moment is short.
[[noreturn]] void start_after_a_request(const std::string& marker) {
  install_stop_handlers();
  ::raise(SIGINT);
  int survived = 0;
  for (int i = 0; i < 30; ++i) {
    const pid_t pid = start_shell_child("touch '" + marker + "'", -1, -1);
    const int status = wait_shell_child(pid);
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGTERM || ::access(marker.c_str(), F_OK) == 0)
      ++survived;
  }
  std::exit(survived == 0 ? 0 : 1);
}

TEST(StopRequest, ChildStartedAfterARequestNeverRunsItsCommand) {
  TempDir dir;
  EXPECT_EXIT(start_after_a_request(dir.path() + "/ran"), ::testing::ExitedWithCode(0), "");
}

// A wait of the orderly end (the outcome mail): a request does not stop the
// child, it only shortens what is left of the wait. A child that ends in
// that time ends by itself; a hung one is given up after the shorter limit.
[[noreturn]] void orderly_wait_after_a_request(const char* command) {
  install_stop_handlers();
  ChildPlan plan;
  plan.own_group = true;
  plan.default_signals = true;
  plan.stopped_by_request = false;
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command),
                  nullptr};
  const auto start = ChildWatch::Clock::now();
  const pid_t pid = start_child(plan, "/bin/sh", argv);
  ChildWatch watch(pid);
  watch.bound(start + std::chrono::seconds(60), false, true);
  watch.limit_after_request(std::chrono::milliseconds(500));
  while (!watch.wait(nullptr, 0)) {
  }
  const int result = watch.reap();
  const auto took = ChildWatch::Clock::now() - start;
  if (took > std::chrono::seconds(4)) std::exit(3);
  if (watch.ending() == ChildEnding::by_itself && result == 7) std::exit(0);
  if (watch.ending() == ChildEnding::timed_out) std::exit(2);
  std::exit(1);
}

TEST(StopRequest, OrderlyWaitIsShortenedNotStopped) {
  EXPECT_EXIT(orderly_wait_after_a_request("trap '' TERM; kill -INT $PPID; sleep 0.2; exit 7"),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      orderly_wait_after_a_request("trap '' TERM; kill -HUP $PPID; while :; do sleep 1; done"),
      ::testing::ExitedWithCode(2), "");
}
