#!/usr/bin/env bash
# A whole verbose backup against the signing yardstick, on the same stream of
# the sandbox's stand-in writer (HVXDUMP_PAD_MIB).
#
#   bench/bench_backup.sh BUILD_DIR [MIB] [PAIRS]
#
# BUILD_DIR: a build without sanitizers with the targets sitevault,
# sign_yardstick and switch_bench (scripts/build BUILD_DIR... or
# cmake -DCMAKE_BUILD_TYPE=Release). MIB: stream size (default 1024).
# PAIRS: interleaved pairs (default 7).
# A: sitevault --backup --verbose: repository-wide lock probe, domain lock,
#    status update and sitectl, dump with digest and signature, signature
#    verification, mail, switch-on and unlock. B: hvxdump | sign_yardstick
#    (64 KiB reads, SHA-1, one file). Every run is checked: A's Magic1 line
#    equals sha1sum of its stream, B's digest equals sha1sum of its file.
# Then switch_bench compares the two sitectl calls of a lock/unlock with two
# direct spawns of the stand-in.
# BENCH_REPORT=1: A runs with a status record (HVX_STATUS_FILE) and pings a
# local recording monitor (HVX_NOTIFY_URL, tests/support/monitor_server);
# each record is checked to say success with the dump's size. Run the whole
# script under script(1) (script -qec "bench/bench_backup.sh ...") to have A
# draw its progress line on a terminal.
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd); mib=${2:-1024}; pairs=${3:-7}
sv=$build/sitevault/sitevault; yard=$build/bench/sign_yardstick
[ -x "$sv" ] && [ -x "$yard" ] || { echo "build sitevault and sign_yardstick first" >&2; exit 2; }

work=$(mktemp -d "${BENCH_TMPDIR:-/var/tmp}/backupbench.XXXXXX")
cleanup() { "$src/testbed/sandbox" down "$work/root" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
eval "$("$src/testbed/sandbox" up "$work/root" 2>/dev/null)"
"$sv" --gen-server-keys >/dev/null || true
repo=$HVX_ROOT/var/lib/hvx/dumps/example.com
writer=$HVX_ROOT/usr/local/hvx/bin/hvxdump
echo "description" > "$work/desc"
if [ "${BENCH_REPORT:-0}" = 1 ]; then
  mkdir -p "$work/monitor"
  "$src/tests/support/monitor_server" "$work/monitor" & monitor=$!
  trap 'kill $monitor 2>/dev/null; cleanup' EXIT
  for _ in $(seq 1 100); do [ -e "$work/monitor/port" ] && break; sleep 0.05; done
  export HVX_STATUS_FILE=$work/%d-%c.json HVX_NOTIFY_SUFFIXES=1
  HVX_NOTIFY_URL=http://127.0.0.1:$(cat "$work/monitor/port")/ping/bench
  export HVX_NOTIFY_URL
fi
# The record of the last A run says success with the dump's size.
check_record() {
  [ "${BENCH_REPORT:-0}" = 1 ] || return 0
  python3 -c 'import json, sys
r = json.load(open(sys.argv[1]))
sys.exit(0 if r["event"] == "success" and r["bytes"] == int(sys.argv[2]) else 1)' \
    "$work/example.com-backup.json" "$1" || { echo "record mismatch" >&2; exit 1; }
}

ratios=()
echo "== verbose backup of a ${mib} MiB stream, ${pairs} pairs"
for i in $(seq 1 "$pairs"); do
  rm -f "$repo"/b* "$work/y"; sync
  HVXDUMP_PAD_MIB=$mib /usr/bin/time -f '%e %M' -o "$work/a" "$sv" --backup --verbose \
    --domain-name example.com --dump-file b1 --desc-file "$work/desc" \
    --email-from bu@example.com --email-to admin@example.com >/dev/null
  size=$(stat -c %s "$repo/b1"); sig=$(tail -n 2 "$repo/b1" | wc -c)
  [ "$(head -c $((size - sig)) "$repo/b1" | sha1sum | cut -c1-40)" = \
    "$(tail -n 2 "$repo/b1" | head -n 1 | cut -c9-)" ] || { echo "digest mismatch" >&2; exit 1; }
  check_record "$size"
  rm -f "$repo"/b*; sync
  HVXDUMP_PAD_MIB=$mib /usr/bin/time -f '%e %M' -o "$work/b" bash -c \
    "nice '$writer' --single-domain-mode -f - --domain-name example.com 2>/dev/null | '$yard' '$work/y' > '$work/yd'"
  [ "$(cut -c1-40 "$work/yd")" = "$(sha1sum < "$work/y" | cut -c1-40)" ] || { echo "yardstick mismatch" >&2; exit 1; }
  read -r ta ma < "$work/a"; read -r tb _ < "$work/b"
  r=$(awk -v a="$ta" -v b="$tb" 'BEGIN { printf "%.3f", a / b }')
  ratios+=("$r")
  echo "pair $i: A ${ta}s (peak ${ma} KiB)  B ${tb}s  A/B $r"
done
printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END {
  printf "median A/B %.3f (range %.3f - %.3f)\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
rm -f "$repo"/b* "$work/y"

if [ -x "$build/bench/switch_bench" ]; then
  echo "== domain switching: lock_domain and the release of the held domain against two direct spawns of sitectl"
  "$build/bench/switch_bench" example.com 15
fi
