#!/usr/bin/env bash
# FTP backup, rotation on the server and FTP download with the real binary,
# a sandbox and the loopback FTP server of the test run.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/signing_lib.sh"
new_sandbox
D=example.com
REPO=$DUMP_D/$D
mkdir -p "$REPO"
echo "nightly" > "$SB/tmp/desc"
FTP_SERVER=127.0.0.1:$(test_env HVX_TEST_FTP_PORT)
FTP_HOME=$(test_env HVX_TEST_FTP_HOME)
export FTP_LOGIN FTP_PASSWORD
FTP_LOGIN=$(test_env HVX_TEST_FTP_LOGIN)
FTP_PASSWORD=$(test_env HVX_TEST_FTP_PASSWORD)
P=e2e-$$
mkdir -p "$FTP_HOME/$P"
REMOTE=$FTP_HOME/$P
content_sum() { (cd "$SITES" && tar --sort=name -cf - "$1" | sha1sum | cut -d' ' -f1); }
mails() { cat "$MAIL_D"/*.eml 2>/dev/null; }
clear_mail() { rm -f "$MAIL_D"/*.eml; }
state_of() { cat "$SB/var/sandbox/sitectl/$1"; }
remote_names() { (cd "$REMOTE" && ls -1 | paste -sd' '); }
# Standard output of a remote command carries only what the man page says:
# its messages, each also on standard error (none after a plain success),
# the warning about a split size below 500, and nothing of libcurl's (FTP
# pseudo headers such as "Content-Length:").
check_stdout() {  # DESCRIPTION: for the last run
  check_eq "$1: only the messages on stdout" "$ERR" \
    "$(grep -v '^Command line options error: wrong option --split-size value: ' <<<"$OUT")"
}
ftp_download() {  # DUMP [OPTIONS]
  local dump=$1; shift
  run "$SITEVAULT" --ftp-download --domain-name $D --dump-file "$dump" \
    --ftp-server "$FTP_SERVER" --ftp-path "$P" --email-from bu@example.com \
    --email-to admin@example.com "$@"
}
ftp_backup() {
  run "$SITEVAULT" --ftp-backup --domain-name $D --desc-file "$SB/tmp/desc" \
    --ftp-server "$FTP_SERVER" --ftp-path "$P" --email-from bu@example.com \
    --email-to admin@example.com "$@"
}

run "$SITEVAULT" --gen-server-keys
check_eq "key generation exit" 1 "$RC"

# An older dump as rotation sees one: its last file ends with well-formed
# signature lines (only such dumps count as kept, or are deleted).
old_dump() { printf 'old\nMagic1: %s\nMagic2: 00\n' "$(printf '%040d' 0)" > "$1"; }

# A split FTP backup with rotation: older dumps of the series go, other
# series and other files stay.
for n in 2001.01.01_10.00 2001.01.02_10.00 2001.01.03_10.00; do old_dump "$REMOTE/s_$n"; done
old_dump "$REMOTE/s_2001.01.02_10.00.part2"
echo other > "$REMOTE/s_x_2000.01.01_10.00"
echo other > "$REMOTE/notes.txt"
before=$(content_sum $D)
HVXDUMP_PAD_MIB=3 ftp_backup --verbose --split-size 1 --rotate-dump-files \
  --dump-file-prefix s --max-dump-files 2
check_eq "ftp backup exit" 0 "$RC"
check_stdout "split ftp backup with rotation"
dump=$(cd "$REMOTE" && ls -1 | grep -E '^s_[0-9]{4}\.[0-9.]{5}_[0-9.]{5}$' | sort | tail -n 1)
check_eq "rotation keeps the new dump, the newest old one, other series and files" \
  "notes.txt s_2001.01.03_10.00 ${dump} ${dump}.part2 ${dump}.part3 s_x_2000.01.01_10.00" \
  "$(remote_names)"
check_eq "full part on the server holds the split size" 1048576 "$(stat -c %s "$REMOTE/$dump")"
check_eq "nothing of the dump written locally" "" "$(ls "$REPO" | grep '^s_')"
check_contains "write test ran with the server" "--writing-test --server $FTP_SERVER --basedir ." \
  "$(cat "$SB/var/sandbox/farstore.log")"
check_contains "begun mail" "Backup process has begun for domain '$D'" "$(mails)"
check_contains "completed mail" "Backup process has completed for domain '$D'" "$(mails)"
check_eq "domain switched back on" on "$(state_of $D)"

# curl on its own fetches the parts; their concatenation checks with sha1sum.
for f in "$dump" "$dump.part2" "$dump.part3"; do
  curl -sS -u "$FTP_LOGIN:$FTP_PASSWORD" "ftp://$FTP_SERVER/$P/$f"
done > "$SB/fetched"
digest=$(head -n -2 "$SB/fetched" | sha1sum | cut -d' ' -f1)
check_eq "Magic1 of the uploaded stream" "Magic1: $digest" "$(tail -n 2 "$SB/fetched" | head -n 1)"

# An unsigned file under a series name (a dump cut short) is neither counted
# as a kept dump nor deleted by the rotation; curl sees it as it was.
printf 'cut short\n' > "$REMOTE/u_2000.01.03_10.00"
old_dump "$REMOTE/u_2000.01.02_10.00"
old_dump "$REMOTE/u_2000.01.01_10.00"
ftp_backup --verbose --rotate-dump-files --dump-file-prefix u --max-dump-files 2
check_eq "ftp: rotation with an unsigned file exit" 0 "$RC"
check_contains "ftp: the unsigned file reported" \
  'Rotation neither counts nor removes "u_2000.01.03_10.00"' "$ERR"
udump=$(cd "$REMOTE" && ls -1 | grep -E '^u_[0-9]{4}\.[0-9.]{5}_[0-9.]{5}$' | sort | tail -n 1)
check_eq "ftp: the unsigned file neither counted nor deleted" \
  "u_2000.01.02_10.00 u_2000.01.03_10.00 $udump" \
  "$(curl -sS --list-only -u "$FTP_LOGIN:$FTP_PASSWORD" "ftp://$FTP_SERVER/$P/" | grep '^u_' | sort | paste -sd' ')"
check_eq "ftp: the unsigned file unchanged" "cut short" \
  "$(curl -sS -u "$FTP_LOGIN:$FTP_PASSWORD" "ftp://$FTP_SERVER/$P/u_2000.01.03_10.00")"
rm -f "$REMOTE"/u_*

# Calendar retention on the server, each rule alone, over copies of a
# genuinely signed dump: what the rule keeps stays with the dump just
# uploaded; the rest of the series goes, an unsigned file and other names
# (another series, a name reaching out of the directory) stay.
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file cal-src --desc-file "$SB/tmp/desc"
check_exit "a signed dump to plant" 0
plant_remote_calendar() {
  rm -f "$REMOTE"/c_*
  for s in 2099.01.10_10.00 2099.01.09_10.00 2099.01.02_10.00 2098.12.31_10.00 \
    2098.12.28_10.00 2097.06.01_10.00; do
    cp "$REPO/cal-src" "$REMOTE/c_$s"
  done
  printf 'cut short\n' > "$REMOTE/c_2099.01.05_10.00"
  cp "$REPO/cal-src" "$REMOTE/c_x_2000.01.01_10.00"
}
while IFS='|' read -r rule want; do
  plant_remote_calendar
  # shellcheck disable=SC2086 # the rule is an option and its value
  ftp_backup --verbose --rotate-dump-files --dump-file-prefix c $rule
  check_exit "ftp $rule: backup" 0
  check_stdout "ftp $rule"
  check_eq "ftp $rule: the dumps kept" "$want" "$(cd "$REMOTE" && ls -1 c_209* c_x_* | paste -sd' ')"
  check_eq "ftp $rule: the dump just uploaded kept" 1 "$(ls "$REMOTE" | grep -c '^c_20[0-8]')"
done <<'RULES'
--keep-daily 2|c_2099.01.05_10.00 c_2099.01.09_10.00 c_2099.01.10_10.00 c_x_2000.01.01_10.00
--keep-weekly 2|c_2099.01.02_10.00 c_2099.01.05_10.00 c_2099.01.10_10.00 c_x_2000.01.01_10.00
--keep-monthly 2|c_2098.12.31_10.00 c_2099.01.05_10.00 c_2099.01.10_10.00 c_x_2000.01.01_10.00
--keep-yearly 3|c_2097.06.01_10.00 c_2098.12.31_10.00 c_2099.01.05_10.00 c_2099.01.10_10.00 c_x_2000.01.01_10.00
--keep-within 9|c_2099.01.02_10.00 c_2099.01.05_10.00 c_2099.01.09_10.00 c_2099.01.10_10.00 c_x_2000.01.01_10.00
RULES
check_contains "ftp: verbose names the rule" 'Rotation keeps "c_2099.01.10_10.00" (--keep-within)' "$ERR"
rm -f "$REMOTE"/c_* "$REPO/cal-src"

# Download, check and restore give the domain's content back.
run "$SITEVAULT" --ftp-download --domain-name $D --dump-file "$dump" --ftp-server "$FTP_SERVER" \
  --ftp-path "$P" --email-from bu@example.com --email-to admin@example.com
check_eq "ftp download exit" 0 "$RC"
check_stdout "ftp download"
check_eq "every part fetched" "$dump $dump.part2 $dump.part3" \
  "$(cd "$REPO" && ls -1 | grep '^s_' | paste -sd' ')"
run "$SITEVAULT" --check-dump --domain-name $D --dump-file "$dump"
check_eq "downloaded dump checks" 0 "$OUT"
rm -rf "${SITES:?}/$D"
run "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D --domain-ip 192.0.2.10 \
  --dump-file "$dump"
check_eq "restore exit" 0 "$RC"
check_eq "content restored byte for byte" "$before" "$(content_sum $D)"

# The remote copy checked where it lies, streamed and stored nowhere: a
# good split dump, a part damaged on the server, a dump signed by another
# key, a part missing, no dump at all.
ftp_check() {
  run "$SITEVAULT" --check-ftp-dump --domain-name $D --dump-file "$1" --ftp-server "$FTP_SERVER" \
    --ftp-path "$P"
}
repo_before=$(ls -A "$REPO")
ftp_check "$dump"
check_exit "remote check of a good split dump" 0
check_eq "remote check: good" 0 "$OUT"
check_eq "remote check stores nothing" "$repo_before" "$(ls -A "$REPO")"
for f in "" .part2 .part3; do cp "$REMOTE/$dump$f" "$REMOTE/dmg$f"; done
python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(1000); c = f.read(1)
f.seek(1000); f.write(bytes([c[0] ^ 1]))' "$REMOTE/dmg.part2"
ftp_check dmg
check_eq "remote check: a damaged part" 1 "$(tail -n 1 <<<"$OUT")"
check_contains "remote check: the corrupted message" "Dump dmg is corrupted - checksum mismatch" "$ERR"
check_exit "remote check with a verdict" 0
openssl genrsa -traditional -out "$SB/tmp/other.pem" 1024 2>/dev/null
printf 'small dump\n' > "$SB/tmp/small"
write_signed_dump "$SB/tmp/small" "$REMOTE/alien" 0 "$SB/tmp/other.pem"
ftp_check alien
check_eq "remote check: another key" 1 "$(tail -n 1 <<<"$OUT")"
check_contains "remote check: the other-key message" "Dump alien is signed by another key" "$ERR"
cp "$REMOTE/$dump" "$REMOTE/gap"; cp "$REMOTE/$dump.part3" "$REMOTE/gap.part3"
ftp_check gap
check_exit "remote check: a part missing" 1
check_contains "remote check: the missing part named" 'The dump "gap" on the FTP server is incomplete: its part 2 is missing' "$ERR"
check_not_contains "remote check: no verdict without the whole dump" $'\n1' $'\n'"$OUT"
ftp_check absent
check_exit "remote check: no such dump" 1
check_eq "remote check: only the message" "$ERR" "$OUT"

# The remote inventory: the same columns as the local one; the state read
# from the tail of each last file, the time from the stamp of a series name
# or the server's time of the last file; staging leftovers are no dumps.
printf 'no signature\n' > "$REMOTE/plain"
printf 'staged\n' > "$REMOTE/.hvxtmp.0-0-1-1.s_2022.01.01_10.00"
iso() { date -d "$1" +%Y-%m-%dT%H:%M:%S%:z; }
n=5; for f in plain notes.txt gap.part3 dmg.part3 alien; do touch -d "2010-01-0$n 10:00:00" "$REMOTE/$f"; n=$((n - 1)); done
run "$SITEVAULT" --list-dumps --domain-name $D --ftp-server "$FTP_SERVER" --ftp-path "$P"
check_exit "remote list-dumps" 0
check_eq "remote inventory: newest first, split, damaged, unsigned and incomplete dumps" \
  "$dump	3	$(cat "$REMOTE/$dump"* | wc -c)	$(iso "$(sed 's/^s_\(....\).\(..\).\(..\)_\(..\).\(..\)/\1-\2-\3 \4:\5/' <<<"$dump")")	signed
plain	1	13	$(iso '2010-01-05 10:00:00')	unsigned
notes.txt	1	6	$(iso '2010-01-04 10:00:00')	unsigned
gap	2	$(cat "$REMOTE/gap"* | wc -c)	$(iso '2010-01-03 10:00:00')	incomplete
dmg	3	$(cat "$REMOTE/dmg"* | wc -c)	$(iso '2010-01-02 10:00:00')	signed
alien	1	$(stat -c %s "$REMOTE/alien")	$(iso '2010-01-01 10:00:00')	signed
s_2001.01.03_10.00	1	$(stat -c %s "$REMOTE/s_2001.01.03_10.00")	$(iso '2001-01-03 10:00')	signed
s_x_2000.01.01_10.00	1	6	$(iso '2000-01-01 10:00')	unsigned" "$OUT"
run "$SITEVAULT" --list-dumps --json --domain-name $D --ftp-server "$FTP_SERVER" --ftp-path "$P"
check "remote inventory: json well formed" python3 -m json.tool <<<"$OUT"
rm -f "$REMOTE"/dmg* "$REMOTE"/gap* "$REMOTE/alien" "$REMOTE/plain" "$REMOTE"/.hvxtmp.*

# A damaged remote copy never costs the good local dump of that name: the
# download fails, mails, and leaves the local files as they were.
local_sum=$(cat "$REPO/$dump"* | sha1sum)
sed -i '2s/example.com/exampl3.com/' "$REMOTE/$dump"
clear_mail
run "$SITEVAULT" --ftp-download --domain-name $D --dump-file "$dump" --ftp-server "$FTP_SERVER" \
  --ftp-path "$P" --email-from bu@example.com --email-to admin@example.com
check_eq "tampered download exit" 1 "$RC"
check_contains "tampered download message" "Dump signature verification failed for $dump" "$ERR"
check_contains "tampered download reason" "is corrupted - checksum mismatch" "$ERR"
check_contains "tampered download mail" "Download process has failed" "$(mails)"
check_contains "tampered download mail says why" "Dump signature verification failed for $dump" \
  "$(mails)"
check_stdout "tampered download"
check_eq "good local dump intact" "$local_sum" "$(cat "$REPO/$dump"* | sha1sum)"
check_eq "nothing staged left" "" "$(ls -A "$REPO" | grep hvxtmp)"
check_eq "domain on after the download" on "$(state_of $D)"

# A good download over a local dump with more parts leaves exactly the new
# dump's files.
sed -i '2s/exampl3.com/example.com/' "$REMOTE/$dump"
echo stale > "$REPO/$dump.part7"
run "$SITEVAULT" --ftp-download --domain-name $D --dump-file "$dump" --ftp-server "$FTP_SERVER" \
  --ftp-path "$P"
check_eq "download over a longer local dump" 0 "$RC"
check_eq "exactly the new dump's files" "$dump $dump.part2 $dump.part3" \
  "$(cd "$REPO" && ls -1 | grep '^s_' | paste -sd' ')"

# A dump that is not on the server, a server that is not there, a refused
# login: each fails, says why, and mails the reason.
clear_mail
ftp_download absent
check_eq "missing dump exit" 1 "$RC"
check_contains "missing dump message" 'Unable to find the dump "absent" on the FTP server' "$ERR"
check_contains "missing dump mail" "Download process has failed" "$(mails)"
check_contains "missing dump mail says why" 'Unable to find the dump "absent" on the FTP server' \
  "$(mails)"
check_stdout "missing dump"
clear_mail
closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
FTP_SERVER=127.0.0.1:$closed ftp_download "$dump"
check_eq "unreachable server exit" 1 "$RC"
check_contains "unreachable server mail" "Download process has failed" "$(mails)"
check_contains "unreachable server mail says why" "error: cURL execution failed: " "$(mails)"
check_stdout "unreachable server"
clear_mail
FTP_PASSWORD=not-the-pw-$$ ftp_download "$dump"
check_eq "refused login exit" 1 "$RC"
check_contains "refused login mail says why" "error: cURL execution failed: " "$(mails)"
check_not_contains "refused login mail: no password" "not-the-pw-$$" "$(mails)"
check_stdout "refused login"

# The write test fails: no dump is made, the mail says why.
touch "$SB/var/sandbox/farstore-fail"
clear_mail
names_before=$(remote_names)
ftp_backup --verbose --dump-file refused
check_eq "failed write test exit" 1 "$RC"
check_stdout "failed write test"
check_contains "write test message" "An error occured during writing file on to ftp server." "$ERR"
check_contains "failure mail" "Backup process has failed for domain '$D'" "$(mails)"
check_contains "failure mail carries the message" "An error occured during writing file on to ftp server." "$(mails)"
check_eq "nothing uploaded" "$names_before" "$(remote_names)"
check_eq "domain on after the refused write test" on "$(state_of $D)"
rm -f "$SB/var/sandbox/farstore-fail"

# Re-used names on the server: a good split dump, then a writer that dies
# halfway over it (the older dump stays, nothing of the broken one remains),
# then a smaller dump that leaves exactly its own files.
HVXDUMP_PAD_MIB=3 ftp_backup --verbose --dump-file halfway --split-size 1
check_eq "split dump under a re-used name" 0 "$RC"
names_before=$(remote_names)
sum_before=$(cat "$REMOTE"/halfway* | sha1sum)
clear_mail
HVXDUMP_FAIL_AFTER_MIB=2 ftp_backup --verbose --dump-file halfway --split-size 1
check_eq "failed writer exit" 1 "$RC"
check_contains "failed writer mail" "Backup process has failed for domain '$D'" "$(mails)"
check_eq "no part of the broken dump on the server" "$names_before" "$(remote_names)"
check_eq "older remote dump intact" "$sum_before" "$(cat "$REMOTE"/halfway* | sha1sum)"
check_eq "no staged file left on the server" "" "$(ls -A "$REMOTE" | grep hvxtmp)"
ftp_backup --verbose --dump-file halfway
check_eq "smaller dump under the same name" 0 "$RC"
check_eq "only the new dump's file left" "halfway" "$(ls -A "$REMOTE" | grep halfway)"
run "$SITEVAULT" --ftp-download --domain-name $D --dump-file halfway --ftp-server "$FTP_SERVER" \
  --ftp-path "$P"
run "$SITEVAULT" --check-dump --domain-name $D --dump-file halfway
check_eq "the smaller dump checks after download" 0 "$OUT"

# The credentials reach the write test only: the dump writer's environment
# holds neither, though this run got them through the environment.
HVX_SSH_KEY_PASSPHRASE=unused HVXDUMP_ENV_FILE=$SB/dump.env ftp_backup --verbose --dump-file envcheck
check_eq "backup with the credentials in the environment" 0 "$RC"
check_not_contains "no password for the dump writer" "FTP_PASSWORD" "$(cat "$SB/dump.env")"
check_not_contains "no login for the dump writer" "FTP_LOGIN" "$(cat "$SB/dump.env")"
check_not_contains "no key passphrase for the dump writer" "PASSPHRASE" "$(cat "$SB/dump.env")"

# Detached: the foreground ends at once, the background finishes the upload.
clear_mail
ftp_backup --dump-file "detached dump #1"
check_eq "detached foreground exit" 0 "$RC"
check "detached backup releases the lock" wait_unlocked $D
for _ in $(seq 1 20); do mails | grep -q "has completed" && break; sleep 0.5; done
check_contains "detached completed mail" "Backup process has completed" "$(mails)"
check "detached dump on the server" test -s "$REMOTE/detached dump #1"

# A domain kept only on the server has no local repository: the FTP backup
# creates it (for its lock file and logs) as the download does, and mails.
mv "$REPO" "$SB/repo.aside"
clear_mail
ftp_backup --verbose --dump-file remote-only
check_exit "ftp backup without a local repository" 0
check "ftp backup without a local repository: dump on the server" test -s "$REMOTE/remote-only"
check_contains "ftp backup without a local repository: completed mail" \
  "Backup process has completed for domain '$D'" "$(mails)"
check_eq "ftp backup without a local repository: repository made" "750 hvxadm" \
  "$(stat -c '%a %U' "$REPO")"
check_eq "ftp backup without a local repository: domain on" on "$(state_of $D)"
# A link in the repository's place is refused both ways; nothing is written
# where it points, nothing is uploaded.
rm -rf "$REPO"
mkdir -m 700 "$SB/victimdir"
ln -s "$SB/victimdir" "$REPO"
names_before=$(remote_names)
ftp_backup --verbose --dump-file via-link
check_exit "ftp backup through a linked repository refused" 1
run "$SITEVAULT" --ftp-download --domain-name $D --dump-file remote-only \
  --ftp-server "$FTP_SERVER" --ftp-path "$P"
check_exit "ftp download into a linked repository refused" 1
check_eq "linked repository: nothing written behind the link" "" "$(ls -A "$SB/victimdir")"
check_eq "linked repository: nothing uploaded" "$names_before" "$(remote_names)"
rm -f "$REPO"
mv "$SB/repo.aside" "$REPO"

# The same operations over FTP with explicit TLS, implicit TLS and SFTP, each
# server checked as it is by default (the test CA, the known-hosts file).
SECURE_PW=$(test_env HVX_TEST_SECURE_PASSWORD)
RUID=$(test_env HVX_TEST_REMOTE_UID)
FTPES=ftpes://127.0.0.1:$(test_env HVX_TEST_FTPES_PORT)
FTPES_LOG=$(test_env HVX_TEST_FTPES_STATE)/vsftpd.log
SFTP_STATE=$(test_env HVX_TEST_SFTP_STATE)
SFTP=sftp://127.0.0.1:$(test_env HVX_TEST_SFTP_PORT)
use_transport() {  # sets S_SERVER, S_HOME and the login; exports the checks
  unset HVX_FTP_CA_FILE HVX_FTP_PINNED_KEY HVX_SSH_KNOWN_HOSTS HVX_SSH_HOST_KEY_SHA256 \
    HVX_SSH_KEY_FILE HVX_SSH_KEY_PASSPHRASE
  FTP_PASSWORD=$SECURE_PW
  case $1 in
    ftpes) S_SERVER=$FTPES; S_HOME=$(test_env HVX_TEST_FTPES_HOME); FTP_LOGIN=hvxftps
      export HVX_FTP_CA_FILE; HVX_FTP_CA_FILE=$(test_env HVX_TEST_FTPES_CA) ;;
    ftps) S_SERVER=ftps://127.0.0.1:$(test_env HVX_TEST_FTPS_PORT)
      S_HOME=$(test_env HVX_TEST_FTPS_HOME); FTP_LOGIN=hvxftps
      export HVX_FTP_CA_FILE; HVX_FTP_CA_FILE=$(test_env HVX_TEST_FTPS_CA) ;;
    sftp) S_SERVER=$SFTP; S_HOME=$(test_env HVX_TEST_SFTP_HOME); FTP_LOGIN=hvxsftp
      export HVX_SSH_KNOWN_HOSTS=$SFTP_STATE/known_hosts ;;
  esac
  R=$S_HOME/$P
  [ -d "$R" ] || install -d -o "$RUID" -g "$RUID" "$R"
}
secure_backup() {
  run "$SITEVAULT" --ftp-backup --verbose --domain-name $D --desc-file "$SB/tmp/desc" \
    --ftp-server "$S_SERVER" --ftp-path "$P" "$@"
}
secure_download() {
  run "$SITEVAULT" --ftp-download --domain-name $D --ftp-server "$S_SERVER" --ftp-path "$P" \
    --dump-file "$@"
}
in_remote() { (cd "$R" && ls -A | paste -sd' '); }
curl_remote() {  # [CURL OPTION] NAME: the file (or, with --list-only and "", the listing) by curl
  local url opts=(-sS -u "$FTP_LOGIN:$FTP_PASSWORD")
  [ -n "$1" ] && opts+=("$1")
  case $scheme in
    ftpes) opts+=(--ssl-reqd --cacert "$HVX_FTP_CA_FILE"); url=ftp://${S_SERVER#*://}/$P/ ;;
    ftps) opts+=(--cacert "$HVX_FTP_CA_FILE"); url=$S_SERVER/$P/ ;;
    sftp) opts+=(--insecure); url=$S_SERVER/~/$P/ ;;
  esac
  curl "${opts[@]}" "$url$2"
}
in_repo() { (cd "$REPO" && ls -1 | grep "^$1" | paste -sd' '); }

before=$(content_sum $D)
for scheme in ftpes ftps sftp; do
  use_transport $scheme
  # A split backup with rotation; no write-test utility (it speaks plain FTP
  # only), the probe file gone.
  for n in 2001.01.01_10.00 2001.01.02_10.00; do old_dump "$R/t_$n"; done
  : > "$SB/var/sandbox/farstore.log"
  HVXDUMP_PAD_MIB=3 secure_backup --split-size 1 --rotate-dump-files --dump-file-prefix t \
    --max-dump-files 2
  check_exit "$scheme: backup exit" 0
  check_stdout "$scheme: split backup with rotation"
  dump=$(cd "$R" && ls -1 | grep -E '^t_[0-9]{4}\.[0-9.]{5}_[0-9.]{5}$' | sort | tail -n 1)
  check_eq "$scheme: parts and rotation" "t_2001.01.02_10.00 $dump $dump.part2 $dump.part3" \
    "$(in_remote)"
  check_eq "$scheme: full part holds the split size" 1048576 "$(stat -c %s "$R/$dump")"
  check_eq "$scheme: no write-test utility" "" "$(cat "$SB/var/sandbox/farstore.log")"
  check_eq "$scheme: new files are the owner's only" 600 "$(stat -c %a "$R/$dump.part2")"

  # Download, check and restore byte for byte.
  secure_download "$dump"
  check_exit "$scheme: download exit" 0
  check_stdout "$scheme: download"
  check_eq "$scheme: every part fetched" "$dump $dump.part2 $dump.part3" "$(in_repo t_)"
  run "$SITEVAULT" --check-dump --domain-name $D --dump-file "$dump"
  check_eq "$scheme: downloaded dump checks" 0 "$OUT"
  # The remote copy checked and listed without fetching it.
  run "$SITEVAULT" --check-ftp-dump --domain-name $D --dump-file "$dump" --ftp-server "$S_SERVER" \
    --ftp-path "$P"
  check_eq "$scheme: remote check of the split dump" 0 "$OUT"
  printf 'no signature\n' > "$R/plain"
  touch -d '2010-01-05 10:00:00' "$R/plain"
  run "$SITEVAULT" --list-dumps --domain-name $D --ftp-server "$S_SERVER" --ftp-path "$P"
  check_eq "$scheme: remote inventory" "$dump	3	$(cat "$R/$dump"* | wc -c)	signed
plain	1	13	unsigned
t_2001.01.02_10.00	1	$(stat -c %s "$R/t_2001.01.02_10.00")	signed" "$(cut -f1,2,3,5 <<<"$OUT")"
  check_eq "$scheme: the server's time of a file" "$(date -d '2010-01-05 10:00:00' +%Y-%m-%dT%H:%M:%S%:z)" \
    "$(grep '^plain' <<<"$OUT" | cut -f4)"
  rm -f "$R/plain"
  rm -rf "${SITES:?}/$D"
  run "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D \
    --domain-ip 192.0.2.10 --dump-file "$dump"
  check_eq "$scheme: restore exit" 0 "$RC"
  check_eq "$scheme: content restored byte for byte" "$before" "$(content_sum $D)"
  rm -f "$REPO"/t_*

  # A re-used name: the split dump is replaced by a one-file dump of the same
  # name (renamed over the older file), its extra parts deleted.
  HVXDUMP_PAD_MIB=2 secure_backup --split-size 1 --dump-file "again it's"
  check_eq "$scheme: split dump under a re-used name" 0 "$RC"
  secure_backup --dump-file "again it's"
  check_eq "$scheme: one-file dump over it" 0 "$RC"
  check_eq "$scheme: only the new dump's file" "again it's" "$(ls -A "$R" | grep again)"
  secure_download "again it's"
  check_eq "$scheme: the re-used name downloads and checks" 0 "$RC"
  check_eq "$scheme: nothing staged left" "" "$(ls -A "$R" | grep hvxtmp)"

  # An unsigned file under a series name (a dump cut short) is neither
  # counted as a kept dump nor deleted: keeping two keeps the new dump and
  # the newest signed one, and the unsigned one stays as it was.
  printf 'cut short\n' > "$R/u_2000.01.03_10.00"
  old_dump "$R/u_2000.01.02_10.00"
  old_dump "$R/u_2000.01.01_10.00"
  secure_backup --rotate-dump-files --dump-file-prefix u --max-dump-files 2
  check_exit "$scheme: rotation with an unsigned file" 0
  check_contains "$scheme: the unsigned file reported" \
    'Rotation neither counts nor removes "u_2000.01.03_10.00"' "$ERR"
  udump=$(cd "$R" && ls -1 | grep -E '^u_[0-9]{4}\.[0-9.]{5}_[0-9.]{5}$' | sort | tail -n 1)
  check_eq "$scheme: the unsigned file neither counted nor deleted" \
    "u_2000.01.02_10.00 u_2000.01.03_10.00 $udump" "$(curl_remote --list-only "" | grep '^u_' | sort | paste -sd' ')"
  check_eq "$scheme: the unsigned file unchanged" "cut short" "$(curl_remote "" u_2000.01.03_10.00)"
  rm -rf "${R:?}"/*
done

# The server's identity: a certificate from another CA, a key that is not the
# pinned one, an unknown or changed host key fail before anything is
# uploaded, and say why. A pin alone (no CA) is enough.
new_files() { ls -A "$R" | grep -v '^seen$' | paste -sd' '; }
passes() { grep -c '"PASS <password>"' "$FTPES_LOG"; }
identity_refused() {  # DESCRIPTION REASON
  local before_pass
  before_pass=$(passes)
  secure_backup --dump-file refused
  check_eq "$1: exit" 1 "$RC"
  check_contains "$1: says why" "$2" "$ERR"
  check_contains "$1: write test message" "An error occured during writing file on to ftp server." "$ERR"
  check_eq "$1: nothing uploaded" "" "$(new_files)"
  [ "$scheme" = sftp ] || check_eq "$1: no password sent" "$before_pass" "$(passes)"
}
scheme=ftpes
use_transport ftpes
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=other CA" \
  -keyout "$SB/other-ca.key" -out "$SB/other-ca.pem" 2>/dev/null
HVX_FTP_CA_FILE=$SB/other-ca.pem identity_refused "certificate from another CA" \
  "SSL certificate problem"
# A verification file that is not there is an error, not the system's store.
HVX_FTP_CA_FILE=$SB/missing-ca.pem identity_refused "missing CA file" \
  "HVX_FTP_CA_FILE names no readable file: \"$SB/missing-ca.pem\" (No such file or directory)"
pin=sha256//$(openssl x509 -in "$(test_env HVX_TEST_FTPES_STATE)/server.pem" -pubkey -noout |
  openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64)
unset HVX_FTP_CA_FILE
HVX_FTP_PINNED_KEY=sha256//$(head -c 32 /dev/urandom | base64) identity_refused \
  "another pinned key" "public key does not match pinned public key"
HVX_FTP_PINNED_KEY=$pin secure_backup --dump-file pinned
check_eq "the pinned key alone" 0 "$RC"
rm -f "$R/pinned"
HVX_FTP_PINNED_KEY=md5//abc secure_backup --dump-file pinned
check_contains "a pin of another form is refused" "HVX_FTP_PINNED_KEY is not of the form" "$ERR"

# Certificates from the CA the client trusts that are expired, or name
# another host, each served by a private TLS server: the backup and the
# download are refused during the handshake, before the login; nothing
# appears on the server, the run fails with its mail and the domain is on.
CERTS=$(mktemp -d /tmp/hvxcert.XXXXXX)
chmod 0711 "$CERTS"
stop_cert_server() { "$SRC/testbed/ftps-server" stop "$CERTS/server" 2>/dev/null; }
trap 'stop_cert_server; rm -rf "$CERTS"; cleanup_sandbox' EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
  -subj "/CN=hvx cert test CA" -keyout "$CERTS/ca.key" -out "$CERTS/ca.pem" 2>/dev/null
printf '[ca]\ndefault_ca=t\n[t]\ndatabase=%s\nnew_certs_dir=%s\nserial=%s\n%s\n' \
  "$CERTS/index" "$CERTS" "$CERTS/serial" \
  'default_md=sha256
unique_subject=no
policy=p
copy_extensions=copy
[p]
commonName=supplied' > "$CERTS/ca.cnf"
: > "$CERTS/index"; echo 01 > "$CERTS/serial"
server_cert() {  # NAME CN SAN DATES...: a certificate of the test CA
  local name=$1 cn=$2 san=$3; shift 3
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$cn" \
    -addext "subjectAltName=$san" -keyout "$CERTS/$name.key" -out "$CERTS/$name.csr" 2>/dev/null
  openssl ca -batch -notext -config "$CERTS/ca.cnf" -cert "$CERTS/ca.pem" -keyfile "$CERTS/ca.key" \
    -in "$CERTS/$name.csr" -out "$CERTS/$name.pem" "$@" 2>/dev/null
}
server_cert expired 127.0.0.1 IP:127.0.0.1 -startdate 20200101000000Z -enddate 20200201000000Z
server_cert elsewhere other.example DNS:other.example -days 30
server_cert good 127.0.0.1 IP:127.0.0.1 -days 30
cert_refused() {  # NAME REASON
  local port dir=$CERTS/server
  port=$("$SRC/testbed/ftps-server" start --cert "$CERTS/$1.pem" "$CERTS/$1.key" "$dir" 0 \
    hvxftps "$SECURE_PW") || { not_ok "$1: server started"; return; }
  S_SERVER=ftpes://127.0.0.1:$port R=$dir/home/$P
  install -d -o "$RUID" -g "$RUID" "$R"
  rm -f "$MAIL_D"/*.eml
  secure_backup --dump-file "$1" --email-from bu@example.com --email-to admin@example.com
  if [ "$1" = good ]; then
    check_exit "a good certificate of the test CA: backup" 0
  else
    check_exit "$1 certificate: backup exit" 1
    check_contains "$1 certificate: says why" "$2" "$ERR"
    check_contains "$1 certificate: failure mail" "Backup process has failed for domain '$D'" \
      "$(mails)"
    check_eq "$1 certificate: nothing on the server" "" "$(ls -A "$R")"
    check_eq "$1 certificate: no login sent" 0 "$(grep -c '"USER ' "$dir/vsftpd.log")"
    check_eq "$1 certificate: domain on" on "$(state_of $D)"
    rm -f "$MAIL_D"/*.eml
    printf 'older\n' > "$R/$1"
    secure_download "$1" --email-from bu@example.com --email-to admin@example.com
    check_exit "$1 certificate: download exit" 1
    check_contains "$1 certificate: download says why" "$2" "$ERR"
    check_contains "$1 certificate: download mail" "Download process has failed" "$(mails)"
    check_eq "$1 certificate: nothing fetched" "" "$(ls -A "$REPO" | grep "$1\|hvxtmp")"
  fi
  stop_cert_server
  rm -rf "${dir:?}/home"
}
use_transport ftpes
export HVX_FTP_CA_FILE=$CERTS/ca.pem
cert_refused good
cert_refused expired "SSL certificate problem: certificate has expired"
cert_refused elsewhere "no alternative certificate subject name matches target host name '127.0.0.1'"
use_transport ftpes

# A server that requires TLS reached with ftp://, and a plain server reached
# with ftpes://: clean failures, the password never sent in clear.
before_pass=$(passes)
run "$SITEVAULT" --ftp-download --domain-name $D --ftp-server "ftp://${FTPES#ftpes://}" \
  --ftp-path "$P" --dump-file any
check_eq "ftp:// to a TLS-only server" 1 "$RC"
check_contains "ftp:// to a TLS-only server says why" "530" "$ERR"
check_eq "ftp:// to a TLS-only server: no password" "$before_pass" "$(passes)"
plain_log=$(test_env HVX_TEST_FTP_HOME)/../ftp-server/log
logins=$(grep -c "logged in" "$plain_log")
run "$SITEVAULT" --ftp-download --domain-name $D --ftp-server "ftpes://$FTP_SERVER" \
  --ftp-path "$P" --dump-file any
check_eq "ftpes:// to a plain server" 1 "$RC"
check_contains "ftpes:// to a plain server says why" "error: cURL execution failed: " "$ERR"
check_not_contains "no password in the report" "$SECURE_PW" "$ERR"
check_eq "ftpes:// to a plain server: no login" "$logins" "$(grep -c "logged in" "$plain_log")"

scheme=sftp
use_transport sftp
: > "$SB/empty_known_hosts"
HVX_SSH_KNOWN_HOSTS=$SB/empty_known_hosts identity_refused "unknown host key" \
  "the server's host key is not in the known-hosts file $SB/empty_known_hosts"
ssh-keygen -q -t ed25519 -N '' -f "$SB/other_host_key"
echo "[127.0.0.1]:${SFTP##*:} $(cut -d' ' -f1,2 "$SB/other_host_key.pub")" > "$SB/changed_known_hosts"
HVX_SSH_KNOWN_HOSTS=$SB/changed_known_hosts identity_refused "changed host key" \
  "the server's host key differs from the one in the known-hosts file $SB/changed_known_hosts"
HVX_SSH_KNOWN_HOSTS=$SB/missing_known_hosts identity_refused "missing known-hosts file" \
  "HVX_SSH_KNOWN_HOSTS names no readable file: \"$SB/missing_known_hosts\""
HVX_SSH_KEY_FILE=$SB identity_refused "a key file that is a directory" \
  "HVX_SSH_KEY_FILE names no readable file: \"$SB\" (Is a directory)"
unset HVX_SSH_KNOWN_HOSTS
HVX_SSH_HOST_KEY_SHA256=$(ssh-keygen -lf "$SB/other_host_key.pub" | cut -d' ' -f2) \
  identity_refused "another pinned fingerprint" "fingerprint"
export HVX_SSH_HOST_KEY_SHA256; HVX_SSH_HOST_KEY_SHA256=$(cat "$SFTP_STATE/fingerprint")
secure_backup --dump-file pinned
check_eq "the pinned fingerprint alone" 0 "$RC"

# Login by key: the password is not offered then. An encrypted key takes its
# passphrase from the environment; a wrong one fails without showing it.
FTP_PASSWORD=not-the-password HVX_SSH_KEY_FILE=$SFTP_STATE/client_ed25519 \
  secure_backup --dump-file by-key
check_eq "login by key" 0 "$RC"
ssh-keygen -q -t ed25519 -N 'open sesame' -f "$SB/locked_key"
cat "$SB/locked_key.pub" >> "$SFTP_STATE/authorized_keys"
export HVX_SSH_KEY_FILE=$SB/locked_key
HVX_SSH_KEY_PASSPHRASE='open sesame' secure_backup --dump-file by-locked-key
check_eq "login by an encrypted key" 0 "$RC"
HVX_SSH_KEY_PASSPHRASE='wrong sesame' secure_backup --dump-file refused
check_eq "wrong passphrase" 1 "$RC"
check_not_contains "the passphrase is not shown" "sesame" "$ERR$OUT$(mails)"
unset HVX_SSH_KEY_FILE

# The rate cap: 20 MiB at 10 MiB a second take about two seconds.
start=$(date +%s.%N)
HVX_FTP_MAX_RATE=10M HVXDUMP_PAD_MIB=20 secure_backup --dump-file capped
elapsed=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
check_eq "capped backup" 0 "$RC"
check "capped upload takes about 2 s ($elapsed s)" awk "BEGIN { exit !($elapsed >= 1.8 && $elapsed < 8) }"
HVX_FTP_MAX_RATE=fast secure_backup --dump-file capped
check_contains "a rate that is no number is refused" \
  'HVX_FTP_MAX_RATE is not a rate in bytes a second (K and M suffixes): "fast"' "$ERR"
unset HVX_SSH_HOST_KEY_SHA256
rm -rf "${R:?}"

rm -rf "$REMOTE"
finish
