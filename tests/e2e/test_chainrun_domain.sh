#!/usr/bin/env bash
# chainrun switching a domain off around its chain, against the real system
# database, the sitectl stand-in and the per-domain lock file.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/chainrun_lib.sh"
new_sandbox
W=$(mktemp -d "$SB/work.XXXXXX")
STATE=$SB/var/sandbox/sitectl
D=example.com
mkdir -p "$DUMP_D/$D"
DB="mariadb --socket=$(test_env HVX_TEST_DB_SOCKET) -uadmin -p$(test_env HVX_TEST_DB_PASSWORD) -N -B $HVX_DB_NAME"

status() { sql "select status from domains where name='$1'"; }
set_status() { sql "update domains set status=$2 where name='$1'"; }
calls() { cat "$STATE/calls.log" 2>/dev/null | tr '\n' '|'; }
# A chain command that records the domain's status while the chain runs.
record_status() { echo "$DB -e \"select status from domains where name='$D'\" > $1"; }

# dchain LOG DOMAIN COMMAND... (key $KEY, uid 0, flag 0)
dchain() {
  local log=$1 domain=$2; shift 2
  local args=() c
  for c in "$@"; do args+=("$(enc "$c")"); done
  run "$CHAINRUN" "$KEY" "$log" title 0 0 "$domain" "${args[@]}" </dev/null
}

lock_is_free() { flock -n "$DUMP_D/$D/backup_restore.lock" true; }

# --- status 0: off, chain, on -------------------------------------------
new_key
dchain "$W/s0.log" "$D" "$(record_status "$W/s0.during")" \
  'for f in /proc/$$/fd/*; do n=${f##*/}; [ "$n" -gt 2 ] && readlink "$f"; done; true'
check_eq "status 0: exit" 0 "$RC"
check_eq "status 0: off line" "[T] turning domain \"$D\" off ... done" "$(tline "$W/s0.log" 1)"
check_eq "status 0: title line" "[T] title ... done" "$(tline "$W/s0.log" 2)"
check_eq "status 0: on line" "[T] turning domain \"$D\" on ... done" "$(tline "$W/s0.log" 3)"
check_eq "status 0: three lines" 3 "$(wc -l <"$W/s0.log")"
check_eq "status 0: during" 4 "$(cat "$W/s0.during")"
check_eq "status 0: after" 0 "$(status "$D")"
check_eq "status 0: sitectl calls" "turn-off $D|turn-on $D|" "$(calls)"
check_eq "status 0: domain on" on "$(cat "$STATE/$D")"
check "status 0: lock released" lock_is_free
check_not_contains "commands do not hold the lock file" backup_restore.lock "$OUT"
check_not_contains "commands do not hold the database connection" "socket:" "$OUT"
rm -f "$STATE/calls.log"

# --- status 16: off for another reason ----------------------------------
set_status "$D" 16
dchain "$W/s16.log" "$D" "$(record_status "$W/s16.during")"
check_eq "status 16: during" 20 "$(cat "$W/s16.during")"
check_eq "status 16: after" 16 "$(status "$D")"
check_eq "status 16: no sitectl call" "" "$(calls)"
check_eq "status 16: log" "[T] title ... done|1" "$(tline "$W/s16.log" 1)|$(wc -l <"$W/s16.log")"

# --- status 4: left over by a run that ended without switching back -----
set_status "$D" 4
dchain "$W/s4.log" "$D" "$(record_status "$W/s4.during")"
check_eq "status 4: during" 4 "$(cat "$W/s4.during")"
check_eq "status 4: after" 0 "$(status "$D")"
check_eq "status 4: switched on only" "turn-on $D|" "$(calls)"
check_eq "status 4: log" "[T] title ... done|[T] turning domain \"$D\" on ... done" \
  "$(tline "$W/s4.log" 1)|$(tline "$W/s4.log" 2)"
rm -f "$STATE/calls.log"

# --- sitectl fails to switch off: the chain runs, the status is restored -
touch "$STATE/fail-turn-off"
dchain "$W/off-fail.log" "$D" "$(record_status "$W/off-fail.during")"
rm -f "$STATE/fail-turn-off"
check_eq "off fails: exit" 0 "$RC"
check_eq "off fails: fail line" "[T] turning domain \"$D\" off ... fail" "$(tline "$W/off-fail.log" 1)"
check_eq "off fails: reason" \
  "Unable to turn domain \"$D\" off: an error occured during sitectl executing" \
  "$(line "$W/off-fail.log" 2)"
check_eq "off fails: title" "[T] title ... done" "$(tline "$W/off-fail.log" 3)"
check_eq "off fails: status during" 0 "$(cat "$W/off-fail.during")"
check_eq "off fails: status after" 0 "$(status "$D")"
check_eq "off fails: no switching on" "turn-off $D|" "$(calls)"
rm -f "$STATE/calls.log"

# --- sitectl fails to switch on: the backup bit stays ---------------------
touch "$STATE/fail-turn-on"
dchain "$W/on-fail.log" "$D" "true"
rm -f "$STATE/fail-turn-on"
check_eq "on fails: fail line" "[T] turning domain \"$D\" on ... fail" "$(tline "$W/on-fail.log" 3)"
check_eq "on fails: reason" \
  "Unable to turn domain \"$D\" on: an error occured during sitectl executing" \
  "$(line "$W/on-fail.log" 4)"
check_eq "on fails: status keeps the backup bit" 4 "$(status "$D")"
set_status "$D" 0
rm -f "$STATE/calls.log"

# --- locked by another process ------------------------------------------
( flock -x 9; touch "$W/held"; while [ ! -e "$W/release" ]; do sleep 0.1; done ) \
  9>"$DUMP_D/$D/backup_restore.lock" &
holder=$!
for _ in $(seq 1 50); do [ -e "$W/held" ] && break; sleep 0.1; done
dchain "$W/locked.log" "$D" "$(record_status "$W/locked.during")" "echo ran"
touch "$W/release"; wait "$holder"
check_eq "locked: exit" 0 "$RC"
check_eq "locked: reported" "Unable to lock file for domain \"$D\": domain is already locked." \
  "$(line "$W/locked.log" 1)"
check_eq "locked: chain ran" "[T] title ... done" "$(tline "$W/locked.log" 2)"
check_contains "locked: chain output" ran "$OUT"
check_eq "locked: status untouched during" 0 "$(cat "$W/locked.during")"
check_eq "locked: status untouched after" 0 "$(status "$D")"
check_eq "locked: no sitectl call" "" "$(calls)"

# --- a failing chain still switches the domain back on -------------------
dchain "$W/chain-fail.log" "$D" "echo broken >&2; exit 1"
check_eq "failing chain: exit" 1 "$RC"
check_eq "failing chain: semaphore" 2 "$(sem_value "$KEY")"
check_eq "failing chain: log" \
  "[T] turning domain \"$D\" off ... done|[T] title ... error!|broken" \
  "$(tline "$W/chain-fail.log" 1)|$(tline "$W/chain-fail.log" 2)|$(line "$W/chain-fail.log" 3)"
check_eq "failing chain: on line" "[T] turning domain \"$D\" on ... done" \
  "$(tline "$W/chain-fail.log" 5)"
check_eq "failing chain: status after" 0 "$(status "$D")"
rm -f "$STATE/calls.log"

# --- unknown domains and names that would break the statement -----------
new_key
dchain "$W/unknown.log" nosuch.example "true"
check_eq "unknown domain: exit" 0 "$RC"
check_eq "unknown domain: reported" \
  "ERROR: unable to get id for domain \"nosuch.example\": no such domain in the database" \
  "$(line "$W/unknown.log" 1)"
check_eq "unknown domain: chain ran" "[T] title ... done" "$(tline "$W/unknown.log" 2)"
check_contains "unknown domain: lookup message" "Error: empty domain ID for domain 'nosuch.example'." "$ERR"

evil="x' or name='$D"
mkdir -p "$DUMP_D/$evil"
dchain "$W/evil.log" "$evil" "true"
check_eq "quoted name: not found" \
  "ERROR: unable to get id for domain \"$evil\": no such domain in the database" \
  "$(line "$W/evil.log" 1)"
check_eq "quoted name: no status change" "0" "$(status "$D")"
check_eq "quoted name: no sitectl call" "" "$(calls)"

# --- the lookup connection dropped by the server during the chain --------
new_key
kill_others="for i in \$($DB -e \"select id from information_schema.processlist where db='$HVX_DB_NAME' and id<>connection_id()\"); do $DB -e \"kill \$i\"; done"
dchain "$W/gone.log" "$D" "$kill_others"
check_eq "dropped connection: exit" 0 "$RC"
check_eq "dropped connection: switched on" "[T] turning domain \"$D\" on ... done" \
  "$(tline "$W/gone.log" 3)"
check_eq "dropped connection: status after" 0 "$(status "$D")"

# --- a runner killed with SIGKILL does not block the key -----------------
new_key
rm -f "$STATE/calls.log"
"$CHAINRUN" "$KEY" "$W/killed.log" killed 0 0 "$D" "$(enc "echo \$\$ >$W/killed.pid; exec sleep 60")" \
  </dev/null >/dev/null 2>&1 &
runner=$!
for _ in $(seq 1 100); do [ -s "$W/killed.pid" ] && break; sleep 0.1; done
kill -KILL "$runner"; wait "$runner" 2>/dev/null
kill "$(cat "$W/killed.pid")"  # the command outlives its runner
check_eq "killed runner: left running" 3 "$(sem_value "$KEY")"
check_eq "killed runner: left the domain off" 4 "$(status "$D")"
dchain "$W/killed.log" "$D" "touch $W/after-kill"
check_eq "after kill: exit" 0 "$RC"
check "after kill: the chain ran with flag 0" test -e "$W/after-kill"
check_eq "after kill: semaphore" 1 "$(sem_value "$KEY")"
check_eq "after kill: the killed chain's line completed" \
  "[T] killed ... WARNING: the previous chain was interrupted (its runner $runner is gone)!" \
  "$(tline "$W/killed.log" 2)"
check_eq "after kill: the new chain" "[T] title ... done|[T] turning domain \"$D\" on ... done" \
  "$(tline "$W/killed.log" 3)|$(tline "$W/killed.log" 4)"
check_eq "after kill: domain back on" "0|turn-off $D|turn-on $D|" "$(status "$D")|$(calls)"
check "after kill: lock released" lock_is_free

# --- SIGTERM mid-chain: commands stopped, domain on, semaphore 2, 143 ---
new_key
rm -f "$STATE/calls.log"
"$CHAINRUN" "$KEY" "$W/term.log" title 0 0 "$D" "$(enc "sleep 60")" </dev/null >/dev/null 2>&1 &
runner=$!
for _ in $(seq 1 50); do [ "$(status "$D")" = 4 ] && break; sleep 0.1; done
sleep 0.3
kill -TERM $runner
wait $runner
check_eq "SIGTERM: exit" 143 "$?"
check_eq "SIGTERM: semaphore failed" 2 "$(sem_value "$KEY")"
check_eq "SIGTERM: status" 0 "$(status "$D")"
check_eq "SIGTERM: sitectl calls" "turn-off $D|turn-on $D|" "$(calls)"
check "SIGTERM: lock released" lock_is_free
check_eq "SIGTERM: no command left" "" "$(pgrep -f '^sleep 60$')"
check_contains "SIGTERM: chain logged as failed" "title ... error!" "$(tline "$W/term.log" 2)"


# --- one domain under two spellings: one lock ----------------------------
new_key
rm -f "$STATE/calls.log"
"$CHAINRUN" "$KEY" "$W/first.log" first 0 0 "$D" \
  "$(enc "touch $W/running; while [ ! -e $W/go ]; do sleep 0.1; done")" </dev/null >/dev/null 2>&1 &
runner=$!
for _ in $(seq 1 100); do [ -e "$W/running" ] && break; sleep 0.1; done
mkdir -p "$DUMP_D/EXAMPLE.COM"
new_key
dchain "$W/upper.log" EXAMPLE.COM "$(record_status "$W/upper.during")"
touch "$W/go"; wait "$runner"
check_eq "two spellings: refused" \
  "Unable to lock file for domain \"EXAMPLE.COM\": domain is already locked." "$(line "$W/upper.log" 1)"
check_eq "two spellings: chain ran" "[T] title ... done|2" \
  "$(tline "$W/upper.log" 2)|$(wc -l <"$W/upper.log")"
check_eq "two spellings: status kept by the first" 4 "$(cat "$W/upper.during")"
check_eq "two spellings: switched by the first only" "turn-off $D|turn-on $D|" "$(calls)"
check_eq "two spellings: status after" 0 "$(status "$D")"

# --- a repository-wide dump holds DUMP_D: the domain is left alone ------
rm -f "$STATE/calls.log"
( flock -x 9; touch "$W/wide"; while [ ! -e "$W/wide-release" ]; do sleep 0.1; done ) \
  9>"$DUMP_D/backup_restore.lock" &
holder=$!
for _ in $(seq 1 50); do [ -e "$W/wide" ] && break; sleep 0.1; done
dchain "$W/wide.log" "$D" "$(record_status "$W/wide.during")"
touch "$W/wide-release"; wait "$holder"
check_eq "server-wide lock: exit" 0 "$RC"
check_eq "server-wide lock: reported" \
  "Can't switch domain \"$D\" off while server-wide dump/restore running: Can't lock file $DUMP_D/backup_restore.lock" \
  "$(line "$W/wide.log" 1)"
check_eq "server-wide lock: chain ran" "[T] title ... done|2" \
  "$(tline "$W/wide.log" 2)|$(wc -l <"$W/wide.log")"
check_eq "server-wide lock: status untouched" "0|0" "$(cat "$W/wide.during")|$(status "$D")"
check_eq "server-wide lock: no sitectl call" "" "$(calls)"
check "server-wide lock: domain lock not taken" lock_is_free

# --- a hung sitectl: SIGTERM stops it, HVX_UTILITY_TIMEOUT bounds it ------
ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
rm -f "$STATE/calls.log" "$STATE/hanging-turn-off"
set_status "$D" 0
touch "$STATE/hang-turn-off"
new_key
"$CHAINRUN" "$KEY" "$W/hung.log" title 0 0 "$D" "$(enc "true")" </dev/null >/dev/null 2>&1 &
runner=$!
for _ in $(seq 1 100); do [ -e "$STATE/hanging-turn-off" ] && break; sleep 0.1; done
t0=$(date +%s%N)
kill -TERM $runner; wait $runner
check_eq "hung switch-off, SIGTERM: exit" 143 "$?"
ms=$(ms_since "$t0")
check "hung switch-off, SIGTERM: ends quickly ($ms ms)" test "$ms" -lt 4000
check "hung switch-off, SIGTERM: sitectl's group is gone" \
  test -z "$(ps -o pid= -g "$(cat "$STATE/hanging-turn-off")")"
check_eq "hung switch-off, SIGTERM: status put back" 0 "$(status "$D")"
check_eq "hung switch-off, SIGTERM: failure logged" \
  "[T] turning domain \"$D\" off ... fail" "$(tline "$W/hung.log" 1)"
check_eq "hung switch-off, SIGTERM: semaphore failed" 2 "$(sem_value "$KEY")"
check_eq "hung switch-off, SIGTERM: chain not started" \
  "[T] title ... error!|Stopped by signal 15 before the chain started." \
  "$(tline "$W/hung.log" 3)|$(line "$W/hung.log" 4)"
check "hung switch-off, SIGTERM: lock released" lock_is_free
rm -f "$STATE/hang-turn-off"

rm -f "$STATE/calls.log"
touch "$STATE/hang-turn-on"
new_key
t0=$(date +%s%N)
HVX_UTILITY_TIMEOUT=2 dchain "$W/hung-on.log" "$D" "true"
ms=$(ms_since "$t0")
check "hung switch-on: ends after the limit ($ms ms)" test "$ms" -ge 2000 -a "$ms" -lt 6000
check_eq "hung switch-on: failure logged" "[T] turning domain \"$D\" on ... fail" \
  "$(tline "$W/hung-on.log" 3)"
check_contains "hung switch-on: reported" "sitectl did not end within 2 s" "$ERR"
check_eq "hung switch-on: the status it found is put back" 4 "$(status "$D")"
check "hung switch-on: lock released" lock_is_free
rm -f "$STATE/hang-turn-on"
set_status "$D" 0

finish
