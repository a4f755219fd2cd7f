# Sourced by tests/support/servers: one private MariaDB server for the whole
# test run. Each test's sandbox creates its own database on it.
start_server() {
  local password
  password=$(od -An -vtx1 -N16 /dev/urandom | tr -d ' \n')
  "$testbed/mariadb-server" start "$dir/mysql" "$dir/mysql.sock" "$password"
  {
    echo "HVX_TEST_DB_SOCKET=$dir/mysql.sock"
    echo "HVX_TEST_DB_PASSWORD=$password"
  } >> "$dir/env"
}

stop_server() {
  "$testbed/mariadb-server" stop "$dir/mysql"
}
