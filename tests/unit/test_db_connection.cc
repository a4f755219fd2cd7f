// Connections to the real test server: password file, parameter precedence,
// container mode, socket discovery and the run-mode check.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "common/db_connection.h"
#include "tests/support/db_test_env.h"
#include "tests/support/std_capture.h"
#include "tests/support/test_support.h"

using testing_support::write_file;

namespace {

class DbConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    db_test::clean_environment();
    root_ = db_test::sandbox_root();
    // Undo what earlier tests changed under the root.
    write_file(shadow(), db_test::password() + "\n");
    for (const char* f :
         {"/etc/my.cnf", "/etc/hvx/zc_mode", "/proc/zc/veinfo", "/tmp/mysql.sock"}) {
      unlink((root_ + f).c_str());
    }
    unlink(var_socket().c_str());
    ASSERT_EQ(symlink(db_test::socket_path().c_str(), var_socket().c_str()), 0);
    setenv("HVX_DB_NAME", db_test::sandbox_db().c_str(), 1);
  }

  std::string shadow() const { return root_ + "/etc/hvx/.hvx.shadow"; }
  std::string var_socket() const { return root_ + "/var/lib/mysql/mysql.sock"; }
  std::string tmp_socket() const { return root_ + "/tmp/mysql.sock"; }

  // Connects and returns the failure text, empty on success.
  std::string connect_error() {
    char err[4097] = "";
    MysqlPtr conn(db_connect(err, sizeof err));
    if (conn) return {};
    return err;
  }

  // Admin connection with the sandbox's settings, for preparing the server.
  MysqlPtr admin() {
    char err[4097] = "";
    MysqlPtr conn(db_connect(err, sizeof err));
    EXPECT_TRUE(conn) << err;
    return conn;
  }

  void write_my_cnf(const std::string& text) { write_file(root_ + "/etc/my.cnf", text); }

  std::string root_;
};

TEST_F(DbConnection, PasswordFileTrailingNewlines) {
  write_file(shadow(), db_test::password());
  EXPECT_EQ(connect_error(), "");
  write_file(shadow(), db_test::password() + "\n");
  EXPECT_EQ(connect_error(), "");
  // Only one newline is removed: the second one is part of the password.
  write_file(shadow(), db_test::password() + "\n\n");
  const std::string refused = connect_error();
  EXPECT_EQ(refused.rfind("db_connect: failed to connect to database: Error: Access denied", 0), 0u)
      << refused;
  EXPECT_EQ(refused.find(db_test::password()), std::string::npos);
}

TEST_F(DbConnection, PasswordFileUnreadable) {
  unlink(shadow().c_str());
  EXPECT_EQ(connect_error(), "db_connect: Unable to open admin password file " + shadow() +
                                 ": No such file or directory");
  ASSERT_EQ(mkdir(shadow().c_str(), 0700), 0);
  EXPECT_EQ(connect_error(),
            "db_connect: Unable to read admin password file " + shadow() + ": Is a directory");
  rmdir(shadow().c_str());
}

TEST_F(DbConnection, RefusedConnectionIsReportedWithoutThePassword) {
  write_file(shadow(), "not-the-password");
  {
    StdCapture cap;
    EXPECT_EQ(get_db_connection(), nullptr);
    const std::string err = cap.err();
    EXPECT_NE(err.find("db_connect: failed to connect to database: Error: Access denied for user "
                       "'admin'@'localhost' (using password: YES)\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("not-the-password"), std::string::npos);
  }
  // A small caller buffer cuts the text instead of overflowing.
  char small[20];
  EXPECT_EQ(db_connect(small, sizeof small), nullptr);
  EXPECT_STREQ(small, "db_connect: failed ");
}

TEST_F(DbConnection, SessionSettingsAndDefaults) {
  MysqlPtr conn = admin();
  ASSERT_TRUE(conn);
  EXPECT_EQ(db_test::scalar(conn.get(), "select @@foreign_key_checks"), "0");
  EXPECT_EQ(db_test::scalar(conn.get(), "select current_user()"), "admin@localhost");
  db_test::exec(conn.get(), "create database if not exists hvx");

  // Defaults: database "hvx", login "admin"; an empty host means localhost.
  unsetenv("HVX_DB_NAME");
  setenv("HVX_DB_HOST", "", 1);
  setenv("HVX_DB_LOGIN", "", 1);
  MysqlPtr plain = admin();
  ASSERT_TRUE(plain);
  EXPECT_EQ(db_test::scalar(plain.get(), "select database()"), "hvx");

  // A port is ignored on the socket but must not break the connection.
  setenv("HVX_DB_PORT", "not-a-number", 1);
  EXPECT_EQ(connect_error(), "");
}

TEST_F(DbConnection, ContainerModeBetweenEnvironmentAndDefaults) {
  // A container numbered N has database hvxN and login adminN.
  const int number = 100000 + static_cast<int>(getpid() % 800000);
  const std::string db = "hvx" + std::to_string(number);
  const std::string login = "admin" + std::to_string(number);
  {
    MysqlPtr conn = admin();
    ASSERT_TRUE(conn);
    db_test::exec(conn.get(), "create database if not exists " + db);
    db_test::exec(conn.get(), "create user if not exists '" + login +
                                  "'@'localhost' identified by '" + db_test::password() + "'");
    db_test::exec(conn.get(), "grant all on " + db + ".* to '" + login + "'@'localhost'");
  }
  ASSERT_EQ(symlink("localhost", (root_ + "/etc/hvx/zc_mode").c_str()), 0);
  mkdir((root_ + "/proc").c_str(), 0755);
  mkdir((root_ + "/proc/zc").c_str(), 0755);
  write_file(root_ + "/proc/zc/veinfo", std::to_string(number) + " 2 running\nsecond line\n");

  unsetenv("HVX_DB_NAME");
  MysqlPtr conn = admin();
  ASSERT_TRUE(conn);
  EXPECT_STREQ(std::getenv("HVX_DB_HOST"), "localhost");
  EXPECT_EQ(db_test::scalar(conn.get(), "select database()"), db);
  EXPECT_EQ(db_test::scalar(conn.get(), "select current_user()"), login + "@localhost");

  // Variables set beforehand win over the container's values.
  db_test::clean_environment();
  setenv("HVX_DB_NAME", db_test::sandbox_db().c_str(), 1);
  setenv("HVX_DB_LOGIN", "admin", 1);
  MysqlPtr own = admin();
  ASSERT_TRUE(own);
  EXPECT_EQ(db_test::scalar(own.get(), "select database()"), db_test::sandbox_db());
  EXPECT_EQ(db_test::scalar(own.get(), "select current_user()"), "admin@localhost");

  // Container number 0 supplies no names.
  db_test::clean_environment();
  write_file(root_ + "/proc/zc/veinfo", "0\n");
  EXPECT_EQ(init_zc_mode(), 0);
  EXPECT_EQ(std::getenv("HVX_DB_NAME"), nullptr);
  EXPECT_STREQ(std::getenv("HVX_DB_HOST"), "localhost");
}

TEST_F(DbConnection, ContainerMarkerWrittenOnlyInRunMode3) {
  const std::string marker = root_ + "/etc/hvx/zc_mode";
  setenv("HVX_DB_HOST", "db.internal", 1);
  setenv("HVX_RUN_MODE", "2", 1);
  EXPECT_EQ(init_zc_mode(), -1);
  EXPECT_FALSE(testing_support::file_exists(marker));

  setenv("HVX_RUN_MODE", "3", 1);
  EXPECT_EQ(init_zc_mode(), -1);
  char target[256] = "";
  ASSERT_GT(readlink(marker.c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "db.internal");

  // Marker present but no container information file.
  EXPECT_EQ(init_zc_mode(), -1);
}

TEST_F(DbConnection, SocketFromMysqldSectionOnly) {
  // A socket setting of another section is ignored; the well-known path wins.
  write_my_cnf("[client]\nsocket=" + db_test::socket_path() + "\n[mysqld]\ndatadir=/x\n");
  ASSERT_NE(find_mysql_socket(), nullptr);
  EXPECT_EQ(std::string(find_mysql_socket()), var_socket());

  write_my_cnf("# comment\n  ; other\n[mysqld]\n  datadir = /x\n  socket = " +
               db_test::socket_path() + "   # trailing\n[client]\n");
  ASSERT_NE(find_mysql_socket(), nullptr);
  EXPECT_EQ(std::string(find_mysql_socket()), db_test::socket_path());
  EXPECT_EQ(connect_error(), "");
}

TEST_F(DbConnection, SocketScanStopsAtFirstSetting) {
  // Not a socket: the scan ends there, later lines are not read, and the
  // well-known paths are tried in order.
  write_my_cnf("[mysqld]\nsocket=" + root_ + "/etc/my.cnf\nsocket=" + db_test::socket_path() +
               "\n");
  unlink(var_socket().c_str());
  ASSERT_EQ(symlink(db_test::socket_path().c_str(), tmp_socket().c_str()), 0);
  ASSERT_NE(find_mysql_socket(), nullptr);
  EXPECT_EQ(std::string(find_mysql_socket()), tmp_socket());
  EXPECT_EQ(connect_error(), "");

  // A section ends the search for the setting.
  write_my_cnf("[mysqld]\n[mysqld_safe]\nsocket=" + db_test::socket_path() + "\n");
  EXPECT_EQ(std::string(find_mysql_socket()), tmp_socket());

  // Nothing anywhere: null, or the empty variable's value.
  unlink(tmp_socket().c_str());
  EXPECT_EQ(find_mysql_socket(), nullptr);
  setenv("MYSQL_UNIX_PORT", "", 1);
  ASSERT_NE(find_mysql_socket(), nullptr);
  EXPECT_STREQ(find_mysql_socket(), "");
}

TEST_F(DbConnection, MysqlUnixPortSkipsDiscovery) {
  write_my_cnf("[mysqld]\nsocket=" + db_test::socket_path() + "\n");
  unlink(var_socket().c_str());
  setenv("MYSQL_UNIX_PORT", db_test::socket_path().c_str(), 1);
  EXPECT_EQ(find_mysql_socket(), nullptr);
  EXPECT_EQ(connect_error(), "");

  setenv("MYSQL_UNIX_PORT", (root_ + "/nowhere.sock").c_str(), 1);
  EXPECT_NE(connect_error().find("db_connect: failed to connect to database: Error: "),
            std::string::npos);
}

TEST_F(DbConnection, LongSocketPathThroughLink) {
  // A socket link deeper than a socket address can hold still connects.
  std::string deep = root_ + "/deep";
  while (deep.size() < 150) deep += "/level-of-directories";
  ASSERT_EQ(testing_support::run_command({"mkdir", "-p", deep}).status, 0);
  const std::string link = deep + "/mysql.sock";
  ASSERT_EQ(symlink(db_test::socket_path().c_str(), link.c_str()), 0);
  write_my_cnf("[mysqld]\nsocket=" + link + "\n");
  EXPECT_EQ(std::string(find_mysql_socket()), link);
  EXPECT_EQ(connect_error(), "");
}

// The server ends a connection (as it does for every one when it restarts):
// a reconnecting statement connects the same handle again, with the
// session's settings, and goes through; a refused statement is not repeated.
class DbReconnect : public DbConnection {
 protected:
  void drop(MYSQL* conn) {
    MysqlPtr other = admin();
    const std::string kill = "KILL CONNECTION " + std::to_string(mysql_thread_id(conn));
    ASSERT_EQ(mysql_query(other.get(), kill.c_str()), 0) << mysql_error(other.get());
  }
  static std::string value_of(MYSQL* conn, const char* query) {
    if (mysql_query(conn, query) != 0) return "error";
    MysqlResultPtr result(mysql_store_result(conn));
    MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
    return row != nullptr && row[0] != nullptr ? row[0] : "null";
  }
};

TEST_F(DbReconnect, DroppedConnectionIsMadeAgainInPlace) {
  setenv("HVX_DB_RECONNECT_TIMEOUT", "5", 1);
  MysqlPtr conn = admin();
  const unsigned long first = mysql_thread_id(conn.get());
  drop(conn.get());
  EXPECT_EQ(db_query_reconnecting(conn.get(), "DO 1"), 0) << mysql_error(conn.get());
  EXPECT_NE(mysql_thread_id(conn.get()), first);
  EXPECT_EQ(value_of(conn.get(), "SELECT @@foreign_key_checks"), "0");

  // Seen by a plain statement: the server is gone, not a refusal.
  drop(conn.get());
  EXPECT_NE(mysql_query(conn.get(), "DO 1"), 0);
  EXPECT_TRUE(db_server_gone(conn.get())) << mysql_errno(conn.get());
  EXPECT_TRUE(db_reconnect(conn.get()));
  EXPECT_EQ(value_of(conn.get(), "SELECT 7"), "7");
  unsetenv("HVX_DB_RECONNECT_TIMEOUT");
}

TEST_F(DbReconnect, RefusedStatementsAndAZeroTimeoutAreNotRepeated) {
  setenv("HVX_DB_RECONNECT_TIMEOUT", "5", 1);
  MysqlPtr conn = admin();
  const unsigned long first = mysql_thread_id(conn.get());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(db_query_reconnecting(conn.get(), "SELEC nonsense"), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_FALSE(db_server_gone(conn.get()));
  EXPECT_EQ(mysql_thread_id(conn.get()), first);

  setenv("HVX_DB_RECONNECT_TIMEOUT", "0", 1);
  drop(conn.get());
  EXPECT_NE(db_query_reconnecting(conn.get(), "DO 1"), 0);
  EXPECT_TRUE(db_server_gone(conn.get()));
  for (const char* bad : {"x", "-1", "2s", ""}) {
    setenv("HVX_DB_RECONNECT_TIMEOUT", bad, 1);
    EXPECT_EQ(db_reconnect_timeout(), std::chrono::seconds(10)) << bad;
  }
  unsetenv("HVX_DB_RECONNECT_TIMEOUT");
}

TEST(DbRunMode, OnlyModesOneToThreeAccepted) {
  unsetenv("HVX_RUN_MODE");
  check_run_mode();
  setenv("HVX_RUN_MODE", "3", 1);
  check_run_mode();
  for (const char* bad : {"0", "4", "abc", "2x", ""}) {
    setenv("HVX_RUN_MODE", bad, 1);
    EXPECT_EXIT(check_run_mode(), ::testing::ExitedWithCode(1), "unrecognized HVX_RUNMODE") << bad;
  }
  unsetenv("HVX_RUN_MODE");
}

}  // namespace
