// A product configuration file under a private HVX_ROOT for tests of the
// runtime library: every key defined, PRODUCT_ROOT_D inside the root.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/product_conf.h"
#include "tests/support/test_support.h"

inline const std::vector<std::string>& product_conf_keys() {
  static const std::vector<std::string> keys = {
      "PRODUCT_ROOT_D",    "HTTPD_VHOSTS_D", "HTTPD_CONF_D",  "HTTPD_BIN_D",  "QMAIL_ROOT_D",
      "QMAIL_MAILNAMES_D", "FTPD_CONF",      "FTPD_CONF_INC", "FTPD_BIN_D",   "NAMED_RUN_ROOT_D",
      "WEB_STAT",          "LOGROTATE",      "MYSQL_VAR_D",   "MYSQL_BIN_D",  "PGSQL_BIN_D",
      "PGSQL_DATA_D",      "MAILMAN_ROOT_D", "MAILMAN_VAR_D", "PRODUCT_RC_D", "DUMP_D",
      "CATALINA_HOME",     "DRWEB_ROOT_D",   "DRWEB_ETC_D"};
  return keys;
}

// Points HVX_ROOT at root, writes root/etc/hvx/hvx.conf with the given text
// and forgets any configuration read before.
inline void install_conf_text(const std::string& root, const std::string& text) {
  testing_support::run_command({"mkdir", "-p", root + "/etc/hvx"});
  testing_support::write_file(root + "/etc/hvx/hvx.conf", text);
  setenv("HVX_ROOT", root.c_str(), 1);
  reset_product_conf_for_tests();
}

// Every key, each "KEY<TAB>root/<key>", except the one named in skip.
inline std::string full_conf_text(const std::string& root, const std::string& skip = {}) {
  std::string text;
  for (const auto& key : product_conf_keys()) {
    if (key == skip) continue;
    text += key + "\t" + root + "/" + key + "\n";
  }
  return text;
}
