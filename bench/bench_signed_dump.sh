#!/usr/bin/env bash
# Signed dump writer against its yardstick, on the same stream of the
# sandbox's stand-in writer (HVXDUMP_PAD_MIB).
#
#   bench/bench_signed_dump.sh BUILD_DIR [MIB] [PAIRS] [SPLIT_MIB...]
#
# BUILD_DIR: a build without sanitizers (cmake -DHVX_SANITIZE=OFF
# -DCMAKE_BUILD_TYPE=Release; targets sign_driver sign_yardstick).
# MIB: stream size (default 1024). PAIRS: interleaved pairs (default 7).
# SPLIT_MIB: part sizes to run, 0 = one file (default "0 300").
# A: sign_driver dump (make_signed_dump: pipe from hvxdump, SHA-1, files,
#    signature lines); B: hvxdump | sign_yardstick (64 KiB reads, SHA-1,
#    one file). Every run is checked with sha1sum; the time of A/B per pair,
#    the median ratio with its range, and A's peak memory at MIB and at a
#    quarter of it are printed.
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd); mib=${2:-1024}; pairs=${3:-7}; shift $(( $# < 3 ? $# : 3 ))
splits=("$@"); [ ${#splits[@]} -gt 0 ] || splits=(0 300)
driver=$build/bench/sign_driver; yard=$build/bench/sign_yardstick
[ -x "$driver" ] && [ -x "$yard" ] || { echo "build sign_driver and sign_yardstick first" >&2; exit 2; }

work=$(mktemp -d "${BENCH_TMPDIR:-/var/tmp}/signbench.XXXXXX")
cleanup() {
  [ $? -eq 0 ] || cat "$work/stderr" >&2 2>/dev/null || true
  "$src/testbed/sandbox" down "$work/root" >/dev/null 2>&1 || true; rm -rf "$work"
}
trap cleanup EXIT
eval "$("$src/testbed/sandbox" up "$work/root" 2>/dev/null)"
"$driver" keys >/dev/null
writer=$HVX_ROOT/usr/local/hvx/bin/hvxdump
out=$work/out; mkdir -p "$out"

check_dump() {  # check_dump BASE SPLIT_BYTES: Magic1 == sha1sum of the stream
  local base=$1 split=$2 files=("$1") n=2 total=0 last sig
  while [ -e "$base.part$n" ]; do files+=("$base.part$n"); n=$((n + 1)); done
  for f in "${files[@]}"; do total=$((total + $(stat -c %s "$f"))); done
  last=${files[-1]}
  sig=$(tail -n 2 "$last" | wc -c)
  if [ "$split" -gt 0 ]; then
    for f in "${files[@]:0:${#files[@]}-1}"; do
      [ "$(stat -c %s "$f")" -eq "$split" ] || { echo "part $f is not $split bytes" >&2; exit 1; }
    done
  fi
  [ "$(cat "${files[@]}" | head -c $((total - sig)) | sha1sum | cut -c1-40)" = \
    "$(tail -n 2 "$last" | head -n 1 | cut -c9-)" ] || { echo "digest mismatch in $base" >&2; exit 1; }
}

timed() {  # timed OUTFILE CMD...: elapsed seconds and peak KiB into OUTFILE
  local f=$1; shift
  /usr/bin/time -f '%e %M' -o "$f" "$@"
}

for split_mib in "${splits[@]}"; do
  split=$((split_mib * 1048576))
  ratios=()
  echo "== ${mib} MiB stream, split ${split_mib} MiB, ${pairs} pairs"
  for i in $(seq 1 "$pairs"); do
    rm -f "$out"/*; sync
    HVXDUMP_PAD_MIB=$mib timed "$work/a" "$driver" dump "$out/d" "$split" example.com 2>>"$work/stderr"
    check_dump "$out/d" "$split"
    rm -f "$out"/*; sync
    HVXDUMP_PAD_MIB=$mib timed "$work/b" bash -c \
      "nice '$writer' --single-domain-mode -f - --domain-name example.com 2>>'$work/stderr' | '$yard' '$out/y' > '$work/ydigest'"
    [ "$(cut -c1-40 "$work/ydigest")" = "$(sha1sum < "$out/y" | cut -c1-40)" ] ||
      { echo "yardstick digest mismatch" >&2; exit 1; }
    read -r ta ma < "$work/a"; read -r tb _ < "$work/b"
    r=$(awk -v a="$ta" -v b="$tb" 'BEGIN { printf "%.3f", a / b }')
    ratios+=("$r")
    echo "pair $i: A ${ta}s (peak ${ma} KiB)  B ${tb}s  A/B $r"
  done
  printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END {
    printf "median A/B %.3f (range %.3f - %.3f)\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
  rm -f "$out"/*
  small=$((mib / 4)); [ "$small" -gt 0 ] || small=1
  HVXDUMP_PAD_MIB=$small timed "$work/a" "$driver" dump "$out/d" "$split" example.com 2>>"$work/stderr"
  check_dump "$out/d" "$split"
  echo "peak memory of A: $(cut -d' ' -f2 "$work/a") KiB at ${small} MiB, ${ma} KiB at ${mib} MiB"
  rm -f "$out"/*
done
