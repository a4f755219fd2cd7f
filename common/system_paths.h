// The fixed system paths both programs read. When HVX_ROOT is set and not
// empty, each is taken under that directory instead of "/", which is how the
// tools run in a sandbox; everything else comes from the configuration file.
#pragma once

#include <string>

enum class SystemPath {
  product_conf_file,  // /etc/hvx/hvx.conf
  admin_password,     // /etc/hvx/.hvx.shadow
  my_cnf,             // /etc/my.cnf
  zc_mode,            // /etc/hvx/zc_mode
  zc_veinfo,          // /proc/zc/veinfo
  mysql_sock_var,     // /var/lib/mysql/mysql.sock
  mysql_sock_tmp,     // /tmp/mysql.sock
};

// Full path of a system file, with the HVX_ROOT prefix applied.
std::string system_path(SystemPath which);
