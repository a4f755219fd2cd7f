// Product configuration: the panel's directories, read from the product
// configuration file. All 23 keys are required.
#pragma once

#include <sys/types.h>

struct ProductConf {
  const char* PRODUCT_ROOT_D = nullptr;
  const char* HTTPD_VHOSTS_D = nullptr;
  const char* HTTPD_CONF_D = nullptr;
  const char* HTTPD_BIN_D = nullptr;
  const char* QMAIL_ROOT_D = nullptr;
  const char* QMAIL_MAILNAMES_D = nullptr;
  const char* FTPD_CONF = nullptr;
  const char* FTPD_CONF_INC = nullptr;
  const char* FTPD_BIN_D = nullptr;
  const char* NAMED_RUN_ROOT_D = nullptr;
  const char* WEB_STAT = nullptr;
  const char* LOGROTATE = nullptr;
  const char* MYSQL_VAR_D = nullptr;
  const char* MYSQL_BIN_D = nullptr;
  const char* PGSQL_BIN_D = nullptr;
  const char* PGSQL_DATA_D = nullptr;
  const char* MAILMAN_ROOT_D = nullptr;
  const char* MAILMAN_VAR_D = nullptr;
  const char* PRODUCT_RC_D = nullptr;
  const char* DUMP_D = nullptr;
  const char* CATALINA_HOME = nullptr;
  const char* DRWEB_ROOT_D = nullptr;
  const char* DRWEB_ETC_D = nullptr;
};

extern ProductConf product_conf;

// Fills product_conf; ends the process with status 1 naming the first
// missing key. Does nothing once PRODUCT_ROOT_D is set.
void load_product_conf();

// Value of a key inside the cached file image, or null when the file cannot
// be read or the key is not defined. Never reports.
const char* get_product_conf_value(const char* key);

// User and group database lookups.
int get_user_ids(const char* user, uid_t* uid, gid_t* gid, const char** home);
unsigned get_user_id(const char* user, int want_group);
gid_t get_group_id(const char* group);
const char* user_name_by_id(uid_t uid);
const char* group_name_by_id(gid_t gid);

// For tests: forget the cached file and the loaded record.
void reset_product_conf_for_tests();
