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

finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
