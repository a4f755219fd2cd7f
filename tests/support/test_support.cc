#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "common/messages.h"
#include "common/product_conf.h"

namespace testing_support {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/hvxtest.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info != nullptr && info->result() != nullptr && info->result()->Failed()) {
    std::cerr << "kept test directory " << path_ << "\n";
    return;
  }
  std::error_code ec;
  fs::remove_all(path_, ec);
}

namespace {

std::string slurp_fd(int fd) {
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

}  // namespace

CommandResult run_command(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env, const std::string& input) {
  CommandResult result;
  char out_name[] = "/tmp/hvxout.XXXXXX";
  char err_name[] = "/tmp/hvxerr.XXXXXX";
  char in_name[] = "/tmp/hvxin.XXXXXX";
  int out_fd = mkstemp(out_name);
  int err_fd = mkstemp(err_name);
  int in_fd = mkstemp(in_name);
  unlink(out_name);
  unlink(err_name);
  unlink(in_name);
  if (!input.empty() && write(in_fd, input.data(), input.size()) < 0) return result;
  lseek(in_fd, 0, SEEK_SET);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  lseek(out_fd, 0, SEEK_SET);
  lseek(err_fd, 0, SEEK_SET);
  result.out = slurp_fd(out_fd);
  result.err = slurp_fd(err_fd);
  close(out_fd);
  close(err_fd);
  close(in_fd);
  return result;
}

CommandResult run_shell(const std::string& command_line,
                        const std::map<std::string, std::string>& env) {
  return run_command({"/bin/sh", "-c", command_line}, env);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::string source_dir() {
  const char* v = std::getenv("HVX_SOURCE_DIR");
  return v ? v : ".";
}

std::string build_dir() {
  const char* v = std::getenv("HVX_BUILD_DIR");
  return v ? v : ".";
}

std::string test_env(const std::string& key) {
  const char* dir = std::getenv("HVX_TEST_ENV");
  if (dir == nullptr) return {};
  std::ifstream in(std::string(dir) + "/env");
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos && line.compare(0, eq, key) == 0 && eq == key.size())
      return line.substr(eq + 1);
  }
  return {};
}

std::map<std::string, std::string> sandbox_up(const std::string& dir) {
  std::vector<std::string> argv = {source_dir() + "/testbed/sandbox", "up", dir};
  std::string sock = test_env("HVX_TEST_DB_SOCKET");
  if (!sock.empty()) {
    argv.insert(argv.end(),
                {"--db-socket", sock, "--db-password", test_env("HVX_TEST_DB_PASSWORD")});
  }
  CommandResult r = run_command(argv);
  if (r.status != 0) throw std::runtime_error("sandbox up failed: " + r.err);
  std::map<std::string, std::string> env;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("export ", 0) != 0) continue;
    line = line.substr(7);
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    env[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return env;
}

void apply_env(const std::map<std::string, std::string>& env) {
  for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
}

void SandboxEnvironment::SetUp() {
  if (inherited_marker_ == nullptr || std::getenv(inherited_marker_) == nullptr) {
    dir_ = std::make_unique<TempDir>();
    apply_env(sandbox_up(dir_->path()));
  }
  program_name = "sitevault";
  reset_product_conf_for_tests();
  load_product_conf();
}

void SandboxEnvironment::TearDown() { dir_.reset(); }

}  // namespace testing_support
