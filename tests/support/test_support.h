// Helpers shared by the test programs: temporary directories kept on
// failure, running commands, reading files, sandboxes.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory under $TMPDIR (or /tmp); removed when the test passed,
// kept (and named on standard error) when it failed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct CommandResult {
  int status = -1;  // exit status, or 128+signal
  std::string out;
  std::string err;
};

// Runs argv (no shell) with extra environment entries, stdin from input.
CommandResult run_command(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env = {},
                          const std::string& input = {});
// Runs a shell command line through /bin/sh -c.
CommandResult run_shell(const std::string& command_line,
                        const std::map<std::string, std::string>& env = {});

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

std::string source_dir();  // $HVX_SOURCE_DIR
std::string build_dir();   // $HVX_BUILD_DIR
// Values written by the servers fixture ($HVX_TEST_ENV/env), e.g.
// HVX_TEST_DB_SOCKET, HVX_TEST_DB_PASSWORD, HVX_TEST_FTP_PORT.
std::string test_env(const std::string& key);

// Brings a sandbox up in dir on the shared test database server and returns
// the variables it exports (HVX_ROOT, HVX_DB_NAME, ...). The caller decides
// whether to setenv them in the test process.
std::map<std::string, std::string> sandbox_up(const std::string& dir);
// setenv of every pair.
void apply_env(const std::map<std::string, std::string>& env);

// One sandbox for a whole test program: brought up before the first test,
// its variables applied to the process and the product configuration loaded
// (program_name "sitevault"). A process that already runs inside a sandbox
// (the variable named by inherited_marker is set, e.g. in a helper process
// started by a test) only loads the configuration.
class SandboxEnvironment : public ::testing::Environment {
 public:
  explicit SandboxEnvironment(const char* inherited_marker = nullptr)
      : inherited_marker_(inherited_marker) {}
  void SetUp() override;
  void TearDown() override;

 private:
  const char* inherited_marker_;
  std::unique_ptr<TempDir> dir_;
};

}  // namespace testing_support
