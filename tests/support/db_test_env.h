// A sandbox root on the shared test database server for the database tests:
// the admin password file and the socket link under HVX_ROOT, a clean set of
// database variables, and fresh databases loaded with the sample schema.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/db_connection.h"
#include "tests/support/test_support.h"

namespace db_test {

inline std::string& sandbox_dir() {
  static std::string dir;
  return dir;
}

inline pid_t& sandbox_owner() {
  static pid_t pid = 0;
  return pid;
}

// Removes the sandbox at exit, but only in the process that made it: death
// tests fork children that exit too.
inline void remove_sandbox() {
  if (getpid() != sandbox_owner() || sandbox_dir().empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(sandbox_dir(), ec);
}

// One sandbox for the whole test program.
inline const std::string& sandbox_root() {
  static std::string root;
  if (root.empty()) {
    char templ[] = "/tmp/hvxdbtest.XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    sandbox_dir() = templ;
    sandbox_owner() = getpid();
    std::atexit(remove_sandbox);
    auto env = testing_support::sandbox_up(sandbox_dir() + "/root");
    root = env["HVX_ROOT"];
    if (env.count("HVX_DB_NAME")) setenv("HVX_DB_TEST_SANDBOX_DB", env["HVX_DB_NAME"].c_str(), 1);
  }
  return root;
}

inline std::string sandbox_db() {
  sandbox_root();
  const char* name = std::getenv("HVX_DB_TEST_SANDBOX_DB");
  return name ? name : "hvx";
}

inline std::string socket_path() { return testing_support::test_env("HVX_TEST_DB_SOCKET"); }
inline std::string password() { return testing_support::test_env("HVX_TEST_DB_PASSWORD"); }

// Forgets every database variable and points HVX_ROOT at the sandbox.
inline void clean_environment() {
  for (const char* v : {"HVX_DB_HOST", "HVX_DB_PORT", "HVX_DB_NAME", "HVX_DB_LOGIN", "HVX_RUN_MODE",
                        "MYSQL_UNIX_PORT"}) {
    unsetenv(v);
  }
  setenv("HVX_ROOT", sandbox_root().c_str(), 1);
}

// A new database with the sample schema on the shared server; its name.
inline std::string fresh_database() {
  static int serial = 0;
  const std::string name = "hvx_t" + std::to_string(getpid()) + "_" + std::to_string(++serial);
  auto r = testing_support::run_command({testing_support::source_dir() + "/testbed/mariadb-server",
                                         "create-db", socket_path(), password(), name});
  EXPECT_EQ(r.status, 0) << r.err;
  return name;
}

// Runs a statement on the connection; fails the test with the server's text.
inline void exec(MYSQL* conn, const std::string& sql) {
  ASSERT_EQ(mysql_real_query(conn, sql.data(), sql.size()), 0) << sql << ": " << mysql_error(conn);
}

// First column of the first row; nullopt for no row or NULL.
inline std::optional<std::string> scalar(MYSQL* conn, const std::string& sql) {
  if (mysql_real_query(conn, sql.data(), sql.size()) != 0) {
    ADD_FAILURE() << sql << ": " << mysql_error(conn);
    return std::nullopt;
  }
  MysqlResultPtr res(mysql_store_result(conn));
  if (!res) return std::nullopt;
  MYSQL_ROW row = mysql_fetch_row(res.get());
  if (row == nullptr || row[0] == nullptr) return std::nullopt;
  return std::string(row[0]);
}

}  // namespace db_test
