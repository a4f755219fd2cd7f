# shellcheck shell=bash
# Shared by testbed/ftps-server and testbed/sftp-server (sourced).

# The uid and gid the test account runs as (nobody/nogroup on Debian).
ACCOUNT_UID=65534
ACCOUNT_GID=65534

server_already_running() {
  [ -f "$1/pid" ] && kill -0 "$(cat "$1/pid")" 2>/dev/null
}

# A port nobody listens on now (the server binds it a moment later).
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# HOME created and handed to the account; every directory above it must let
# the account through.
make_account_home() {
  mkdir -p "$1"
  chown "$ACCOUNT_UID:$ACCOUNT_GID" "$1"
  setpriv --reuid="$ACCOUNT_UID" --regid="$ACCOUNT_GID" --clear-groups test -w "$1" ||
    die "uid $ACCOUNT_UID cannot reach $1 (a directory above it is private)"
}

# DIR/passwd and DIR/group: the account LOGIN with PASSWORD's hash and HOME,
# and nobody, which vsftpd runs its unprivileged parts as. Read by the
# servers through nss_wrapper instead of the system's files.
write_account() {
  local dir=$1 login=$2 password=$3 home=$4 hash
  hash=$(printf '%s\n' "$password" | openssl passwd -6 -stdin)
  {
    echo "nobody:x:$ACCOUNT_UID:$ACCOUNT_GID:nobody:/nonexistent:/usr/sbin/nologin"
    echo "$login:$hash:$ACCOUNT_UID:$ACCOUNT_GID:test account:$home:/bin/sh"
  } > "$dir/passwd"
  echo "nogroup:x:$ACCOUNT_GID:" > "$dir/group"
  chmod 0644 "$dir/passwd" "$dir/group"
}

# Runs a command with the private user database of DIR (used with exec in
# a background subshell, so that $! is the server's pid).
with_private_passwd() {
  local dir=$1; shift
  exec env LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_PASSWD="$dir/passwd" \
    NSS_WRAPPER_GROUP="$dir/group" "$@"
}

# A throw-away CA (DIR/ca.pem) and a server certificate for 127.0.0.1 and
# localhost signed by it (DIR/server.pem, DIR/server.key).
make_test_ca() {
  local dir=$1
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
    -subj "/CN=hvx test CA $$" -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$dir/server.key" -out "$dir/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' > "$dir/server.ext"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -CAcreateserial -days 30 -extfile "$dir/server.ext" -out "$dir/server.pem" 2>/dev/null
  chmod 0600 "$dir/ca.key" "$dir/server.key"
}

# Waits until the server of DIR listens on PORT; false when it died.
wait_for_port() {
  local dir=$1 port=$2 pid i
  pid=$(cat "$dir/pid")
  for i in $(seq 1 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  tail -n 20 "$dir/log" >&2 2>/dev/null || true
  return 1
}

# Ends the server of DIR and the sessions it forked (its process group: the
# server was started with setsid).
stop_server() {
  local dir=$1 pid i
  [ -f "$dir/pid" ] || return 0
  pid=$(cat "$dir/pid")
  kill -CONT -- "-$pid" 2>/dev/null || true
  if kill -- "-$pid" 2>/dev/null; then
    for i in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
  fi
  rm -f "$dir/pid"
}
