#!/usr/bin/env bash
# Backup to and download from object storage against awscli on the same
# loopback S3 gateway.
#
#   bench/bench_s3.sh [--scheme s3|s3+http] BUILD_DIR [MIB] [PAIRS]
#
# BUILD_DIR: a build without sanitizers (cmake -DHVX_SANITIZE=OFF
# -DCMAKE_BUILD_TYPE=Release; target sitevault). MIB: stream size (default
# 1024). PAIRS: interleaved pairs (default 7). SCHEME: s3+http (default) or
# s3 (HTTPS with the gateway's throw-away CA, given to both clients). The
# gateway is started in a private directory (testbed/s3-gateway, about 20 s)
# unless HVX_BENCH_S3_ENV names the env file of a running one.
#
# Upload, A: sitevault --ftp-backup --verbose (hvxdump's stream, SHA-1,
#   signature, the write probe, multipart upload from the spool, the
#   commit's copy); B: the same hvxdump stream piped into
#   "aws s3 cp - s3://...". Each A dump is read back and checked (Magic1
#   equals sha1sum of the objects), each B object by its size and last line.
#   When s3cmd is installed, C: the same stream piped into
#   "s3cmd put - s3://..." (checked by its size), a third run of each round.
# Download, A: sitevault --ftp-download of A's last dump (fetch, digest and
#   signature check); B: "aws s3 cp s3://... -" of the same objects into
#   files. A must exit 0, B's files must equal A's.
# Prints the time of A/B per pair, the median ratio with its range, and A's
# and B's peak memory (the highest of the pairs).
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
scheme=s3+http
if [ "${1:-}" = --scheme ]; then scheme=${2:-}; shift 2 || true; fi
case $scheme in s3 | s3+http) ;; *) echo "unknown scheme '$scheme' (s3, s3+http)" >&2; exit 2 ;; esac
build=$(cd "$1" && pwd); mib=${2:-1024}; pairs=${3:-7}
sitevault=$build/sitevault/sitevault
[ -x "$sitevault" ] || { echo "build sitevault in $build first" >&2; exit 2; }

work=$(mktemp -d "${BENCH_TMPDIR:-/var/tmp}/s3bench.XXXXXX")
own_gateway=0
cleanup() {
  [ $? -eq 0 ] || tail -n 20 "$work/stderr" >&2 2>/dev/null || true
  [ "$own_gateway" -eq 0 ] || "$src/testbed/s3-gateway" stop "$work/gw" >/dev/null 2>&1 || true
  "$src/testbed/sandbox" down "$work/root" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
env_file=${HVX_BENCH_S3_ENV:-}
if [ -z "$env_file" ]; then
  own_gateway=1
  "$src/testbed/s3-gateway" start "$work/gw" > "$work/gw.env"
  env_file=$work/gw.env
fi
value() { sed -n "s/^\(HVX_TEST_\)\{0,1\}$1=//p" "$env_file" | head -n 1; }
eval "$("$src/testbed/sandbox" up "$work/root" 2>>"$work/stderr")"
[ -n "${HVX_ROOT:-}" ] || { echo "sandbox up failed" >&2; exit 1; }
export FTP_LOGIN FTP_PASSWORD
FTP_LOGIN=$(value S3_ACCESS_KEY); FTP_PASSWORD=$(value S3_SECRET)
bucket=$(value S3_BUCKET)
if [ "$scheme" = s3 ]; then
  port=$(value S3_HTTPS_PORT); endpoint=https://127.0.0.1:$port
  # Both clients check the gateway's certificate against its CA (awscli
  # through AWS_CA_BUNDLE, which reaches its runs in subshells too).
  export HVX_FTP_CA_FILE AWS_CA_BUNDLE; HVX_FTP_CA_FILE=$(value S3_CA); AWS_CA_BUNDLE=$HVX_FTP_CA_FILE
else
  port=$(value S3_HTTP_PORT); endpoint=http://127.0.0.1:$port
fi
server=$scheme://127.0.0.1:$port
prefix=bench-$$
aws_s3() {
  AWS_ACCESS_KEY_ID=$FTP_LOGIN AWS_SECRET_ACCESS_KEY=$FTP_PASSWORD AWS_DEFAULT_REGION=us-east-1 \
    AWS_EC2_METADATA_DISABLED=true AWS_CONFIG_FILE=/dev/null \
    /usr/bin/aws --endpoint-url "$endpoint" "$@"
}
export -f aws_s3
export FTP_LOGIN FTP_PASSWORD endpoint
D=example.com
repo=$HVX_ROOT/var/lib/hvx/dumps/$D
mkdir -p "$repo" "$work/fetched"
echo bench > "$work/desc"
"$sitevault" --gen-server-keys >/dev/null || true
writer=$HVX_ROOT/usr/local/hvx/bin/hvxdump

s3cmd_ok=0
if command -v s3cmd >/dev/null 2>&1; then
  s3cmd_ok=1
  https=False; [ "$scheme" = s3 ] && https=True
  cat > "$work/s3cfg" <<EOF2
[default]
access_key = $FTP_LOGIN
secret_key = $FTP_PASSWORD
host_base = 127.0.0.1:$port
host_bucket = 127.0.0.1:$port
use_https = $https
check_ssl_certificate = True
ca_certs_file = ${HVX_FTP_CA_FILE:-}
signature_v2 = False
bucket_location = us-east-1
EOF2
fi
export work

timed() {  # timed OUTFILE CMD...: elapsed seconds and peak KiB into OUTFILE
  local f=$1; shift
  /usr/bin/time -f '%e %M' -o "$f" "$@"
}
median() {
  sort -n | awk '{ v[NR] = $1 } END {
    printf "median A/B %.3f (range %.3f - %.3f)\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
# The dump's objects in dump order.
dump_keys() {
  local listed n=2
  listed=$(aws_s3 s3api list-objects-v2 --bucket "$bucket" --prefix "$prefix/a/d" \
    --query 'Contents[].Key' --output text | tr '\t' '\n')
  grep -qx "$prefix/a/d" <<<"$listed" || return 0
  echo "$prefix/a/d"
  while grep -qx "$prefix/a/d.part$n" <<<"$listed"; do echo "$prefix/a/d.part$n"; n=$((n + 1)); done
}
check_signed() {  # Magic1 of A's dump equals sha1sum of its objects' stream
  local keys total=0 sig f last
  mapfile -t keys < <(dump_keys)
  rm -f "$work/fetched/"*
  for f in "${keys[@]}"; do aws_s3 s3 cp --quiet "s3://$bucket/$f" "$work/fetched/${f##*/}"; done
  last=$work/fetched/${keys[-1]##*/}
  for f in "${keys[@]}"; do total=$((total + $(stat -c %s "$work/fetched/${f##*/}"))); done
  sig=$(tail -n 2 "$last" | wc -c)
  [ "$(for f in "${keys[@]}"; do cat "$work/fetched/${f##*/}"; done | head -c $((total - sig)) |
    sha1sum | cut -c1-40)" = "$(tail -n 2 "$last" | head -n 1 | cut -c9-)" ] ||
    { echo "digest mismatch" >&2; exit 1; }
}

echo "== $scheme upload: ${mib} MiB stream, ${pairs} pairs ($(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
ratios=(); ratios_c=(); peak_a=0; peak_b=0; peak_c=0
for i in $(seq 1 "$pairs"); do
  aws_s3 s3 rm --quiet --recursive "s3://$bucket/$prefix/" >/dev/null 2>&1 || true
  timed "$work/a" env HVXDUMP_PAD_MIB="$mib" "$sitevault" --ftp-backup --verbose --domain-name $D \
    --dump-file d --desc-file "$work/desc" --ftp-server "$server" --ftp-path "$bucket/$prefix/a" \
    >>"$work/stderr" 2>&1 || { echo "backup failed" >&2; exit 1; }
  # shellcheck disable=SC2016,SC2094
  timed "$work/b" bash -c 'HVXDUMP_PAD_MIB=$1 nice "$2" --single-domain-mode -F -f - \
    --domain-name "$3" 2>>"$4" | aws_s3 s3 cp - "$5"' _ "$mib" "$writer" $D "$work/stderr" \
    "s3://$bucket/$prefix/b/y" 2>>"$work/stderr"
  read -r ta ma < "$work/a"; read -r tb mb < "$work/b"
  size=$(aws_s3 s3api head-object --bucket "$bucket" --key "$prefix/b/y" --query ContentLength)
  [ "$size" -ge $((mib * 1048576 - 4096)) ] || { echo "yardstick upload incomplete" >&2; exit 1; }
  r=$(ratio "$ta" "$tb"); ratios+=("$r")
  [ "$ma" -le "$peak_a" ] || peak_a=$ma; [ "$mb" -le "$peak_b" ] || peak_b=$mb
  echo "pair $i: A ${ta}s (peak ${ma} KiB)  B ${tb}s (peak ${mb} KiB)  A/B $r"
  if [ "$s3cmd_ok" -eq 1 ]; then
    # shellcheck disable=SC2016,SC2094
    timed "$work/c" bash -c 'HVXDUMP_PAD_MIB=$1 nice "$2" --single-domain-mode -F -f - \
      --domain-name "$3" 2>>"$4" | s3cmd -c "$work/s3cfg" --no-progress -q put - "$5"' _ "$mib" \
      "$writer" $D "$work/stderr" "s3://$bucket/$prefix/c/y" 2>>"$work/stderr"
    size=$(aws_s3 s3api head-object --bucket "$bucket" --key "$prefix/c/y" --query ContentLength)
    [ "$size" -ge $((mib * 1048576 - 4096)) ] || { echo "s3cmd upload incomplete" >&2; exit 1; }
    read -r tc mc < "$work/c"
    r=$(ratio "$ta" "$tc"); ratios_c+=("$r")
    [ "$mc" -le "$peak_c" ] || peak_c=$mc
    echo "        C (s3cmd) ${tc}s (peak ${mc} KiB)  A/C $r"
  fi
done
printf '%s\n' "${ratios[@]}" | median
if [ "$s3cmd_ok" -eq 1 ]; then
  printf 'against s3cmd: '; printf '%s\n' "${ratios_c[@]}" | median | sed 's,A/B,A/C,'
  echo "s3cmd peak memory: ${peak_c} KiB"
fi
check_signed
echo "upload peak memory: A ${peak_a} KiB, B ${peak_b} KiB"

echo "== $scheme download: the ${mib} MiB dump, ${pairs} pairs"
mapfile -t keys < <(dump_keys)
ratios=(); peak_a=0; peak_b=0
for i in $(seq 1 "$pairs"); do
  rm -f "$repo"/d "$repo"/d.part* "$work/fetched/"*
  timed "$work/a" "$sitevault" --ftp-download --domain-name $D --dump-file d \
    --ftp-server "$server" --ftp-path "$bucket/$prefix/a" >>"$work/stderr" 2>&1 ||
    { echo "download failed" >&2; exit 1; }
  # shellcheck disable=SC2016
  timed "$work/b" bash -c 'for k in "${@:3}"; do aws_s3 s3 cp --quiet "s3://$1/$k" - > "$2/${k##*/}"; done' \
    _ "$bucket" "$work/fetched" "${keys[@]}" 2>>"$work/stderr"
  for k in "${keys[@]}"; do
    cmp -s "$repo/${k##*/}" "$work/fetched/${k##*/}" || { echo "B differs from A" >&2; exit 1; }
  done
  read -r ta ma < "$work/a"; read -r tb mb < "$work/b"
  r=$(ratio "$ta" "$tb"); ratios+=("$r")
  [ "$ma" -le "$peak_a" ] || peak_a=$ma; [ "$mb" -le "$peak_b" ] || peak_b=$mb
  echo "pair $i: A ${ta}s (peak ${ma} KiB)  B ${tb}s (peak ${mb} KiB)  A/B $r"
done
printf '%s\n' "${ratios[@]}" | median
echo "download peak memory: A ${peak_a} KiB, B ${peak_b} KiB"
aws_s3 s3 rm --quiet --recursive "s3://$bucket/$prefix/" >/dev/null 2>&1 || true
