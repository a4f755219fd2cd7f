# shellcheck shell=bash
# FTP server shared by the whole test run: one account whose root is $dir/ftp.
# Sourced by tests/support/servers, which provides $dir and $testbed.

start_server() {
  local password port
  password=pw-$RANDOM$RANDOM
  mkdir -p "$dir/ftp"
  port=$("$testbed/ftp-server" start "$dir/ftp-server" 0 hvxftp "$password" "$dir/ftp")
  {
    echo "HVX_TEST_FTP_PORT=$port"
    echo "HVX_TEST_FTP_LOGIN=hvxftp"
    echo "HVX_TEST_FTP_PASSWORD=$password"
    echo "HVX_TEST_FTP_HOME=$dir/ftp"
  } >> "$dir/env"
}

stop_server() {
  "$testbed/ftp-server" stop "$dir/ftp-server"
}
