// The FTP server of the test run (or a private one) as the FTP code sees it:
// server text, credentials, and each test's own directory in its home.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "test_support.h"

namespace ftp_test {

struct FtpAccount {
  std::string server;  // "127.0.0.1:PORT"
  std::string login;
  std::string password;
  std::string home;  // the account's root on the local disk
};

inline FtpAccount shared_account() {
  using testing_support::test_env;
  return {"127.0.0.1:" + test_env("HVX_TEST_FTP_PORT"), test_env("HVX_TEST_FTP_LOGIN"),
          test_env("HVX_TEST_FTP_PASSWORD"), test_env("HVX_TEST_FTP_HOME")};
}

// A directory of its own below the account's root, named after the test.
inline std::string make_test_dir(const FtpAccount& account, const std::string& hint = {}) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name =
      std::string(info ? info->name() : "test") + hint + "." + std::to_string(getpid());
  std::filesystem::create_directories(account.home + "/" + name);
  return name;
}

// The names in a directory of the account's root.
inline std::set<std::string> names_in(const FtpAccount& account, const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(account.home + "/" + dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A private server started by a test (to stop it halfway or to use an
// unusual login); stopped when the object goes.
class PrivateFtpServer {
 public:
  PrivateFtpServer(const std::string& state_dir, const std::string& login,
                   const std::string& password)
      : state_(state_dir) {
    auto r = testing_support::run_command({testing_support::source_dir() + "/testbed/ftp-server",
                                           "start", state_dir, "0", login, password});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string port = r.out;
    port.erase(std::remove(port.begin(), port.end(), '\n'), port.end());
    account_ = {"127.0.0.1:" + port, login, password, state_dir + "/home"};
  }
  ~PrivateFtpServer() { stop(); }
  PrivateFtpServer(const PrivateFtpServer&) = delete;
  PrivateFtpServer& operator=(const PrivateFtpServer&) = delete;

  void stop() {
    if (stopped_) return;
    testing_support::run_command(
        {testing_support::source_dir() + "/testbed/ftp-server", "stop", state_});
    stopped_ = true;
  }
  const FtpAccount& account() const { return account_; }

 private:
  std::string state_;
  FtpAccount account_;
  bool stopped_ = false;
};

}  // namespace ftp_test
