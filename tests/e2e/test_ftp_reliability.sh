#!/usr/bin/env bash
# An FTP server that goes away or freezes in the middle of an upload and of a
# download: the operations fail cleanly and in bounded time, report, switch
# the domain back on and leave nothing of a failed download behind. Uses a
# private server it can stop.
. "$(dirname "$0")/lib.sh"
new_sandbox
D=example.com
REPO=$DUMP_D/$D
mkdir -p "$REPO"
echo "nightly" > "$SB/tmp/desc"
FTPD=$SB/ftpd
export FTP_LOGIN=backup FTP_PASSWORD=secret
port=$("$SRC/testbed/ftp-server" start "$FTPD" 0 "$FTP_LOGIN" "$FTP_PASSWORD") || exit 1
stop_ftpd() { "$SRC/testbed/ftp-server" stop "$FTPD"; }
trap 'stop_ftpd; cleanup_sandbox' EXIT
FTP_SERVER=127.0.0.1:$port
mkdir -p "$FTPD/home/repo"
mails() { cat "$MAIL_D"/*.eml 2>/dev/null; }
state_of() { cat "$SB/var/sandbox/sitectl/$1"; }

# Waits until a file matching PATTERN holds at least BYTES (about 60 s at
# most). Files in transfer carry a staging name.
wait_size() {
  local f
  for _ in $(seq 1 1200); do
    for f in $1; do
      [ "$(stat -c %s "$f" 2>/dev/null || echo 0)" -ge "$2" ] && return 0
    done
    sleep 0.05
  done
  return 1
}

run "$SITEVAULT" --gen-server-keys
check_eq "key generation exit" 1 "$RC"

# Upload: a stream of some GiB, the server stopped once data arrives. An
# older dump of the same name stays as it was.
printf 'older dump\n' > "$FTPD/home/repo/big"
HVXDUMP_PAD_MIB=4000 "$SITEVAULT" --ftp-backup --verbose --domain-name $D --dump-file big \
  --desc-file "$SB/tmp/desc" --ftp-server "$FTP_SERVER" --ftp-path repo \
  --email-from bu@example.com --email-to admin@example.com >"$SB/up.out" 2>"$SB/up.err" &
pid=$!
check "upload started" wait_size "$FTPD/home/repo/.hvxtmp.*.big" 8388608
stop_ftpd
wait $pid
check_eq "interrupted upload exit" 1 "$?"
check_contains "interrupted upload reported" "error: cURL execution failed: " "$(cat "$SB/up.err")"
check_contains "failure mail" "Backup process has failed for domain '$D'" "$(mails)"
check_contains "failure mail names the transfer error" "cURL execution failed" "$(mails)"
check_eq "domain switched back on" on "$(state_of $D)"
check "lock released" wait_unlocked $D 5
check_eq "no dump written locally" "" "$(ls "$REPO" | grep '^big')"
check_eq "older remote dump intact" "older dump" "$(cat "$FTPD/home/repo/big")"

# Download: a dump whose second part is large, the server stopped while that
# part arrives. The first part, fetched completely, goes as well; the local
# dump of that name stays.
port=$("$SRC/testbed/ftp-server" start "$FTPD" 0 "$FTP_LOGIN" "$FTP_PASSWORD") || exit 1
FTP_SERVER=127.0.0.1:$port
printf 'first part\n' > "$FTPD/home/repo/dl"
truncate -s 3G "$FTPD/home/repo/dl.part2"
rm -f "$MAIL_D"/*.eml
printf 'local dump\n' > "$REPO/dl"
"$SITEVAULT" --ftp-download --domain-name $D --dump-file dl --ftp-server "$FTP_SERVER" \
  --ftp-path repo --email-from bu@example.com --email-to admin@example.com \
  >"$SB/down.out" 2>"$SB/down.err" &
pid=$!
check "download started" wait_size "$REPO/.hvxtmp.*.dl.part2" 8388608
stop_ftpd
wait $pid
check_eq "interrupted download exit" 1 "$?"
check_contains "interrupted download reported" "error: cURL execution failed: " "$(cat "$SB/down.err")"
check_eq "nothing of the download left locally" "" "$(ls -A "$REPO" | grep 'dl\.part\|hvxtmp')"
check_eq "local dump of that name intact" "local dump" "$(cat "$REPO/dl")"
check_eq "domain on after the download" on "$(state_of $D)"
check "lock released after the download" wait_unlocked $D 5

# A server that freezes (SIGSTOP: its connections stay open and the kernel
# still accepts new ones, but nothing moves). The limits from the
# environment end each operation within seconds.
export HVX_FTP_STALL_TIMEOUT=4 HVX_FTP_CONNECT_TIMEOUT=2
port=$("$SRC/testbed/ftp-server" start "$FTPD" 0 "$FTP_LOGIN" "$FTP_PASSWORD") || exit 1
FTP_SERVER=127.0.0.1:$port
ftpd_pid=$(cat "$FTPD/pid")
freeze_ftpd() { kill -STOP "$ftpd_pid"; }
thaw_ftpd() { kill -CONT "$ftpd_pid"; }
trap 'thaw_ftpd; stop_ftpd; cleanup_sandbox' EXIT
# The sockets of PID that have TCP keep-alive running.
keepalive_sockets() { ss -tnopH state established 2>/dev/null | grep "pid=$1," | grep -c keepalive; }

rm -f "$MAIL_D"/*.eml
HVXDUMP_PAD_MIB=4000 "$SITEVAULT" --ftp-backup --verbose --domain-name $D --dump-file frozen \
  --desc-file "$SB/tmp/desc" --ftp-server "$FTP_SERVER" --ftp-path repo \
  --email-from bu@example.com --email-to admin@example.com >"$SB/up.out" 2>"$SB/up.err" &
pid=$!
check "upload to the frozen server started" wait_size "$FTPD/home/repo/.hvxtmp.*.frozen" 8388608
freeze_ftpd
start=$SECONDS
check_eq "idle connections of the stalled upload probed" 1 "$([ "$(keepalive_sockets $pid)" -ge 1 ] && echo 1)"
wait $pid
rc=$?
elapsed=$((SECONDS - start))
thaw_ftpd
check_eq "stalled upload exit" 1 "$rc"
check "stalled upload ends within the limits ($elapsed s)" test "$elapsed" -le 30
check_contains "stalled upload reported" "error: cURL execution failed: Operation too slow" \
  "$(cat "$SB/up.err")"
check_contains "stalled upload mail" "Backup process has failed for domain '$D'" "$(mails)"
check_eq "domain on after the stalled upload" on "$(state_of $D)"
check "lock released after the stalled upload" wait_unlocked $D 5

printf 'first part\n' > "$FTPD/home/repo/cold"
truncate -s 3G "$FTPD/home/repo/cold.part2"
"$SITEVAULT" --ftp-download --domain-name $D --dump-file cold --ftp-server "$FTP_SERVER" \
  --ftp-path repo >"$SB/down.out" 2>"$SB/down.err" &
pid=$!
check "download from the frozen server started" wait_size "$REPO/.hvxtmp.*.cold.part2" 8388608
freeze_ftpd
start=$SECONDS
check_eq "connections of the stalled download probed" 1 "$([ "$(keepalive_sockets $pid)" -ge 1 ] && echo 1)"
wait $pid
rc=$?
elapsed=$((SECONDS - start))
check_eq "stalled download exit" 1 "$rc"
check "stalled download ends within the limits ($elapsed s)" test "$elapsed" -le 30
check_contains "stalled download reported" "Operation too slow" "$(cat "$SB/down.err")"
check_eq "nothing of the stalled download left" "" "$(ls -A "$REPO" | grep 'cold\|hvxtmp')"
check_eq "domain on after the stalled download" on "$(state_of $D)"

# Still frozen: a new connection is accepted by the kernel but never
# greeted; the connect limit ends the listing.
start=$SECONDS
run "$SITEVAULT" --ftp-download --domain-name $D --dump-file cold --ftp-server "$FTP_SERVER" \
  --ftp-path repo
elapsed=$((SECONDS - start))
check_eq "unanswered greeting exit" 1 "$RC"
check "unanswered greeting ends within the limits ($elapsed s)" test "$elapsed" -le 20
check_contains "unanswered greeting reported" "error: cURL execution failed: " "$ERR"
thaw_ftpd

# A limit that is not a number of seconds (0 would mean no limit at all) is
# refused before anything is sent.
HVX_FTP_STALL_TIMEOUT=0 run "$SITEVAULT" --ftp-download --domain-name $D --dump-file cold \
  --ftp-server "$FTP_SERVER" --ftp-path repo
check_eq "zero stall limit exit" 1 "$RC"
check_contains "zero stall limit reported" \
  'error: cURL setup failed: HVX_FTP_STALL_TIMEOUT is not a number of seconds from 1 to 86400: "0"' \
  "$ERR"

# The same freeze mid-upload on the TLS servers (explicit and implicit) and
# the SSH server, each a private instance in a directory the servers' uid
# can reach. Every process of the server is stopped: the listener and the
# sessions it forked (sshd's sessions are in sessions of their own, so a
# process group would miss them). The stall limit ends the transfer; the
# clean-up of the staged file then meets a server that never answers and
# is given up after the stall limit too, not the connect limit (left at its
# default of 60 s here). A run still going after a minute is killed and
# counted as a failure.
export HVX_FTP_STALL_TIMEOUT=3
unset HVX_FTP_CONNECT_TIMEOUT
SECURE=$(mktemp -d /tmp/hvxfreeze.XXXXXX)
chmod 0711 "$SECURE"
frozen=()
server_tree() {  # PID and its descendants
  local child
  echo "$1"
  for child in $(ps -o pid= --ppid "$1"); do server_tree "$child"; done
}
freeze_tree() { mapfile -t frozen < <(server_tree "$1"); kill -STOP "${frozen[@]}"; }
thaw_tree() { [ "${#frozen[@]}" -eq 0 ] || kill -CONT "${frozen[@]}" 2>/dev/null; frozen=(); }
# Stops the servers and every session they forked: vsftpd's sessions are
# sessions of their own too, and one that met the freeze may never end.
stop_secure() {
  local name pids
  thaw_tree
  for name in ftpes ftps sftp; do
    [ -f "$SECURE/$name/pid" ] || continue
    mapfile -t pids < <(server_tree "$(cat "$SECURE/$name/pid")")
    kill -TERM "${pids[@]}" 2>/dev/null
    if [ $name = sftp ]; then
      "$SRC/testbed/sftp-server" stop "$SECURE/$name" 2>/dev/null
    else
      "$SRC/testbed/ftps-server" stop "$SECURE/$name" 2>/dev/null
    fi
    sleep 0.2
    kill -KILL "${pids[@]}" 2>/dev/null
  done
  # Sessions whose parent went first were handed to init and left the tree;
  # their command lines name this run's own directory.
  pkill -KILL -f -- "$SECURE/" 2>/dev/null || true
}
trap 'thaw_ftpd; stop_ftpd; stop_secure; rm -rf "$SECURE"; cleanup_sandbox' EXIT
# Waits up to a minute for PID to end; its exit status, or 124 after it was
# killed.
wait_bounded() {
  local _
  for _ in $(seq 1 600); do
    kill -0 "$1" 2>/dev/null || { wait "$1"; return; }
    sleep 0.1
  done
  kill -KILL "$1"
  wait "$1"
  return 124
}
for scheme in ftpes ftps sftp; do
  dir=$SECURE/$scheme
  unset HVX_FTP_CA_FILE HVX_SSH_KNOWN_HOSTS
  case $scheme in
    ftpes) port=$("$SRC/testbed/ftps-server" start "$dir" 0 hvxftps "$FTP_PASSWORD") || exit 1
      FTP_LOGIN=hvxftps; export HVX_FTP_CA_FILE=$dir/ca.pem ;;
    ftps) port=$("$SRC/testbed/ftps-server" start --implicit "$dir" 0 hvxftps "$FTP_PASSWORD") || exit 1
      FTP_LOGIN=hvxftps; export HVX_FTP_CA_FILE=$dir/ca.pem ;;
    sftp) port=$("$SRC/testbed/sftp-server" start "$dir" 0 hvxsftp "$FTP_PASSWORD") || exit 1
      FTP_LOGIN=hvxsftp; export HVX_SSH_KNOWN_HOSTS=$dir/known_hosts ;;
  esac
  install -d -o 65534 -g 65534 "$dir/home/repo"
  printf 'older dump\n' > "$dir/home/repo/frozen"
  rm -f "$MAIL_D"/*.eml
  # Only what moves before the freeze is sent: a few MiB of the stream.
  HVXDUMP_PAD_MIB=1024 "$SITEVAULT" --ftp-backup --verbose --domain-name $D --dump-file frozen \
    --desc-file "$SB/tmp/desc" --ftp-server "$scheme://127.0.0.1:$port" --ftp-path repo \
    --email-from bu@example.com --email-to admin@example.com >"$SB/up.out" 2>"$SB/up.err" &
  pid=$!
  check "$scheme: upload started" wait_size "$dir/home/repo/.hvxtmp.*.frozen" 4194304
  freeze_tree "$(cat "$dir/pid")"
  start=$SECONDS
  wait_bounded $pid
  rc=$?
  elapsed=$((SECONDS - start))
  thaw_tree
  echo "$scheme: the stalled upload ended after $elapsed s: $(grep -m1 'cURL execution' "$SB/up.err")"
  check_eq "$scheme: stalled upload exit" 1 "$rc"
  check "$scheme: stalled upload ends within the limits ($elapsed s)" test "$elapsed" -le 20
  check_contains "$scheme: stalled upload reported" \
    "error: cURL execution failed: Operation too slow" "$(cat "$SB/up.err")"
  check_contains "$scheme: stalled upload mail" "Backup process has failed for domain '$D'" \
    "$(mails)"
  check_eq "$scheme: domain on after the stalled upload" on "$(state_of $D)"
  check "$scheme: lock released after the stalled upload" wait_unlocked $D 5
  check_eq "$scheme: older remote dump intact" "older dump" "$(cat "$dir/home/repo/frozen")"
  [ "$rc" -ne 124 ] || { echo "--- $scheme: sitevault killed; its errors:" >&2; cat "$SB/up.err" >&2; }
done
stop_secure
check_eq "no process of the frozen servers left" "" "$(pgrep -f "$SECURE/" | paste -sd' ')"
unset HVX_FTP_STALL_TIMEOUT HVX_FTP_CONNECT_TIMEOUT HVX_FTP_CA_FILE HVX_SSH_KNOWN_HOSTS

finish
