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

# A remote check cut off by the server going away while the large part
# streams through it: an error, never a verdict.
port=$("$SRC/testbed/ftp-server" start "$FTPD" 0 "$FTP_LOGIN" "$FTP_PASSWORD") || exit 1
FTP_SERVER=127.0.0.1:$port
printf 'first part\n' > "$FTPD/home/repo/dl"
truncate -s 3G "$FTPD/home/repo/dl.part2"
"$SITEVAULT" --check-ftp-dump --domain-name $D --dump-file dl --ftp-server "$FTP_SERVER" \
  --ftp-path repo >"$SB/check.out" 2>"$SB/check.err" &
pid=$!
# The most bytes one established connection of PID has received.
received_by() {
  ss -tinpH state established 2>/dev/null | awk -v p="pid=$1," 'index($0, p) { f = 1; next }
    f { if (match($0, /bytes_received:[0-9]+/)) { v = substr($0, RSTART + 15, RLENGTH - 15) + 0
        if (v > m) m = v }; f = 0 } END { print m + 0 }'
}
streaming() {
  for _ in $(seq 1 1200); do
    [ "$(received_by "$pid")" -ge 67108864 ] && return 0
    sleep 0.05
  done
  return 1
}
check "remote check streaming" streaming
stop_ftpd
wait $pid
check_eq "cut remote check exit" 1 "$?"
check_eq "cut remote check gives no verdict" "" "$(grep -x '[01]' "$SB/check.out")"
check_contains "cut remote check reported" "error: cURL execution failed: " "$(cat "$SB/check.err")"
check_eq "cut remote check stored nothing" "" "$(ls -A "$REPO" | grep 'dl\.part\|hvxtmp')"
rm -f "$FTPD/home/repo/dl" "$FTPD/home/repo/dl.part2"

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

# A server session held at one system call (strace's delay, 20 s, on the
# Nth call of each session process): the write probe's listing and its
# deletion over TLS and SSH, a download's listing, and the commit's renames
# (vsftpd renames with rename(2), OpenSSH's SFTP server with link(2)). The
# run gives up within the limits; the held call is carried out once the
# tracer lets go, long after the run ended. A rename carried out that late
# must find the commit record still there: the next run then sees where the
# older files went, and the name holds a whole dump.
export HVX_FTP_CONNECT_TIMEOUT=3
tracer=""
hold_calls() {  # SERVER_PID SYSCALL NTH
  strace -f -qq -o /dev/null -p "$1" -e trace="$2" -e inject="$2:delay_enter=20000000:when=$3" &
  tracer=$!
  sleep 0.5  # attached
}
release_calls() { [ -z "$tracer" ] || { kill "$tracer"; wait "$tracer"; }; tracer=""; }
trap 'release_calls; stop_secure; rm -rf "$SECURE"; cleanup_sandbox' EXIT
start_secure() {  # SCHEME: sets S, R and the login; exports the checks
  local dir=$SECURE/$1 port
  rm -rf "$dir"
  unset HVX_FTP_CA_FILE HVX_SSH_KNOWN_HOSTS
  case $1 in
    ftpes) port=$("$SRC/testbed/ftps-server" start "$dir" 0 hvxftps "$FTP_PASSWORD") || exit 1
      FTP_LOGIN=hvxftps; export HVX_FTP_CA_FILE=$dir/ca.pem ;;
    ftps) port=$("$SRC/testbed/ftps-server" start --implicit "$dir" 0 hvxftps "$FTP_PASSWORD") || exit 1
      FTP_LOGIN=hvxftps; export HVX_FTP_CA_FILE=$dir/ca.pem ;;
    sftp) port=$("$SRC/testbed/sftp-server" start "$dir" 0 hvxsftp "$FTP_PASSWORD") || exit 1
      FTP_LOGIN=hvxsftp; export HVX_SSH_KNOWN_HOSTS=$dir/known_hosts ;;
  esac
  S=$1://127.0.0.1:$port
  R=$dir/home/repo
  install -d -o 65534 -g 65534 "$R"
}
# A split backup or a download of NAME in repo on SERVER, with mail; its
# output in $SB/NAME.out and $SB/NAME.err, its exit status returned.
remote_op() {  # backup|download SERVER NAME
  if [ "$1" = backup ]; then
    HVXDUMP_PAD_MIB=2 "$SITEVAULT" --ftp-backup --verbose --domain-name $D --dump-file "$3" \
      --desc-file "$SB/tmp/desc" --ftp-server "$2" --ftp-path repo --split-size 1 \
      --email-from bu@example.com --email-to admin@example.com >"$SB/$3.out" 2>"$SB/$3.err"
  else
    "$SITEVAULT" --ftp-download --domain-name $D --dump-file "$3" --ftp-server "$2" \
      --ftp-path repo --email-from bu@example.com --email-to admin@example.com \
      >"$SB/$3.out" 2>"$SB/$3.err"
  fi
}
held_run() { remote_op "$1" "$S" held; }  # backup|download
held_case() {  # SCHEME OPERATION SYSCALL NTH
  local rc start elapsed what="$1: $2 held at $3 #$4"
  rm -f "$MAIL_D"/*.eml "$REPO"/held*
  hold_calls "$(cat "$SECURE/$1/pid")" "$3" "$4"
  start=$SECONDS
  held_run "$2"
  rc=$?
  elapsed=$((SECONDS - start))
  release_calls
  check_eq "$what: exit" 1 "$rc"
  check "$what: ends within the limits ($elapsed s)" test "$elapsed" -le 15
  if [ "$2" = backup ]; then
    check_contains "$what: mail" "Backup process has failed for domain '$D'" "$(mails)"
  else
    check_contains "$what: mail" "Download process has failed" "$(mails)"
  fi
  check_eq "$what: domain on" on "$(state_of $D)"
  sleep 1  # the held call carried out
  rm -f "$REPO"/held*
  run "$SITEVAULT" --ftp-download --domain-name $D --dump-file held --ftp-server "$S" \
    --ftp-path repo
  check_exit "$what: the next download" 0
  run "$SITEVAULT" --check-dump --domain-name $D --dump-file held
  check_eq "$what: the dump checks" 0 "$OUT"
  check_eq "$what: nothing staged or probed left" "" "$(ls -A "$R" | grep 'hvxtmp\|write-test')"
}
for scheme in ftpes ftps sftp; do
  start_secure $scheme
  held_run backup
  check_eq "$scheme: the older dump" 0 "$?"
  held_case $scheme backup getdents64 1
  held_case $scheme download getdents64 1
  case $scheme in
    ftpes) held_case $scheme backup unlink 1
      held_case $scheme backup rename 1
      held_case $scheme backup rename 2 ;;
    sftp) held_case $scheme backup link 1 ;;
  esac
done
stop_secure
unset HVX_FTP_STALL_TIMEOUT HVX_FTP_CONNECT_TIMEOUT HVX_FTP_CA_FILE HVX_SSH_KNOWN_HOSTS

# The commit on the server survives a kill after any change it makes. The
# server (testbed/ftp-server's faults) answers RNTO onto an existing name
# with 550 and sends the signal to the run right after its Nth change (STOR,
# RNTO, DELE), for every N until a run gets through. The next run that
# touches the path finishes or undoes the commit: the name then holds a whole
# dump, the older or the new one, that downloads and checks, and nothing of
# the killed run is left on the server.
stop_ftpd
port=$("$SRC/testbed/ftp-server" start "$FTPD" 0 "$FTP_LOGIN" "$FTP_PASSWORD") || exit 1
FTP_SERVER=127.0.0.1:$port
trap 'stop_ftpd; stop_secure; rm -rf "$SECURE"; cleanup_sandbox' EXIT
R=$FTPD/home/repo
rm -rf "$R"; mkdir -p "$R"
touch "$FTPD/refuse-replace"
# A backup of NAME (3 parts, or PARTS) to the repository path, its pid
# written before it starts; the server's fault (NTH SIGNAL) armed when NTH is
# not 0. The shell's report of a killed job is left out.
remote_backup() {  # NAME NTH SIGNAL [DOMAIN [PARTS]]
  rm -f "$FTPD/fault.fired"
  [ "$2" = 0 ] || echo "$2 $3 $SB/run.pid" > "$FTPD/fault"
  HVXDUMP_PAD_MIB=${5:-3} sh -c 'echo $$ > "$0"; exec "$@"' "$SB/run.pid" "$SITEVAULT" --ftp-backup \
    --verbose --domain-name "${4:-$D}" --dump-file "$1" --desc-file "$SB/tmp/desc" \
    --ftp-server "$FTP_SERVER" --ftp-path repo --split-size 1 >"$SB/kill.out" 2>"$SB/kill.err"
}
fetch_checks() {  # NAME DESCRIPTION: the next run's download of NAME gives a good dump
  rm -f "$REPO/$1" "$REPO/$1".part*
  run "$SITEVAULT" --ftp-download --domain-name $D --dump-file "$1" --ftp-server "$FTP_SERVER" \
    --ftp-path repo
  check_exit "$2: the next download" 0
  run "$SITEVAULT" --check-dump --domain-name $D --dump-file "$1"
  check_eq "$2: the dump on the server checks" 0 "$OUT"
  check_eq "$2: as many parts locally as on the server" "$(cd "$R" && ls "$1"* | paste -sd' ')" \
    "$(cd "$REPO" && ls "$1"* | paste -sd' ')"
}
remote_backup kp 0 none "$D" 2
check_eq "older dump of two parts" "kp kp.part2" "$(cd "$R" && ls -A | paste -sd' ')"
older=$(cat "$R"/kp* | sha1sum)
n=1
while [ $n -le 40 ]; do
  remote_backup kp $n KILL 2>/dev/null
  rc=$?
  [ -e "$FTPD/fault.fired" ] || break
  check_eq "kill after change $n: exit" 137 "$rc"
  fetch_checks kp "kill after change $n"
  now=$(cat "$R"/kp* | sha1sum)
  check "kill after change $n: the older dump or a new one of three parts" \
    test "$now" = "$older" -o "$(ls "$R"/kp* | wc -l)" = 3
  check_eq "kill after change $n: nothing staged left" "" "$(ls -A "$R" | grep hvxtmp)"
  older=$now
  n=$((n + 1))
done
check_eq "a run got through, its changes all tried ($n)" 0 "$rc"
check "more than the parts' uploads were tried ($n)" test "$n" -gt 6
rm -f "$FTPD/fault"

# SIGTERM in the middle of the renames: the run fails in order, the next run
# recovers.
remote_backup kp 6 TERM 2>/dev/null
check_eq "terminated during the renames: exit" 143 "$?"
fetch_checks kp "terminated during the renames"
check_eq "terminated during the renames: nothing staged left" "" "$(ls -A "$R" | grep hvxtmp)"

# SIGINT and SIGHUP in the remote commit (the server signals the run after
# its 6th change, moving the older base aside, and its 8th, the new last
# part taken its name): the run ends with 128 + the signal, the domain is on
# and the lock free; the next run finds a whole dump under the name.
for sig in INT HUP; do
  for n in 6 8; do
    remote_backup kp $n $sig 2>/dev/null
    rc=$?
    check_eq "SIG$sig after change $n: exit" $((128 + $(kill -l $sig))) "$rc"
    check_eq "SIG$sig after change $n: domain on" on "$(state_of $D)"
    check "SIG$sig after change $n: lock free" wait_unlocked $D 5
    fetch_checks kp "SIG$sig after change $n"
    check_eq "SIG$sig after change $n: nothing staged left" "" "$(ls -A "$R" | grep hvxtmp)"
  done
done

# A request while the outcome mail is handed over does not stop the mail
# (strace at sitevault's Nth wait for a panel utility: for --ftp-backup the
# 5th, after the switch-off, the begun mail, farstore and the switch-on;
# for --ftp-download the 3rd, after the two switches).
mkdir -p "$FTPD/home/mailrepo"
rm -f "$MAIL_D"/*.eml
HVXDUMP_PAD_MIB=1 run env ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=ppoll \
  -e inject=ppoll:signal=SIGINT:when=5 "$SITEVAULT" --ftp-backup --verbose --domain-name $D \
  --dump-file mailed --desc-file "$SB/tmp/desc" --ftp-server "$FTP_SERVER" --ftp-path mailrepo \
  --email-from bu@example.com --email-to admin@example.com
check_exit "SIGINT during the outcome mail of an upload: exit" 130
check_contains "SIGINT during the outcome mail of an upload: it went out" \
  "Backup process has completed for domain '$D'" "$(mails)"
rm -f "$MAIL_D"/*.eml
run env ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=ppoll \
  -e inject=ppoll:signal=SIGHUP:when=3 "$SITEVAULT" --ftp-download --domain-name $D \
  --dump-file no-such-dump --ftp-server "$FTP_SERVER" --ftp-path mailrepo \
  --email-from bu@example.com --email-to admin@example.com
check_exit "SIGHUP during the failure mail of a download: exit" 129
check_contains "SIGHUP during the failure mail of a download: it went out" \
  "Download process has failed for domain '$D'" "$(mails)"
check_eq "SIGHUP during the failure mail of a download: domain on" on "$(state_of $D)"

# Another host's half-done commit (HVX_HOST_ID stands for the machine) is
# never touched from here; that host's next run recovers it.
HVX_HOST_ID=other-host remote_backup fp 6 KILL 2>/dev/null
check_eq "other host's run killed" 137 "$?"
foreign=$(ls -A "$R" | grep hvxtmp | paste -sd' ')
check "the other host left staging files" test -n "$foreign"
fetch_checks kp "beside another host's commit"
check_eq "another host's staging files stay" "$foreign" "$(ls -A "$R" | grep hvxtmp | paste -sd' ')"
HVX_HOST_ID=other-host run "$SITEVAULT" --ftp-download --domain-name $D --dump-file fp \
  --ftp-server "$FTP_SERVER" --ftp-path repo
check_exit "the other host's next run" 0
check_eq "the other host's run recovered its commit" "" "$(ls -A "$R" | grep hvxtmp)"
run "$SITEVAULT" --check-dump --domain-name $D --dump-file fp
check_eq "the other host's dump checks" 0 "$OUT"

# A run that is alive (stopped after its first part; changes 1 and 2 are the
# write test's probe) keeps its staged part while another domain's run works
# on the same path; once going again it finishes.
mkdir -p "$DUMP_D/other.example"
rm -f "$FTPD/fault.fired"
remote_backup lp 3 STOP other.example &
bg=$!
for _ in $(seq 1 200); do [ -e "$FTPD/fault.fired" ] && break; sleep 0.05; done
live=$(ls -A "$R" | grep hvxtmp | paste -sd' ')
check "the stopped run staged a part" test -n "$live"
fetch_checks kp "beside a live run"
check_eq "a live run's staged part stays" "$live" "$(ls -A "$R" | grep hvxtmp | paste -sd' ')"
kill -CONT "$(cat "$SB/run.pid")"
wait $bg
check_eq "the stopped run finishes" 0 "$?"
check_eq "only whole dumps on the server" "fp fp.part2 fp.part3 kp kp.part2 kp.part3 lp lp.part2 lp.part3" \
  "$(cd "$R" && ls -A | paste -sd' ')"

# A server frozen at one command of a run (testbed/ftp-server's freeze
# file: the Nth line WHAT, GREETING for a connection's greeting, is never
# answered). server: the whole server stops until thawed and then answers
# what waited, late; session: that connection alone stays silent. Each run
# ends within the limits with its failure mail and the domain on, and once
# a later run touched the path the name holds a whole dump (the older or the
# new one) and nothing staged of this host is left. farstore's write test
# (the first connection) is bounded by the same limits; a listing with
# "NLST -a" that never answers fails the run instead of being taken for a
# server that does not know "-a" (recovery would miss a killed run's record).
export HVX_FTP_STALL_TIMEOUT=3 HVX_FTP_CONNECT_TIMEOUT=3
rm -f "$FTPD/fault"
ftpd_pid=$(cat "$FTPD/pid")
trap 'kill -CONT $ftpd_pid; stop_ftpd; stop_secure; rm -rf "$SECURE"; cleanup_sandbox' EXIT
frozen_case() {  # OPERATION WHAT NTH MODE
  local rc start=$SECONDS elapsed what="$1 frozen at $2 #$3 ($4)" fired=no
  rm -f "$MAIL_D"/*.eml "$FTPD/freeze.fired" "$REPO"/fz*
  echo "$3 $4 $2" > "$FTPD/freeze"
  remote_op "$1" "$FTP_SERVER" fz
  rc=$?
  elapsed=$((SECONDS - start))
  [ -e "$FTPD/freeze.fired" ] && fired=yes
  kill -CONT "$ftpd_pid"
  rm -f "$FTPD/freeze"
  check_eq "$what: the freeze was met" yes "$fired"
  check_eq "$what: exit" 1 "$rc"
  check "$what: ends within the limits ($elapsed s)" test "$elapsed" -le 15
  if [ "$1" = backup ]; then
    check_contains "$what: mail" "Backup process has failed for domain '$D'" "$(mails)"
  else
    check_contains "$what: mail" "Download process has failed" "$(mails)"
  fi
  check_eq "$what: domain on" on "$(state_of $D)"
  check "$what: lock released" wait_unlocked $D 5
  [ "$rc" = 1 ] || echo "--- $what: $(paste -sd'|' "$SB/fz.err")" >&2
  sleep 0.3  # what the thawed server answers late, to connections gone
  fetch_checks fz "$what"
  check_eq "$what: nothing staged left" "" "$(ls -A "$R" | grep hvxtmp)"
}
remote_backup fz 0 none "$D" 2
for point in "GREETING 1 server" "STOR 1 session" "DELE 1 server" "GREETING 2 session" \
  "USER 2 server" "NLST 1 server" "NLST -a 1 session" "NLST -a 2 server" "SIZE 1 session" \
  "STOR 2 server" "SIZE 3 server" "NLST -a 3 session" "STOR 4 server" "RNFR 1 session" \
  "RNTO 1 server" "RNTO 3 session" "RNTO 4 server"; do
  read -r -a p <<<"$point"
  frozen_case backup "${p[*]:0:${#p[@]}-2}" "${p[-2]}" "${p[-1]}"
done
for point in "GREETING 1 server" "USER 1 session" "NLST -a 1 session" "NLST 2 server" \
  "SIZE 1 session" "RETR 2 server"; do
  read -r -a p <<<"$point"
  frozen_case download "${p[*]:0:${#p[@]}-2}" "${p[-2]}" "${p[-1]}"
done
unset HVX_FTP_STALL_TIMEOUT HVX_FTP_CONNECT_TIMEOUT

finish
