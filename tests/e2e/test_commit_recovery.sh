#!/usr/bin/env bash
# A run killed at each step of putting a dump in place (strace injects
# SIGKILL at the Nth rename or unlink of sitevault itself): the next run
# that takes the domain's lock finishes or undoes the commit, and the name
# then holds one whole dump, the older one or the new one.
. "$(dirname "$0")/lib.sh"
new_sandbox
D=example.com
REPO=$DUMP_D/$D
echo "nightly" > "$SB/tmp/desc"
dump_sum() {  # the dump's files in part order, as one stream
  local n=2 name=$REPO/$1
  { cat "$name"; while [ -e "$name.part$n" ]; do cat "$name.part$n"; n=$((n + 1)); done; } | sha1sum
}
parts_of() { ls "$REPO" | grep -cE "^$1(\.part[0-9]+)?$"; }
backup() {  # backup NAME PAD_MIB [wrapper...]
  local name=$1 pad=$2; shift 2
  HVXDUMP_PAD_MIB=$pad run "$@" "$SITEVAULT" --backup --verbose --domain-name $D --dump-file "$name" \
    --desc-file "$SB/tmp/desc" --split-size 1
}

run "$SITEVAULT" --gen-server-keys
check_eq "key generation exit" 1 "$RC"

# The older dump has more parts than each new one.
backup ref 2
new_parts=$(parts_of ref)
rm -f "$REPO"/ref*
backup k 5
check_eq "older dump written" 0 "$RC"
older_parts=$(parts_of k)
check "older dump has more parts" [ "$older_parts" -gt "$new_parts" ]
older=$(dump_sum k)
cp -a "$REPO" "$SB/repo.older"

for syscall in renameat2 unlinkat; do
  outcomes=""
  for n in $(seq 1 12); do
    rm -rf "$REPO"; cp -a "$SB/repo.older" "$REPO"
    # LeakSanitizer cannot work in a traced process.
    backup k 2 env ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace="$syscall" -e inject="$syscall":signal=SIGKILL:when="$n"
    killed=$RC
    [ "$RC" = 137 ] || check_exit "$syscall $n: a run not killed succeeds" 0
    # Any run that takes the lock recovers first.
    run "$SITEVAULT" --remove-dump --domain-name $D --dump-file absent-dump
    run "$SITEVAULT" --check-dump --domain-name $D --dump-file k
    check_eq "$syscall $n: the name holds a dump whose digest holds" 0 "$OUT"
    parts=$(parts_of k)
    outcomes="$outcomes $parts/$killed"
    if [ "$parts" = "$older_parts" ]; then
      check_eq "$syscall $n: older dump back whole" "$older" "$(dump_sum k)"
    else
      check_eq "$syscall $n: the new dump's files" "$new_parts" "$parts"
    fi
    check_eq "$syscall $n: nothing staged left" "" "$(ls -A "$REPO" | grep hvxtmp)"
    [ "$killed" -ne 0 ] || break
  done
  echo "$syscall: files under the name / exit status, after each kill:$outcomes"
  check_eq "$syscall: the last run went past every kill point" 0 "$killed"
done

# Outside the repository the next backup to that directory recovers.
OUTSIDE=$SB/outside
mkdir -p "$OUTSIDE"
outside_backup() {
  HVXDUMP_PAD_MIB=$1 run "${@:3}" "$SITEVAULT" --backup --verbose --domain-name $D \
    --dump-file "$OUTSIDE/$2" --desc-file "$SB/tmp/desc" --split-size 1
}
outside_backup 5 k
outside_backup 2 k env ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=renameat2 \
  -e inject=renameat2:signal=SIGKILL:when=3
check_exit "outside backup killed mid-commit" 137
outside_backup 1 other
check_exit "next backup into that directory" 0
run "$SITEVAULT" --check-dump --dump-file "$OUTSIDE/k"
check_eq "outside dump whole after recovery" 0 "$OUT"
check_eq "outside: nothing staged left" "" "$(ls -A "$OUTSIDE" | grep hvxtmp)"

# A name whose part files cannot exist is refused before the domain is
# touched; without splitting the same name is taken, and put in place
# although its staging name had to be cut.
CALLS=$SB/var/sandbox/sitectl/calls.log
: > "$CALLS"
long=$(printf 'L%.0s' $(seq 1 248))
backup "$long" 1
check_exit "split dump with a 248-byte name refused" 1
check_contains "refusal says why" "is too long: the names of its part files would not fit" "$ERR"
check_eq "domain untouched by the refusal" "" "$(cat "$CALLS")"
HVXDUMP_PAD_MIB=1 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file "$long" \
  --desc-file "$SB/tmp/desc"
check_exit "unsplit dump with that name" 0
run "$SITEVAULT" --check-dump --domain-name $D --dump-file "$long"
check_eq "the long-named dump checks" 0 "$OUT"
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file "$(printf 'L%.0s' $(seq 1 256))" \
  --desc-file "$SB/tmp/desc"
check_exit "a name longer than a file name refused" 1

finish
