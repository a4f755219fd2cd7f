#!/usr/bin/env bash
# A whole verbose restore against a yardstick of the same work done by
# standard tools, on one dump of the sandbox's stand-in writer.
#
#   bench/bench_restore.sh BUILD_DIR [MIB] [PAIRS]
#
# BUILD_DIR: a build without sanitizers with the target sitevault
# (scripts/build). MIB: stream size (default 1024). PAIRS: interleaved pairs
# (default 7).
# A: sitevault --restore --verbose: repository-wide lock probe, domain lock,
#    status update and sitectl, the dump's files opened once, signature and
#    digest checked on them, then fed to hvxrestore; switch-on and unlock.
# B: openssl dgst -sha1 over the dump's stream, then cat of its files into
#    the same restorer.
# Every run is checked: both restorers end with status 0 and restore the
# same content; B's digest equals the dump's Magic1 value.
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd); mib=${2:-1024}; pairs=${3:-7}
sv=$build/sitevault/sitevault
[ -x "$sv" ] || { echo "build sitevault first" >&2; exit 2; }

work=$(mktemp -d "${BENCH_TMPDIR:-/var/tmp}/restorebench.XXXXXX")
cleanup() { "$src/testbed/sandbox" down "$work/root" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
eval "$("$src/testbed/sandbox" up "$work/root" 2>/dev/null)"
"$sv" --gen-server-keys >/dev/null || true
repo=$HVX_ROOT/var/lib/hvx/dumps/example.com
restorer=$HVX_ROOT/usr/local/hvx/bin/hvxrestore
site=$HVX_ROOT/var/www/vhosts/example.com
echo "description" > "$work/desc"
HVXDUMP_PAD_MIB=$mib "$sv" --backup --verbose --domain-name example.com --dump-file r1 \
  --desc-file "$work/desc" --split-size 500 >/dev/null
files=("$repo/r1")
n=2; while [ -e "$repo/r1.part$n" ]; do files+=("$repo/r1.part$n"); n=$((n + 1)); done
last=${files[-1]}
magic1=$(tail -n 2 "$last" | head -n 1 | cut -c9-)
sig_bytes=$(tail -n 2 "$last" | wc -c)
total=0; for f in "${files[@]}"; do total=$((total + $(stat -c %s "$f"))); done
content() { (cd "$site" && tar --sort=name -cf - . | sha1sum | cut -c1-40); }
expected=$(content)

ratios=()
echo "== verbose restore of a ${mib} MiB dump (${#files[@]} files), ${pairs} pairs"
for i in $(seq 1 "$pairs"); do
  rm -rf "$site"; sync
  /usr/bin/time -f '%e %M' -o "$work/a" "$sv" --restore --verbose --client-login owner \
    --domain-name example.com --domain-ip 192.0.2.10 --dump-file r1 >/dev/null
  [ "$(content)" = "$expected" ] || { echo "A: content not restored" >&2; exit 1; }
  rm -rf "$site"; sync
  /usr/bin/time -f '%e %M' -o "$work/b" bash -c "
    set -eo pipefail
    d=\$(cat $(printf "'%s' " "${files[@]}") | head -c $((total - sig_bytes)) | openssl dgst -sha1 -r | cut -c1-40)
    [ \"\$d\" = '$magic1' ] || { echo 'B: digest mismatch' >&2; exit 1; }
    cat $(printf "'%s' " "${files[@]}") | nice '$restorer' --single-domain-mode -V conf -f - \
      --noblock --domain-name=example.com --client-login=owner --domain-ip=192.0.2.10 >/dev/null"
  [ "$(content)" = "$expected" ] || { echo "B: content not restored" >&2; exit 1; }
  read -r ta ma < "$work/a"; read -r tb _ < "$work/b"
  r=$(awk -v a="$ta" -v b="$tb" 'BEGIN { printf "%.3f", a / b }')
  ratios+=("$r")
  echo "pair $i: A ${ta}s (peak ${ma} KiB)  B ${tb}s  A/B $r"
done
printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END {
  printf "median A/B %.3f (range %.3f - %.3f)\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
