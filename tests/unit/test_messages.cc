// Message writer and formatter: prefix, both streams, error suffix, exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "tests/support/std_capture.h"
#include "tests/support/test_support.h"

using testing_support::read_file;
using testing_support::TempDir;

namespace {

struct Shown {
  std::string err, out;
};

template <typename F>
Shown shown(const char* name, F&& report) {
  program_name = name;
  StdCapture capture;
  report();
  Shown s{capture.err(), capture.out()};
  program_name = nullptr;
  return s;
}

}  // namespace

TEST(WriteMessage, PrefixFromLastComponentOnBothStreams) {
  Shown s = shown("/usr/local/hvx/admin/sbin/sitevault",
                  [] { EXPECT_EQ(write_message("Unknown command\n", 0), 0); });
  EXPECT_EQ(s.err, "sitevault: Unknown command\n");
  EXPECT_EQ(s.out, "sitevault: Unknown command\n");

  // A newline is added once, and only when missing; an empty text is a
  // single newline.
  s = shown("chainrun", [] {
    write_message("no newline", 0);
    write_message("", 0);
  });
  EXPECT_EQ(s.err, "chainrun: no newline\nchainrun: \n");

  s = shown(nullptr, [] { write_message("bare", 0); });
  EXPECT_EQ(s.err, "bare\n");
  EXPECT_EQ(s.out, "bare\n");

  s = shown("relative/dir/tool/", [] { write_message("x", 0); });
  EXPECT_EQ(s.err, "tool: x\n");
}

TEST(PrintError, SystemErrorSuffixFollowsErrnoOnEntry) {
  Shown s = shown("sitevault", [] {
    errno = ENOENT;
    report_error("Unable to define domain status.\n");
    EXPECT_EQ(errno, ENOENT);
  });
  const std::string expected = std::string("sitevault: Unable to define domain status.\n\n") +
                               "System error 2: " + std::strerror(ENOENT) + "\n";
  EXPECT_EQ(s.err, expected);
  EXPECT_EQ(s.out, expected);

  s = shown("sitevault", [] {
    errno = 0;
    report_error("Domain %s has %d dumps, %s", "example.com", 3, "100% kept");
    EXPECT_EQ(errno, 0);
  });
  EXPECT_EQ(s.err, "sitevault: Domain example.com has 3 dumps, 100% kept\n");
}

TEST(PrintError, LongMessagesAreNotCut) {
  const std::string long_text(5000, 'm');
  Shown s = shown("p", [&] {
    errno = EACCES;
    report_error("%s|end", long_text.c_str());
  });
  EXPECT_EQ(s.err, "p: " + long_text + "|end\nSystem error 13: " + std::strerror(EACCES) + "\n");
}

TEST(PrintError, ExitWithErrorEndsTheProcessAfterBothStreams) {
  TempDir dir;
  pid_t pid = fork();
  if (pid == 0) {
    int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    // Unflushed output of the caller goes out with the normal exit.
    std::fputs("earlier output\n", stdout);
    program_name = "./sitevault";
    errno = 0;
    exit_with_error(4, "fatal: %s", "stop here");
    std::fputs("not reached\n", stdout);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_EQ(read_file(dir / "err"), "sitevault: fatal: stop here\n");
  EXPECT_EQ(read_file(dir / "out"), "earlier output\nsitevault: fatal: stop here\n");
}

namespace {
std::string observed;  // the file an exit handler writes
extern "C" void note_ending() {
  FILE* out = std::fopen(observed.c_str(), "a");
  if (out == nullptr) return;
  std::fprintf(out, "|%d", ending_status());
  std::fclose(out);
}
void note_message(const char* text) {
  FILE* out = std::fopen(observed.c_str(), "a");
  if (out == nullptr) return;
  std::fputs(text, out);
  std::fclose(out);
}
}  // namespace

// An exit handler learns the status of every ending verb; the observer is
// shown each message as it is reported.
TEST(PrintError, ExitHandlersSeeTheEndingStatusAndTheMessages) {
  TempDir dir;
  int run = 0;
  const auto ended = [&](int how) {
    observed = dir / std::to_string(++run);
    if (fork() == 0) {
      const int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      set_message_observer(note_message);
      std::atexit(note_ending);
      errno = 0;
      if (how == 0) exit_with_error(4, "fatal: %s", "stop here");
      if (how == 1) write_message("missing key", 3);
      util_exit(how);
    }
    wait(nullptr);
    return read_file(observed);
  };
  EXPECT_EQ(ended(0), "fatal: stop here|4");
  EXPECT_EQ(ended(1), "missing key|3");
  EXPECT_EQ(ended(7), "|7");
  EXPECT_EQ(ended(2), "|2");
}
