#include "common/system_paths.h"

#include <cstdlib>

namespace {

const char* real_path(SystemPath which) {
  switch (which) {
    case SystemPath::product_conf_file:
      return "/etc/hvx/hvx.conf";
    case SystemPath::admin_password:
      return "/etc/hvx/.hvx.shadow";
    case SystemPath::my_cnf:
      return "/etc/my.cnf";
    case SystemPath::zc_mode:
      return "/etc/hvx/zc_mode";
    case SystemPath::zc_veinfo:
      return "/proc/zc/veinfo";
    case SystemPath::mysql_sock_var:
      return "/var/lib/mysql/mysql.sock";
    case SystemPath::mysql_sock_tmp:
      return "/tmp/mysql.sock";
  }
  return "/";
}

}  // namespace

std::string system_path(SystemPath which) {
  std::string path = real_path(which);
  const char* root = std::getenv("HVX_ROOT");
  if (root == nullptr || *root == '\0') return path;
  std::string prefix = root;
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (prefix == "/") return path;
  return prefix + path;
}
