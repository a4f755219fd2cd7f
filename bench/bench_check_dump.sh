#!/usr/bin/env bash
# Digest check of a stored dump against `openssl dgst -sha1` over the same
# stream bytes.
#
#   bench/bench_check_dump.sh BUILD_DIR [MIB] [PAIRS] [PARTS]
#
# BUILD_DIR: a build without sanitizers (targets sign_driver). MIB: stream
# size (default 1024); PAIRS: interleaved pairs (default 7); PARTS: files of
# the dump (default 5). The dump is made once by make_signed_dump; its
# stream (the files without the signature lines) is also written to one file
# for the yardstick. Before every run the input is read once more (the
# machine evicts the page cache eagerly, so both start alike).
# A: sign_driver check (check_dump_digest: file lookup, signature lines,
#    SHA-1 of every part); B: openssl dgst -sha1 of the stream file. Both
# results are compared with the stored "Magic1: " value on every run.
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd); mib=${2:-1024}; pairs=${3:-7}; parts=${4:-5}
driver=$build/bench/sign_driver
[ -x "$driver" ] || { echo "build sign_driver first" >&2; exit 2; }

work=$(mktemp -d "${BENCH_TMPDIR:-/var/tmp}/checkbench.XXXXXX")
cleanup() {
  [ $? -eq 0 ] || cat "$work/stderr" >&2 2>/dev/null || true
  "$src/testbed/sandbox" down "$work/root" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
eval "$("$src/testbed/sandbox" up "$work/root" 2>/dev/null)"
"$driver" keys >/dev/null

make_dump() {  # make_dump MIB BASE: a dump of about MIB MiB in $parts files
  local split=$(( ($1 * 1048576 + parts - 1) / parts ))
  HVXDUMP_PAD_MIB=$1 "$driver" dump "$2" "$split" example.com 2>>"$work/stderr"
}
dump_files() {
  local base=$1 n=2
  echo "$base"
  while [ -e "$base.part$n" ]; do echo "$base.part$n"; n=$((n + 1)); done
}

mkdir -p "$work/dumps"
make_dump "$mib" "$work/dumps/d"
mapfile -t files < <(dump_files "$work/dumps/d")
last=${files[-1]}
stored=$(tail -n 2 "$last" | head -n 1 | cut -c9-)
total=0; for f in "${files[@]}"; do total=$((total + $(stat -c %s "$f"))); done
cat "${files[@]}" | head -c $((total - $(tail -n 2 "$last" | wc -c))) > "$work/stream"
echo "== dump of $total bytes in ${#files[@]} files, $pairs pairs"

ratios=()
for i in $(seq 1 "$pairs"); do
  cat "${files[@]}" > /dev/null
  /usr/bin/time -f '%e %M' -o "$work/a" "$driver" check "$work/dumps/d" > "$work/a.out"
  grep -qx "digest ok" "$work/a.out" || { echo "check failed" >&2; exit 1; }
  cat "$work/stream" > /dev/null
  /usr/bin/time -f '%e %M' -o "$work/b" openssl dgst -sha1 -r "$work/stream" > "$work/b.out"
  [ "$(cut -c1-40 "$work/b.out")" = "$stored" ] || { echo "openssl digest differs" >&2; exit 1; }
  read -r ta ma < "$work/a"; read -r tb _ < "$work/b"
  r=$(awk -v a="$ta" -v b="$tb" 'BEGIN { printf "%.3f", a / b }')
  ratios+=("$r")
  echo "pair $i: A ${ta}s (peak ${ma} KiB)  B ${tb}s  A/B $r"
done
printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END {
  printf "median A/B %.3f (range %.3f - %.3f)\n", v[int((NR + 1) / 2)], v[1], v[NR] }'

rm -f "$work/stream" "$work"/dumps/*
small=$((mib / 4)); [ "$small" -gt 0 ] || small=1
make_dump "$small" "$work/dumps/s"
/usr/bin/time -f '%e %M' -o "$work/a" "$driver" check "$work/dumps/s" > /dev/null
echo "peak memory of A: $(cut -d' ' -f2 "$work/a") KiB at ${small} MiB, ${ma} KiB at ${mib} MiB"
