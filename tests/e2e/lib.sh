# Shared helpers of the end-to-end suites (sourced).
set -uo pipefail

SRC=${HVX_SOURCE_DIR:?}
BUILD=${HVX_BUILD_DIR:?}
SITEVAULT=$BUILD/sitevault/sitevault
CHAINRUN=$BUILD/chainrun/chainrun
passed=0
failed=0

test_env() { sed -n "s/^$1=//p" "${HVX_TEST_ENV:?}/env" | head -n 1; }

SANDBOXES=()
# A sandbox on the shared test database server; sets SB and exports its
# variables into this shell. With --private-db the sandbox runs a database
# server of its own instead, which the test may stop and start
# (stop_sandbox_db, start_sandbox_db) without disturbing other suites.
new_sandbox() {
  SB=$(mktemp -d /tmp/hvxe2e.XXXXXX)
  SANDBOXES+=("$SB")
  local out db=(--db-socket "$(test_env HVX_TEST_DB_SOCKET)" --db-password "$(test_env HVX_TEST_DB_PASSWORD)")
  [ "${1:-}" = --private-db ] && db=()
  unset HVX_DB_NAME
  out=$("$SRC/testbed/sandbox" up "$SB" "${db[@]}") || { echo "sandbox up failed" >&2; exit 1; }
  eval "$out"
  DUMP_D=$SB/var/lib/hvx/dumps
  MAIL_D=$SB/var/sandbox/mail
  SITES=$SB/var/www/vhosts
}

cleanup_sandbox() {
  local sb
  for sb in "${SANDBOXES[@]}"; do
    "$SRC/testbed/sandbox" down "$sb" || true
    if [ "$failed" -eq 0 ]; then rm -rf "$sb"; else echo "kept sandbox $sb" >&2; fi
  done
}

stop_sandbox_db() { "$SRC/testbed/mariadb-server" stop "$SB/var/mysql"; }
start_sandbox_db() {
  "$SRC/testbed/mariadb-server" start "$SB/var/mysql" "$SB/var/lib/mysql/mysql.sock" \
    "$(cat "$SB/etc/hvx/.hvx.shadow")" >/dev/null
}
trap cleanup_sandbox EXIT

# Runs a command; sets OUT, ERR and RC.
run() {
  local o e
  o=$(mktemp); e=$(mktemp)
  "$@" >"$o" 2>"$e"
  RC=$?
  OUT=$(cat "$o"); ERR=$(cat "$e")
  rm -f "$o" "$e"
}

# A statement on the current sandbox's database (through its socket link).
sql() {
  MYSQL_PWD=$(cat "$SB/etc/hvx/.hvx.shadow") mariadb --no-defaults \
    --socket="$SB/var/lib/mysql/mysql.sock" -uadmin -N -B "${HVX_DB_NAME:-hvx}" -e "$1"
}

ok() { passed=$((passed + 1)); }
not_ok() { failed=$((failed + 1)); echo "FAIL: $*" >&2; }

check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then ok; else not_ok "$what"; fi
}
check_eq() {  # check_eq DESCRIPTION EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then ok; else not_ok "$1: expected [$2], got [$3]"; fi
}
check_exit() {  # check_exit DESCRIPTION EXPECTED: RC of the last run; its errors on a mismatch
  if [ "$2" = "$RC" ]; then ok; else not_ok "$1: expected [$2], got [$RC]; errors: $ERR"; fi
}
check_contains() {  # check_contains DESCRIPTION NEEDLE HAYSTACK
  case $3 in *"$2"*) ok ;; *) not_ok "$1: [$2] not in [$3]" ;; esac
}
check_not_contains() {
  case $3 in *"$2"*) not_ok "$1: [$2] unexpectedly in [$3]" ;; *) ok ;; esac
}

# Waits up to N seconds for a detached operation to release the domain lock.
wait_unlocked() {
  local lock=$DUMP_D/$1/backup_restore.lock i
  for i in $(seq 1 "${2:-60}"); do
    if [ -e "$lock" ] && flock -n "$lock" true 2>/dev/null; then return 0; fi
    sleep 0.5
  done
  return 1
}

# S3 on the test run's gateway through independent clients: awscli
# (/usr/bin/aws), configured only by the gateway's own files and by the
# environment of each command (never ~/.aws), and curl with --aws-sigv4
# (credentials from the gateway's curl -K file). Objects live in the bucket
# s3_bucket prints; a suite keeps to a prefix of its own.
s3_bucket() { test_env HVX_TEST_S3_BUCKET; }
s3_aws() {  # s3_aws ENDPOINT ARGS...
  local state endpoint=$1
  shift
  state=$(test_env HVX_TEST_S3_STATE)
  env -u AWS_PROFILE -u AWS_DEFAULT_PROFILE -u AWS_ACCESS_KEY_ID -u AWS_SECRET_ACCESS_KEY \
    -u AWS_SESSION_TOKEN -u AWS_CA_BUNDLE -u AWS_ENDPOINT_URL -u AWS_REGION \
    HOME="$state" AWS_CONFIG_FILE="$state/aws-config" \
    AWS_SHARED_CREDENTIALS_FILE="$state/aws-credentials" AWS_PAGER= \
    AWS_EC2_METADATA_DISABLED=true /usr/bin/aws --endpoint-url "$endpoint" "$@"
}
s3_cli() {  # s3_cli ARGS...: aws s3api/s3 over plain HTTP
  s3_aws "http://127.0.0.1:$(test_env HVX_TEST_S3_HTTP_PORT)" "$@"
}
s3_cli_https() {  # s3_cli_https ARGS...: the same over HTTPS, verified with the CA
  s3_aws "https://127.0.0.1:$(test_env HVX_TEST_S3_HTTPS_PORT)" \
    --ca-bundle "$(test_env HVX_TEST_S3_CA)" "$@"
}
s3_get() {  # s3_get KEY: the object's body on stdout
  s3_cli s3 cp --only-show-errors "s3://$(s3_bucket)/$1" -
}
s3_put() {  # s3_put KEY FILE: one PutObject
  s3_cli s3api put-object --bucket "$(s3_bucket)" --key "$1" --body "$2" >/dev/null
}
s3_rm() {  # s3_rm KEY...
  local key
  for key in "$@"; do s3_cli s3api delete-object --bucket "$(s3_bucket)" --key "$key" || return 1; done
}
# Listings and clearing through curl (awscli starts in about a second, too
# slow for the checks the suites repeat), every page followed, the replies
# parsed as XML by Python. S3_PAGE_SIZE=N asks for N entries a page.
s3_list() {  # s3_list keys|uploads|clear PREFIX
  python3 - "$1" "${2:-}" "$(test_env HVX_TEST_S3_STATE)" "$(test_env HVX_TEST_S3_HTTP_PORT)" \
    "$(s3_bucket)" "${S3_PAGE_SIZE:-}" <<'PY'
import subprocess, sys, urllib.parse, xml.etree.ElementTree as ET
what, prefix, state, port, bucket, page = sys.argv[1:]
enc = lambda v, safe="": urllib.parse.quote(v, safe="-_.~" + safe)

def request(method, key="", query=None):
    query = "&".join(k + "=" + enc(v) for k, v in sorted((query or {}).items()))
    reply = subprocess.run(
        ["curl", "-sS", "--fail", "--max-time", "60", "--aws-sigv4", "aws:amz:us-east-1:s3",
         "-K", state + "/curl-auth", "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", "-X", method,
         "http://127.0.0.1:%s/%s/%s?%s" % (port, bucket, enc(key, "/"), query)],
        stdout=subprocess.PIPE)
    if reply.returncode != 0:
        sys.exit("s3_%s: %s failed" % (what, method))
    return reply.stdout

def listing(kind):
    marker, rows = {}, []
    while True:
        if kind == "keys":
            query = dict(marker, **{"list-type": "2", "prefix": prefix})
            if page: query["max-keys"] = page
        else:
            query = dict(marker, prefix=prefix, uploads="")
            if page: query["max-uploads"] = page
        root = ET.fromstring(request("GET", "", query))
        if kind == "keys":
            rows += [(c.findtext("{*}Key"),) for c in root.findall("{*}Contents")]
            marker = {"continuation-token": root.findtext("{*}NextContinuationToken") or ""}
        else:
            rows += [(u.findtext("{*}Key"), u.findtext("{*}UploadId"))
                     for u in root.findall("{*}Upload")]
            marker = {"key-marker": root.findtext("{*}NextKeyMarker") or "",
                      "upload-id-marker": root.findtext("{*}NextUploadIdMarker") or ""}
        if root.findtext("{*}IsTruncated") != "true":
            return rows

if what == "clear":
    for key, upload in listing("uploads"):
        request("DELETE", key, {"uploadId": upload})
    for key, in listing("keys"):
        request("DELETE", key)
else:
    for row in listing(what):
        print("\t".join(row))
PY
}
s3_keys() { s3_list keys "${1:-}"; }  # s3_keys [PREFIX]: the keys under PREFIX, one a line
# s3_uploads [PREFIX]: unfinished multipart uploads under PREFIX, "KEY<tab>UPLOAD_ID" a line
s3_uploads() { s3_list uploads "${1:-}"; }
# s3_clear PREFIX: the unfinished uploads under PREFIX aborted, its objects
# deleted (never the whole bucket: other suites share it)
s3_clear() { [ -n "${1:-}" ] && s3_list clear "$1"; }
s3_curl() {  # s3_curl ARGS... (URLs under $(s3_https_url)): curl signing as the user
  curl -sS --aws-sigv4 "aws:amz:us-east-1:s3" -K "$(test_env HVX_TEST_S3_STATE)/curl-auth" \
    -H 'x-amz-content-sha256: UNSIGNED-PAYLOAD' --cacert "$(test_env HVX_TEST_S3_CA)" "$@"
}
s3_https_url() { echo "https://localhost:$(test_env HVX_TEST_S3_HTTPS_PORT)/$(s3_bucket)"; }

finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
