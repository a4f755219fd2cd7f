// Product configuration file: line syntax, the loader's messages, the
// HVX_ROOT prefix of system paths, and the id-to-name lookups.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "common/messages.h"
#include "common/product_conf.h"
#include "common/system_paths.h"
#include "tests/support/conf_sandbox.h"
#include "tests/support/std_capture.h"
#include "tests/support/test_support.h"

using testing_support::TempDir;

namespace {

class ProductConfFile : public ::testing::Test {
 protected:
  void TearDown() override {
    reset_product_conf_for_tests();
    unsetenv("HVX_ROOT");
    program_name = nullptr;
  }
  std::string value(const std::string& text, const char* key) {
    install_conf_text(dir_.path(), text);
    const char* v = get_product_conf_value(key);
    return v ? std::string("=") + v : "(null)";
  }
  TempDir dir_;
};

struct LoadOutcome {
  int status = -1;
  std::string err;
};

// Runs load_product_conf in a child, which may end with status 1.
LoadOutcome load_in_child() {
  TempDir out;
  pid_t pid = fork();
  if (pid == 0) {
    FILE* f = std::freopen((out / "err").c_str(), "w", stderr);
    (void)f;
    program_name = "sitevault";
    errno = 0;
    load_product_conf();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testing_support::read_file(out / "err")};
}

}  // namespace

TEST_F(ProductConfFile, LineSyntax) {
  // Leading whitespace, several blanks or tabs between key and value, inner
  // blanks kept, trailing blanks dropped.
  EXPECT_EQ(value("  \tDUMP_D \t /var/lib/my dumps  \n", "DUMP_D"), "=/var/lib/my dumps");
  // CR LF line ends read like LF.
  EXPECT_EQ(value("PRODUCT_ROOT_D /opt/hvx\r\nDUMP_D /var/dumps\r\n", "DUMP_D"), "=/var/dumps");
  EXPECT_EQ(value("PRODUCT_ROOT_D /opt/hvx\r\nDUMP_D /var/dumps\r\n", "PRODUCT_ROOT_D"),
            "=/opt/hvx");
  // The last line without a newline keeps its trailing blanks.
  EXPECT_EQ(value("X 1\nDUMP_D\t/var/dumps  ", "DUMP_D"), "=/var/dumps  ");
  // Newlines and blank lines at the start are harmless.
  EXPECT_EQ(value("\n\n   \n\t\nDUMP_D /d\n", "DUMP_D"), "=/d");
}

TEST_F(ProductConfFile, WhichLinesDefineAKey) {
  EXPECT_EQ(value("DUMP_D /first\nDUMP_D /second\n", "DUMP_D"), "=/first");
  EXPECT_EQ(value("DUMP_D_OLD /y\nDUMP_DIR /z\n", "DUMP_D"), "(null)");
  EXPECT_EQ(value("DUMP_D_OLD /y\nDUMP_D /x\n", "DUMP_D"), "=/x");
  EXPECT_EQ(value("DUMP_D=/x\ndump_d /x\n", "DUMP_D"), "(null)");
  EXPECT_EQ(value("#DUMP_D /x\n# DUMP_D /x\n", "DUMP_D"), "(null)");
  // A line holding only the key (blanks after it are trailing) defines
  // nothing; a later definition counts.
  EXPECT_EQ(value("DUMP_D   \nDUMP_D /x\n", "DUMP_D"), "=/x");
  EXPECT_EQ(value("DUMP_D\n", "DUMP_D"), "(null)");
  // Only at the very end of a file can the key match with an empty value.
  EXPECT_EQ(value("X 1\nDUMP_D  ", "DUMP_D"), "=");
}

TEST_F(ProductConfFile, MissingOrEmptyFileDefinesNothing) {
  setenv("HVX_ROOT", dir_.path().c_str(), 1);
  reset_product_conf_for_tests();
  EXPECT_EQ(get_product_conf_value("PRODUCT_ROOT_D"), nullptr);
  EXPECT_EQ(value("", "PRODUCT_ROOT_D"), "(null)");
  // Once the file can be read, the next lookup reads it.
  testing_support::write_file(dir_ / "etc/hvx/hvx.conf", "PRODUCT_ROOT_D /late\n");
  EXPECT_STREQ(get_product_conf_value("PRODUCT_ROOT_D"), "/late");
}

TEST_F(ProductConfFile, LoaderStopsAtTheFirstMissingKey) {
  install_conf_text(dir_.path(), full_conf_text(dir_.path(), "HTTPD_BIN_D"));
  LoadOutcome o = load_in_child();
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "sitevault: Error: HTTPD_BIN_D not defined\n");

  // A key defined with an empty value (end of file) is missing too.
  install_conf_text(dir_.path(), full_conf_text(dir_.path(), "DRWEB_ETC_D") + "DRWEB_ETC_D ");
  o = load_in_child();
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "sitevault: Error: DRWEB_ETC_D not defined\n");

  install_conf_text(dir_.path(), full_conf_text(dir_.path(), "FTPD_BIN_D"));
  o = load_in_child();
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "sitevault: Error: FTPD_BIN_D not defined in product config file\n");

  // Every key is required: each one's absence is named.
  for (const auto& key : product_conf_keys()) {
    install_conf_text(dir_.path(), full_conf_text(dir_.path(), key));
    o = load_in_child();
    EXPECT_EQ(o.status, 1) << key;
    EXPECT_NE(o.err.find("Error: " + key + " not defined"), std::string::npos) << o.err;
  }

  // No file at all reads as the first key missing.
  setenv("HVX_ROOT", (dir_ / "nowhere").c_str(), 1);
  reset_product_conf_for_tests();
  o = load_in_child();
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err.rfind("sitevault: Error: PRODUCT_ROOT_D not defined\n", 0), 0u) << o.err;
}

TEST_F(ProductConfFile, LoadFillsEveryFieldOnce) {
  install_conf_text(dir_.path(), full_conf_text(dir_.path()));
  load_product_conf();
  EXPECT_EQ(std::string(product_conf.PRODUCT_ROOT_D), dir_.path() + "/PRODUCT_ROOT_D");
  EXPECT_EQ(std::string(product_conf.DUMP_D), dir_.path() + "/DUMP_D");
  EXPECT_EQ(std::string(product_conf.DRWEB_ETC_D), dir_.path() + "/DRWEB_ETC_D");
  const char* dump_d = product_conf.DUMP_D;
  // A changed file is not read again.
  testing_support::write_file(dir_ / "etc/hvx/hvx.conf", "");
  load_product_conf();
  EXPECT_EQ(product_conf.DUMP_D, dump_d);
}

TEST(SystemPaths, HvxRootPrefix) {
  unsetenv("HVX_ROOT");
  EXPECT_EQ(system_path(SystemPath::product_conf_file), "/etc/hvx/hvx.conf");
  setenv("HVX_ROOT", "", 1);
  EXPECT_EQ(system_path(SystemPath::admin_password), "/etc/hvx/.hvx.shadow");
  setenv("HVX_ROOT", "/", 1);
  EXPECT_EQ(system_path(SystemPath::my_cnf), "/etc/my.cnf");
  setenv("HVX_ROOT", "/srv/box//", 1);
  EXPECT_EQ(system_path(SystemPath::zc_veinfo), "/srv/box/proc/zc/veinfo");
  setenv("HVX_ROOT", "/srv/box", 1);
  EXPECT_EQ(system_path(SystemPath::mysql_sock_tmp), "/srv/box/tmp/mysql.sock");
  unsetenv("HVX_ROOT");
}

TEST(UserLookups, UnknownIdsAndNames) {
  EXPECT_STREQ(user_name_by_id(0), "root");
  EXPECT_STREQ(user_name_by_id(3999999999u), "3999999999");
  EXPECT_STREQ(group_name_by_id(3999999998u), "3999999998");
  uid_t uid = 1;
  gid_t gid = 1;
  const char* home = nullptr;
  EXPECT_EQ(get_user_ids("root", &uid, &gid, &home), 0);
  EXPECT_EQ(uid, 0u);
  EXPECT_STREQ(home, "/root");

  program_name = "sitevault";
  StdCapture capture;
  errno = 0;
  EXPECT_EQ(get_user_id("no-such-user-hvx", 0), 0u);
  EXPECT_EQ(get_user_ids("no-such-user-hvx", nullptr, nullptr, nullptr), -1);
  const std::string err = capture.err();
  program_name = nullptr;
  EXPECT_EQ(err.find("sitevault: Unable to getpwnam for user no-such-user-hvx"), 0u) << err;
}
