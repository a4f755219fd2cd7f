// The FTP server of the test run (or a private one) as the FTP code sees it:
// server text, credentials, and each test's own directory in its home.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "tests/support/test_support.h"

namespace ftp_test {

struct FtpAccount {
  std::string server;  // "127.0.0.1:PORT"
  std::string login;
  std::string password;
  std::string home;  // the account's root on the local disk
  int uid = -1;      // the uid the server writes as, when it is not this process's
};

inline FtpAccount shared_account() {
  using testing_support::test_env;
  return {"127.0.0.1:" + test_env("HVX_TEST_FTP_PORT"), test_env("HVX_TEST_FTP_LOGIN"),
          test_env("HVX_TEST_FTP_PASSWORD"), test_env("HVX_TEST_FTP_HOME")};
}

// The shared servers of the other transports ("ftpes", "ftps", "sftp"); the
// environment their checks need (CA file, known-hosts file) is set in this
// process.
inline FtpAccount secure_account(const std::string& scheme) {
  using testing_support::test_env;
  const std::string password = test_env("HVX_TEST_SECURE_PASSWORD");
  unsetenv("HVX_FTP_CA_FILE");
  unsetenv("HVX_SSH_KNOWN_HOSTS");
  if (scheme == "sftp") {
    setenv("HVX_SSH_KNOWN_HOSTS", (test_env("HVX_TEST_SFTP_STATE") + "/known_hosts").c_str(), 1);
    return {"sftp://127.0.0.1:" + test_env("HVX_TEST_SFTP_PORT"), "hvxsftp", password,
            test_env("HVX_TEST_SFTP_HOME"), std::stoi(test_env("HVX_TEST_REMOTE_UID"))};
  }
  const std::string upper = scheme == "ftps" ? "FTPS" : "FTPES";
  setenv("HVX_FTP_CA_FILE", test_env("HVX_TEST_" + upper + "_CA").c_str(), 1);
  return {scheme + "://127.0.0.1:" + test_env("HVX_TEST_" + upper + "_PORT"), "hvxftps", password,
          test_env("HVX_TEST_" + upper + "_HOME"), std::stoi(test_env("HVX_TEST_REMOTE_UID"))};
}

// A directory of its own below the account's root, named after the test
// (and handed to the account's uid).
inline std::string make_test_dir(const FtpAccount& account, const std::string& hint = {}) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name =
      std::string(info ? info->name() : "test") + hint + "." + std::to_string(getpid());
  for (char& c : name) {
    if (c == '/') c = '_';  // parameterised tests are named "Test/0"
  }
  std::filesystem::create_directories(account.home + "/" + name);
  if (account.uid >= 0) {
    EXPECT_EQ(::chown((account.home + "/" + name).c_str(), account.uid, account.uid), 0);
  }
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

  // RNTO onto an existing name answered 550 from now on (or no longer).
  void refuse_replace(bool refuse) {
    const std::string flag = state_ + "/refuse-replace";
    if (refuse) {
      testing_support::write_file(flag, "");
    } else {
      std::filesystem::remove(flag);
    }
  }
  // After the nth change (STOR, RNTO, DELE) from now, the signal (e.g.
  // "KILL") goes to the pid written in pid_file.
  void fault_after(int nth, const std::string& signal, const std::string& pid_file) {
    std::filesystem::remove(state_ + "/fault.fired");
    testing_support::write_file(state_ + "/fault",
                                std::to_string(nth) + " " + signal + " " + pid_file + "\n");
  }
  // The nth command line that is what (or what and an argument that is no
  // option; "GREETING" for a greeting) from now is never answered: mode
  // "session" silences that connection, "server" stops the whole server.
  void freeze_at(const std::string& what, int nth, const std::string& mode) {
    std::filesystem::remove(state_ + "/freeze.fired");
    testing_support::write_file(state_ + "/freeze",
                                std::to_string(nth) + " " + mode + " " + what + "\n");
  }
  // Whether the fault was set off (and is disarmed since).
  bool fault_fired() const { return testing_support::file_exists(state_ + "/fault.fired"); }

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
