#!/usr/bin/env bash
# Backups to object storage with the real binary, a sandbox and the S3
# gateway of the test run, over plain HTTP and over HTTPS checked with the
# test CA; what was uploaded is read, and a dump crafted with openssl is
# written, by an independent client (awscli).
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/signing_lib.sh"
new_sandbox
D=example.com
REPO=$DUMP_D/$D
mkdir -p "$REPO"
echo "nightly" > "$SB/tmp/desc"
T=$SB/tmp/s3; mkdir -p "$T"
PUB=$SB/usr/local/hvx/admin/htdocs/bu_pubkey.txt
BUCKET=$(test_env HVX_TEST_S3_BUCKET)
CA=$(test_env HVX_TEST_S3_CA)
RGW_PID_FILE=$(test_env HVX_TEST_S3_STATE)/run/radosgw.pid
export FTP_LOGIN FTP_PASSWORD
FTP_LOGIN=$(test_env HVX_TEST_S3_ACCESS_KEY)
FTP_PASSWORD=$(test_env HVX_TEST_S3_SECRET)
# The prefix holds a blank and a non-ASCII letter: keys are more than names.
P="e2e-$$/site b$(printf '\xc3\xbc')cher"

run "$SITEVAULT" --gen-server-keys
id=$(sql "select val from misc where param='bu_cert_id'")
sql "select pvt_key from certificates where id=$id" | sed 's/\\n/\n/g' > "$T/priv.pem"

use_scheme() {  # s3 | s3+http: sets SERVER and ENDPOINT, exports the CA for s3
  unset HVX_FTP_CA_FILE
  AWS_CA=()
  case $1 in
    s3) SERVER=s3://127.0.0.1:$(test_env HVX_TEST_S3_HTTPS_PORT)
      ENDPOINT=https://127.0.0.1:$(test_env HVX_TEST_S3_HTTPS_PORT)
      export HVX_FTP_CA_FILE=$CA; AWS_CA=(--ca-bundle "$CA") ;;
    s3+http) SERVER=s3+http://127.0.0.1:$(test_env HVX_TEST_S3_HTTP_PORT)
      ENDPOINT=http://127.0.0.1:$(test_env HVX_TEST_S3_HTTP_PORT) ;;
  esac
}
aws_s3() {
  AWS_ACCESS_KEY_ID=$FTP_LOGIN AWS_SECRET_ACCESS_KEY=$FTP_PASSWORD AWS_DEFAULT_REGION=us-east-1 \
    AWS_EC2_METADATA_DISABLED=true AWS_CONFIG_FILE=/dev/null \
    /usr/bin/aws --endpoint-url "$ENDPOINT" "${AWS_CA[@]}" "$@"
}
# The names under the prefix (sorted), and the keys of unfinished uploads.
keys_listed() { s3_keys "$P/" | sed "s|^$P/||" | sort; }
keys() { keys_listed | paste -sd' '; }
uploads() { s3_uploads "$P/" | cut -f1; }
put_object() { aws_s3 s3 cp --quiet "$1" "s3://$BUCKET/$P/$2"; }
get_object() { aws_s3 s3 cp --quiet "s3://$BUCKET/$P/$1" "$2"; }
old_dump() { printf 'old\nMagic1: %s\nMagic2: 00\n' "$(printf '%040d' 0)" > "$T/old"; put_object "$T/old" "$1"; }
content_sum() { (cd "$SITES" && tar --sort=name -cf - "$1" | sha1sum | cut -d' ' -f1); }
s3_backup() {
  run "$SITEVAULT" --ftp-backup --verbose --domain-name $D --desc-file "$SB/tmp/desc" \
    --ftp-server "$SERVER" --ftp-path "$BUCKET/$P" "$@"
}
s3_download() {
  run "$SITEVAULT" --ftp-download --domain-name $D --ftp-server "$SERVER" \
    --ftp-path "$BUCKET/$P" --dump-file "$@"
}
in_repo() { (cd "$REPO" && ls -1 | grep "^$1" | paste -sd' '); }
newest() { keys_listed | grep -E "^$1_[0-9]{4}\.[0-9.]{5}_[0-9.]{5}\$" | sort | tail -n 1; }

before=$(content_sum $D)
for scheme in s3+http s3; do
  use_scheme $scheme
  # A split backup with rotation: each full file is a multipart upload (40
  # MiB: parts of 32 and 8 MiB), nothing staged or unfinished is left.
  old_dump t_2001.01.01_10.00; old_dump t_2001.01.02_10.00
  HVXDUMP_PAD_MIB=90 s3_backup --split-size 40 --rotate-dump-files --dump-file-prefix t \
    --max-dump-files 2
  check_exit "$scheme: backup exit" 0
  dump=$(newest t)
  check_eq "$scheme: files and rotation" "t_2001.01.02_10.00 $dump $dump.part2 $dump.part3" "$(keys)"
  check_eq "$scheme: no unfinished upload" "" "$(uploads)"

  # Another client reads the dump: sha1sum of the objects' stream is Magic1,
  # openssl verifies Magic2.
  rm -f "$T"/t_*
  for f in $dump $dump.part2 $dump.part3; do get_object "$f" "$T/$f"; done
  check_eq "$scheme: full file holds the split size" $((40 << 20)) "$(stat -c %s "$T/$dump")"
  check_eq "$scheme: Magic1 is sha1sum of the objects" \
    "$(dump_stream "$T/$dump" | sha1sum | cut -c1-40)" "$(dump_field "$T/$dump" 1)"
  check "$scheme: Magic2 verifies with openssl" openssl_verify "$T/$dump" "$PUB"

  # Download, check and restore byte for byte.
  s3_download "$dump"
  check_exit "$scheme: download exit" 0
  check_eq "$scheme: every file fetched" "$dump $dump.part2 $dump.part3" "$(in_repo t_)"
  run "$SITEVAULT" --check-dump --domain-name $D --dump-file "$dump"
  check_eq "$scheme: downloaded dump checks" 0 "$OUT"
  rm -rf "${SITES:?}/$D"
  run "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D \
    --domain-ip 192.0.2.10 --dump-file "$dump"
  check_eq "$scheme: restore exit" 0 "$RC"
  check_eq "$scheme: content restored byte for byte" "$before" "$(content_sum $D)"
  rm -f "$REPO"/t_*

  # One file of more than three parts replaces a split dump of its name;
  # the older dump's extra files go.
  HVXDUMP_PAD_MIB=2 s3_backup --split-size 1 --dump-file "again it's"
  check_exit "$scheme: split dump under a re-used name" 0
  # The parts' SHA-256 signed: a wrong one is refused by the gateway.
  HVX_S3_SIGN_PAYLOAD=1 HVXDUMP_PAD_MIB=100 s3_backup --dump-file "again it's"
  check_exit "$scheme: one-file dump of four parts over it" 0
  check_eq "$scheme: only the new dump's object" "again it's" "$(keys_listed | grep -F again | paste -sd' ')"
  s3_download "again it's"
  check_exit "$scheme: the re-used name downloads and checks" 0
  check_eq "$scheme: nothing staged left" "" "$(keys_listed | grep -F hvxtmp)"
  rm -f "$REPO/again it's"

  # An unsigned object under a series name is neither counted nor deleted.
  printf 'cut short\n' > "$T/cut"; put_object "$T/cut" u_2000.01.03_10.00
  old_dump u_2000.01.02_10.00; old_dump u_2000.01.01_10.00
  s3_backup --rotate-dump-files --dump-file-prefix u --max-dump-files 2
  check_exit "$scheme: rotation with an unsigned object" 0
  check_contains "$scheme: the unsigned object reported" \
    'Rotation neither counts nor removes "u_2000.01.03_10.00"' "$ERR"
  check_eq "$scheme: the unsigned object neither counted nor deleted" \
    "u_2000.01.02_10.00 u_2000.01.03_10.00 $(newest u)" \
    "$(keys_listed | grep '^u_' | paste -sd' ')"
  get_object u_2000.01.03_10.00 "$T/cut.back"
  check_eq "$scheme: the unsigned object unchanged" "cut short" "$(cat "$T/cut.back")"

  # A dump made with openssl and written by another client downloads and
  # checks.
  dump_stream "$T/$dump" > "$T/stream"
  rm -f "$T"/crafted*
  write_signed_dump "$T/stream" "$T/crafted" $((40 << 20)) "$T/priv.pem"
  for f in "$T"/crafted*; do put_object "$f" "${f##*/}"; done
  s3_download crafted
  check_exit "$scheme: a dump written by another client downloads" 0
  run "$SITEVAULT" --check-dump --domain-name $D --dump-file crafted
  check_eq "$scheme: and checks" 0 "$OUT"
  rm -f "$REPO"/crafted*
  # The inventory and the check of the remote copy read the bucket as they
  # read a directory: the crafted dump's time is the listing's.
  run "$SITEVAULT" --check-ftp-dump --domain-name $D --dump-file crafted \
    --ftp-server "$SERVER" --ftp-path "$BUCKET/$P"
  check_eq "$scheme: the remote check of the crafted dump" 0 "$OUT"
  run "$SITEVAULT" --list-dumps --json --domain-name $D --ftp-server "$SERVER" \
    --ftp-path "$BUCKET/$P"
  check_exit "$scheme: inventory exit" 0
  check_eq "$scheme: inventory of the crafted and the unsigned dumps" \
    "crafted 3 signed mtime|u_2000.01.03_10.00 1 unsigned stamp" \
    "$(python3 -c 'import json, sys
rows = {d["name"]: d for d in json.load(sys.stdin)}
print("|".join("%s %d %s %s" % (n, rows[n]["files"], rows[n]["state"], rows[n]["time_source"])
               for n in ("crafted", "u_2000.01.03_10.00")))' <<<"$OUT")"
  s3_clear "$P/"
done

# Failures, over plain HTTP.
use_scheme s3+http
old_dump kept
mails() { cat "$MAIL_D"/*.eml 2>/dev/null; }
clear_mail() { rm -f "$MAIL_D"/*.eml; }
state_of() { cat "$SB/var/sandbox/sitectl/$1"; }

# A wrong secret: the S3 code and the status, the secret nowhere.
FTP_PASSWORD=wrong-$FTP_PASSWORD s3_backup --dump-file kept --email-from bu@example.com \
  --email-to admin@example.com
check_exit "wrong secret fails" 1
check_contains "wrong secret: the S3 code and status" "SignatureDoesNotMatch (HTTP status 403)" "$ERR"
check_contains "wrong secret: failure mail" "Backup process has failed for domain '$D'" "$(mails)"
check_not_contains "wrong secret: the secret not shown" "$FTP_PASSWORD" "$OUT$ERR$(mails)"
check_eq "wrong secret: domain on" on "$(state_of $D)"

# A missing bucket.
run "$SITEVAULT" --ftp-download --domain-name $D --ftp-server "$SERVER" \
  --ftp-path "no-such-bucket-$$/x" --dump-file kept
check_exit "missing bucket fails" 1
check_contains "missing bucket: NoSuchBucket" "NoSuchBucket (HTTP status 404)" "$ERR"

# A wrong CA: the certificate is refused, nothing sent.
use_scheme s3
HVX_FTP_CA_FILE=/etc/ssl/certs/ca-certificates.crt s3_backup --dump-file kept
check_exit "wrong CA fails" 1
check_contains "wrong CA: the certificate refused" "certificate" "$ERR"
use_scheme s3+http

# A writer that fails in the second part of the dump's one object: no object, no
# unfinished upload, the older dump intact; the secret not in the writer's
# environment.
HVXDUMP_ENV_FILE=$T/env HVXDUMP_PAD_MIB=80 HVXDUMP_FAIL_AFTER_MIB=50 s3_backup --dump-file kept
check_exit "failing writer fails" 1
check_eq "failing writer: only the older dump" "kept" "$(keys)"
check_eq "failing writer: no unfinished upload" "" "$(uploads)"
get_object kept "$T/kept.back"
check_eq "failing writer: older dump intact" "old" "$(head -n 1 "$T/kept.back")"
check_not_contains "writer's environment: no secret" "$FTP_PASSWORD" "$(cat "$T/env")"

# A run stopped by SIGTERM mid-upload aborts its upload; one killed outright
# leaves it for the next run, which ends it.
for sig in TERM KILL; do
  HVX_FTP_MAX_RATE=2M HVXDUMP_PAD_MIB=40 "$SITEVAULT" --ftp-backup --verbose --domain-name $D \
    --desc-file "$SB/tmp/desc" --ftp-server "$SERVER" --ftp-path "$BUCKET/$P" \
    --dump-file kept >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 1 120); do [ -n "$(uploads)" ] && break; sleep 0.5; done
  check "SIG$sig: an upload was open" test -n "$(uploads)"
  kill -"$sig" $pid; wait $pid 2>/dev/null
  [ "$sig" = TERM ] && check_eq "SIGTERM: no unfinished upload" "" "$(uploads)"
done
check_eq "SIGKILL: the upload stays until the next run" 1 "$(uploads | wc -l)"
# The killed run's domain is taken over and switched on by the next run.
s3_backup --dump-file other
check_exit "next run after SIGKILL" 0
check_eq "next run ends the killed run's upload" "" "$(uploads)"
get_object kept "$T/kept.back"
check_eq "stopped runs: older dump intact" "old" "$(head -n 1 "$T/kept.back")"

# A gateway frozen mid-upload: the stall limit ends the run, with the mail
# and the domain switched back on.
clear_mail
HVX_FTP_STALL_TIMEOUT=3 HVXDUMP_PAD_MIB=40 HVX_FTP_MAX_RATE=4M "$SITEVAULT" --ftp-backup --verbose \
  --domain-name $D --desc-file "$SB/tmp/desc" --ftp-server "$SERVER" --ftp-path "$BUCKET/$P" \
  --dump-file kept --email-from bu@example.com --email-to admin@example.com \
  >"$T/frozen.out" 2>&1 &
pid=$!
for _ in $(seq 1 120); do [ -n "$(uploads)" ] && break; sleep 0.5; done
rgw=$(cat "$RGW_PID_FILE")
kill -STOP "$rgw"
wait $pid; RC=$?
kill -CONT "$rgw"
check_exit "frozen gateway: the run fails" 1
check_contains "frozen gateway: failure mail" "Backup process has failed for domain '$D'" "$(mails)"
check_eq "frozen gateway: domain on" on "$(state_of $D)"
get_object kept "$T/kept.back"
check_eq "frozen gateway: older dump intact" "old" "$(head -n 1 "$T/kept.back")"

# A split size above what an object holds is refused before the domain is
# touched.
run "$SITEVAULT" --ftp-backup --verbose --domain-name $D --desc-file "$SB/tmp/desc" \
  --ftp-server "$SERVER" --ftp-path "$BUCKET/$P" --dump-file big --split-size 6000
check_exit "split size above 5 GiB refused" 1
check_contains "split size: the limit named" "can't be more than 5119" "$ERR"

s3_clear "e2e-$$/"
finish
