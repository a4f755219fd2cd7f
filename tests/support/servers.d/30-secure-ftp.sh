# shellcheck shell=bash
# FTP over TLS (vsftpd, explicit and implicit) and SFTP (sshd) servers shared
# by the whole test run, each with one account whose root is a directory of
# $dir owned by the account's uid. Sourced by tests/support/servers.

start_server() {
  local password port
  dir=$(cd "$dir" && pwd)
  password=pw-$RANDOM$RANDOM
  chmod 0755 "$dir"
  port=$("$testbed/ftps-server" start "$dir/ftpes-server" 0 hvxftps "$password" "$dir/ftpes")
  {
    echo "HVX_TEST_FTPES_PORT=$port"
    echo "HVX_TEST_FTPES_HOME=$dir/ftpes"
    echo "HVX_TEST_FTPES_CA=$dir/ftpes-server/ca.pem"
    echo "HVX_TEST_FTPES_STATE=$dir/ftpes-server"
  } >> "$dir/env"
  port=$("$testbed/ftps-server" start --implicit "$dir/ftps-server" 0 hvxftps "$password" \
    "$dir/ftps")
  {
    echo "HVX_TEST_FTPS_PORT=$port"
    echo "HVX_TEST_FTPS_HOME=$dir/ftps"
    echo "HVX_TEST_FTPS_CA=$dir/ftps-server/ca.pem"
  } >> "$dir/env"
  port=$("$testbed/sftp-server" start "$dir/sftp-server" 0 hvxsftp "$password" "$dir/sftp")
  {
    echo "HVX_TEST_SFTP_PORT=$port"
    echo "HVX_TEST_SFTP_HOME=$dir/sftp"
    echo "HVX_TEST_SFTP_STATE=$dir/sftp-server"
    echo "HVX_TEST_SECURE_PASSWORD=$password"
    echo "HVX_TEST_REMOTE_UID=65534"
  } >> "$dir/env"
}

stop_server() {
  "$testbed/ftps-server" stop "$dir/ftpes-server" || true
  "$testbed/ftps-server" stop "$dir/ftps-server" || true
  "$testbed/sftp-server" stop "$dir/sftp-server"
}
