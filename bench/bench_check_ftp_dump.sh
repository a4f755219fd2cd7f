#!/usr/bin/env bash
# The check of a remote dump in place against curl piped into openssl, on
# the same loopback FTP server; then the inventory of a large repository.
#
#   bench/bench_check_ftp_dump.sh BUILD_DIR [MIB] [PAIRS] [SPLIT_MIB] [DUMPS]
#
# BUILD_DIR: a build without sanitizers (cmake -DHVX_SANITIZE=OFF
# -DCMAKE_BUILD_TYPE=Release; target sitevault). MIB: dump size (default
# 1024); PAIRS: interleaved pairs (default 7); SPLIT_MIB: part size of the
# dump (default 256); DUMPS: dumps of the repository listed (default 1000).
#
# The dump is uploaded once by sitevault --ftp-backup (plain FTP,
# testbed/ftp-server). A: sitevault --check-ftp-dump of it, which must print
# 0; B: curl -s of the same files in order piped into openssl dgst -sha1,
# whose digest must equal sha1sum of the server's files. The order of A and
# B alternates from pair to pair. Prints the time of A/B per pair, the median
# ratio with its range, and A's peak memory (the highest of the pairs).
# Then DUMPS copies of a small signed dump are put in a local repository
# and sitevault --list-dumps is timed PAIRS times (each run must list DUMPS
# signed dumps); prints the median and the highest time.
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd); mib=${2:-1024}; pairs=${3:-7}; split_mib=${4:-256}; dumps=${5:-1000}
sitevault=$build/sitevault/sitevault
[ -x "$sitevault" ] || { echo "build sitevault in $build first" >&2; exit 2; }

work=$(mktemp -d "${BENCH_TMPDIR:-/var/tmp}/checkftpbench.XXXXXX")
cleanup() {
  [ $? -eq 0 ] || tail -n 20 "$work/stderr" >&2 2>/dev/null || true
  "$src/testbed/ftp-server" stop "$work/ftpd" >/dev/null 2>&1 || true
  "$src/testbed/sandbox" down "$work/root" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
eval "$("$src/testbed/sandbox" up "$work/root" 2>>"$work/stderr")"
[ -n "${HVX_ROOT:-}" ] || { echo "sandbox up failed" >&2; exit 1; }
export FTP_LOGIN=bench FTP_PASSWORD=bench-pw
port=$("$src/testbed/ftp-server" start "$work/ftpd" 0 "$FTP_LOGIN" "$FTP_PASSWORD")
home=$work/ftpd/home
server=127.0.0.1:$port
mkdir -p "$home/a"
D=example.com
repo=$HVX_ROOT/var/lib/hvx/dumps/$D
mkdir -p "$repo"
echo bench > "$work/desc"
"$sitevault" --gen-server-keys >/dev/null || true

timed() {  # timed OUTFILE CMD...: elapsed seconds and peak KiB into OUTFILE
  local f=$1; shift
  /usr/bin/time -f '%e %M' -o "$f" "$@"
}
median() {
  sort -n | awk '{ v[NR] = $1 } END {
    printf "median A/B %.3f (range %.3f - %.3f)\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

HVXDUMP_PAD_MIB=$mib "$sitevault" --ftp-backup --verbose --domain-name $D --dump-file d \
  --desc-file "$work/desc" --ftp-server "$server" --ftp-path a --split-size "$split_mib" \
  >>"$work/stderr" 2>&1
files=("$home/a/d"); n=2
while [ -e "$home/a/d.part$n" ]; do files+=("$home/a/d.part$n"); n=$((n + 1)); done
urls=(); for f in "${files[@]}"; do urls+=("ftp://$server/a/$(basename "$f")"); done
expected=$(cat "${files[@]}" | sha1sum | cut -c1-40)
total=0; for f in "${files[@]}"; do total=$((total + $(stat -c %s "$f"))); done

run_a() {
  timed "$work/a" "$sitevault" --check-ftp-dump --domain-name $D --dump-file d \
    --ftp-server "$server" --ftp-path a > "$work/a.out" 2>>"$work/stderr"
  [ "$(cat "$work/a.out")" = 0 ] || { echo "check did not find the dump good" >&2; exit 1; }
}
run_b() {
  # shellcheck disable=SC2016
  timed "$work/b" bash -c 'curl -s -u "$1" "${@:2}" | openssl dgst -sha1 -r' _ \
    "$FTP_LOGIN:$FTP_PASSWORD" "${urls[@]}" > "$work/b.out"
  [ "$(cut -c1-40 "$work/b.out")" = "$expected" ] || { echo "yardstick digest differs" >&2; exit 1; }
}

echo "== check-ftp-dump: $total bytes in ${#files[@]} files, $pairs pairs"
ratios=(); peak=0
for i in $(seq 1 "$pairs"); do
  if [ $((i % 2)) -eq 1 ]; then run_a; run_b; else run_b; run_a; fi
  read -r ta ma < "$work/a"; read -r tb _ < "$work/b"
  r=$(ratio "$ta" "$tb"); ratios+=("$r"); [ "$ma" -le "$peak" ] || peak=$ma
  echo "pair $i: A ${ta}s (peak ${ma} KiB)  B ${tb}s  A/B $r"
done
printf '%s\n' "${ratios[@]}" | median
echo "peak memory of the check: ${peak} KiB"

echo "== list-dumps: $dumps dumps in the local repository, $pairs runs"
"$sitevault" --backup --verbose --domain-name $D --dump-file seed --desc-file "$work/desc" \
  >>"$work/stderr" 2>&1
for i in $(seq 1 "$dumps"); do
  cp "$repo/seed" "$repo/n_$(date -d "2020-01-01 + $i hours" +%Y.%m.%d_%H.%M)"
done
times=()
for i in $(seq 1 "$pairs"); do
  timed "$work/l" "$sitevault" --list-dumps --domain-name $D > "$work/l.out" 2>>"$work/stderr"
  [ "$(grep -c $'\tsigned$' "$work/l.out")" -eq $((dumps + 1)) ] ||
    { echo "inventory incomplete" >&2; exit 1; }
  read -r tl ml < "$work/l"; times+=("$tl")
  echo "run $i: ${tl}s (peak ${ml} KiB)"
done
printf '%s\n' "${times[@]}" | sort -n |
  awk '{ v[NR] = $1 } END { printf "median %.3fs, highest %.3fs\n", v[int((NR + 1) / 2)], v[NR] }'
