#!/usr/bin/env bash
# An FTP server that goes away in the middle of an upload and of a download:
# the operations fail cleanly, report, switch the domain back on and leave
# nothing of a failed download behind. Uses a private server it can stop.
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
  local i f
  for i in $(seq 1 1200); do
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

finish
