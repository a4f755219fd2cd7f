#include "common/product_conf.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/c_handles.h"
#include "common/messages.h"
#include "common/system_paths.h"

ProductConf product_conf;

namespace {

// The whole file, trailing whitespace of every line turned into NULs. Values
// handed out point into it and stay valid for the life of the process.
std::unique_ptr<char[]> conf_cache;
std::size_t conf_cache_len = 0;

char user_name_buf[4096];
char group_name_buf[4096];

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void read_conf_file() {
  std::unique_ptr<FILE, FileCloser> file(
      std::fopen(system_path(SystemPath::product_conf_file).c_str(), "r"));
  if (!file) return;
  struct stat st {};
  if (fstat(fileno(file.get()), &st) != 0 || st.st_size <= 0) return;
  const auto size = static_cast<std::size_t>(st.st_size);
  std::unique_ptr<char[]> buf(new (std::nothrow) char[size + 2]);
  if (!buf) return;
  if (std::fread(buf.get(), size, 1, file.get()) != 1) return;
  buf[size] = '\0';
  buf[size + 1] = '\0';
  for (std::size_t i = 0; i < size; ++i) {
    if (buf[i] != '\n') continue;
    buf[i] = '\0';
    for (std::size_t j = i; j > 0 && buf[j - 1] != '\0' && is_space(buf[j - 1]); --j)
      buf[j - 1] = '\0';
  }
  conf_cache = std::move(buf);
  conf_cache_len = size;
}

}  // namespace

const char* get_product_conf_value(const char* key) {
  if (conf_cache_len == 0) read_conf_file();
  if (conf_cache_len == 0 || key == nullptr) return nullptr;
  const std::size_t key_len = std::strlen(key);
  const char* buf = conf_cache.get();
  const char* end = buf + conf_cache_len;
  const char* line = buf;
  while (line < end) {
    const char* p = line;
    while (p < end && *p != '\0' && is_space(*p)) ++p;
    if (static_cast<std::size_t>(end - p) > key_len && std::memcmp(p, key, key_len) == 0 &&
        is_space(p[key_len])) {
      const char* value = p + key_len;
      while (*value != '\0' && *value != '\n' && is_space(*value)) ++value;
      return value;
    }
    // Next line: the byte after the next NUL.
    while (line < end && *line != '\0') ++line;
    ++line;
  }
  return nullptr;
}

void load_product_conf() {
  if (product_conf.PRODUCT_ROOT_D != nullptr) return;
  struct Key {
    const char* name;
    const char* ProductConf::*field;
    bool via_print_error;
  };
  static const Key keys[] = {
      {"PRODUCT_ROOT_D", &ProductConf::PRODUCT_ROOT_D, false},
      {"HTTPD_VHOSTS_D", &ProductConf::HTTPD_VHOSTS_D, false},
      {"HTTPD_CONF_D", &ProductConf::HTTPD_CONF_D, false},
      {"HTTPD_BIN_D", &ProductConf::HTTPD_BIN_D, false},
      {"QMAIL_ROOT_D", &ProductConf::QMAIL_ROOT_D, false},
      {"QMAIL_MAILNAMES_D", &ProductConf::QMAIL_MAILNAMES_D, false},
      {"FTPD_CONF", &ProductConf::FTPD_CONF, false},
      {"FTPD_CONF_INC", &ProductConf::FTPD_CONF_INC, false},
      {"FTPD_BIN_D", &ProductConf::FTPD_BIN_D, true},
      {"NAMED_RUN_ROOT_D", &ProductConf::NAMED_RUN_ROOT_D, false},
      {"WEB_STAT", &ProductConf::WEB_STAT, false},
      {"LOGROTATE", &ProductConf::LOGROTATE, false},
      {"MYSQL_VAR_D", &ProductConf::MYSQL_VAR_D, false},
      {"MYSQL_BIN_D", &ProductConf::MYSQL_BIN_D, true},
      {"PGSQL_BIN_D", &ProductConf::PGSQL_BIN_D, false},
      {"PGSQL_DATA_D", &ProductConf::PGSQL_DATA_D, false},
      {"MAILMAN_ROOT_D", &ProductConf::MAILMAN_ROOT_D, false},
      {"MAILMAN_VAR_D", &ProductConf::MAILMAN_VAR_D, false},
      {"PRODUCT_RC_D", &ProductConf::PRODUCT_RC_D, false},
      {"DUMP_D", &ProductConf::DUMP_D, false},
      {"CATALINA_HOME", &ProductConf::CATALINA_HOME, false},
      {"DRWEB_ROOT_D", &ProductConf::DRWEB_ROOT_D, false},
      {"DRWEB_ETC_D", &ProductConf::DRWEB_ETC_D, false},
  };
  for (const Key& key : keys) {
    const char* value = get_product_conf_value(key.name);
    if (value == nullptr || *value == '\0') {
      if (std::strcmp(key.name, "FTPD_BIN_D") == 0) {
        exit_with_error(1, "Error: %s not defined in product config file", key.name);
      } else if (key.via_print_error) {
        exit_with_error(1, "Error: %s not defined\n", key.name);
      } else {
        std::string text = std::string("Error: ") + key.name + " not defined\n";
        write_message(text.c_str(), 1);
      }
    }
    product_conf.*(key.field) = value;
  }
}

void reset_product_conf_for_tests() {
  product_conf = ProductConf{};
  conf_cache.reset();
  conf_cache_len = 0;
}

int get_user_ids(const char* user, uid_t* uid, gid_t* gid, const char** home) {
  struct passwd* pw = getpwnam(user);
  if (pw == nullptr) {
    report_error("Unable to getpwnam for user %s", user);
    return -1;
  }
  if (uid) *uid = pw->pw_uid;
  if (gid) *gid = pw->pw_gid;
  if (home) *home = pw->pw_dir;
  return 0;
}

unsigned get_user_id(const char* user, int want_group) {
  struct passwd* pw = getpwnam(user);
  if (pw == nullptr) {
    report_error("Unable to getpwnam for user %s", user);
    return 0;
  }
  return want_group ? pw->pw_gid : pw->pw_uid;
}

gid_t get_group_id(const char* group) {
  struct group* gr = getgrnam(group);
  if (gr == nullptr) {
    char text[4096];
    std::snprintf(text, sizeof text, "Unable to getgrnam for group %s: %s", group,
                  std::strerror(errno));
    write_message(text, 0);
    return 0;
  }
  return gr->gr_gid;
}

const char* user_name_by_id(uid_t uid) {
  struct passwd* pw = getpwuid(uid);
  if (pw != nullptr)
    std::snprintf(user_name_buf, sizeof user_name_buf, "%s", pw->pw_name);
  else
    std::snprintf(user_name_buf, sizeof user_name_buf, "%u", static_cast<unsigned>(uid));
  return user_name_buf;
}

const char* group_name_by_id(gid_t gid) {
  struct group* gr = getgrgid(gid);
  if (gr != nullptr)
    std::snprintf(group_name_buf, sizeof group_name_buf, "%s", gr->gr_name);
  else
    std::snprintf(group_name_buf, sizeof group_name_buf, "%u", static_cast<unsigned>(gid));
  return group_name_buf;
}
