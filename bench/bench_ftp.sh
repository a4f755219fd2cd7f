#!/usr/bin/env bash
# FTP backup and FTP download against curl on the same loopback server.
#
#   bench/bench_ftp.sh [--scheme SCHEME] BUILD_DIR [MIB] [PAIRS] [SPLIT_MIB]
#
# SCHEME: ftp (default: pyftpdlib, testbed/ftp-server), ftpes or ftps
# (vsftpd with explicit or implicit TLS, testbed/ftps-server; the yardstick
# is curl --ssl-reqd with the test CA) or sftp (sshd, testbed/sftp-server;
# the yardstick is curl with sftp:// and the host key's SHA-256 pinned). The
# TLS and SSH servers need root (they run as uid 65534).
# BUILD_DIR: a build without sanitizers (cmake -DHVX_SANITIZE=OFF
# -DCMAKE_BUILD_TYPE=Release; target sitevault). MIB: stream size (default
# 1024). PAIRS: interleaved pairs (default 7). SPLIT_MIB: part size of the
# FTP backup (default 0, one file).
#
# Upload, A: sitevault --ftp-backup --verbose (hvxdump's stream, SHA-1,
#   signature, the write test, locks and mails); B: the same hvxdump stream
#   piped into curl -T. Each A dump is checked on the server (Magic1 equals
#   sha1sum of the stream), each B file by its size and last line.
# Download, A: sitevault --ftp-download of A's last dump (fetch and digest
#   check); B: curl -o of the same files. A must exit 0 (digest matched), B's
#   files must equal the server's.
# Each run reads its input afresh (the writer runs again; downloads read the
# server's files). Prints the time of A/B per pair, the median ratio with its
# range, and A's peak memory (the highest of the pairs) at MIB and at a
# quarter of it.
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
scheme=ftp
if [ "${1:-}" = --scheme ]; then scheme=${2:-}; shift 2 || true; fi
case $scheme in
  ftp) server_cmd=("$src/testbed/ftp-server") ;;
  ftpes | ftps) server_cmd=("$src/testbed/ftps-server") ;;
  sftp) server_cmd=("$src/testbed/sftp-server") ;;
  *) echo "unknown scheme '$scheme' (ftp, ftpes, ftps, sftp)" >&2; exit 2 ;;
esac
build=$(cd "$1" && pwd); mib=${2:-1024}; pairs=${3:-7}; split_mib=${4:-0}
sitevault=$build/sitevault/sitevault
[ -x "$sitevault" ] || { echo "build sitevault in $build first" >&2; exit 2; }

work=$(mktemp -d "${BENCH_TMPDIR:-/var/tmp}/ftpbench.XXXXXX")
cleanup() {
  [ $? -eq 0 ] || tail -n 20 "$work/stderr" >&2 2>/dev/null || true
  "${server_cmd[@]}" stop "$work/ftpd" >/dev/null 2>&1 || true
  "$src/testbed/sandbox" down "$work/root" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
eval "$("$src/testbed/sandbox" up "$work/root" 2>>"$work/stderr")"
[ -n "${HVX_ROOT:-}" ] || { echo "sandbox up failed" >&2; exit 1; }
export FTP_LOGIN=bench FTP_PASSWORD=bench-pw
# The TLS and SSH servers run as uid 65534, which must reach their home.
chmod 0711 "$work"
start_opt=(); [ "$scheme" = ftps ] && start_opt=(--implicit)
port=$("${server_cmd[@]}" start "${start_opt[@]}" "$work/ftpd" 0 "$FTP_LOGIN" "$FTP_PASSWORD")
home=$work/ftpd/home
# server: sitevault's --ftp-server; yard_url: the base URL of the yardstick,
# yard: its curl command line.
yard=(curl -sS -u "$FTP_LOGIN:$FTP_PASSWORD")
case $scheme in
  ftp)
    server=127.0.0.1:$port; yard_url=ftp://$server/
    mkdir -p "$home/a" "$home/b" ;;
  ftpes | ftps)
    server=$scheme://127.0.0.1:$port
    export HVX_FTP_CA_FILE=$work/ftpd/ca.pem
    yard+=(--ssl-reqd --cacert "$HVX_FTP_CA_FILE")
    if [ "$scheme" = ftps ]; then yard_url=ftps://127.0.0.1:$port/; else yard_url=ftp://127.0.0.1:$port/; fi
    install -d -o 65534 -g 65534 "$home/a" "$home/b" ;;
  sftp)
    server=sftp://127.0.0.1:$port; yard_url=$server/~/
    export HVX_SSH_KNOWN_HOSTS=$work/ftpd/known_hosts
    yard+=(--hostpubsha256 "$(sed 's/^SHA256://' "$work/ftpd/fingerprint")")
    install -d -o 65534 -g 65534 "$home/a" "$home/b" ;;
esac
mkdir -p "$work/fetched"
D=example.com
repo=$HVX_ROOT/var/lib/hvx/dumps/$D
mkdir -p "$repo"
echo bench > "$work/desc"
"$sitevault" --gen-server-keys >/dev/null || true
writer=$HVX_ROOT/usr/local/hvx/bin/hvxdump
split_opt=(); [ "$split_mib" -gt 0 ] && split_opt=(--split-size "$split_mib")

timed() {  # timed OUTFILE CMD...: elapsed seconds and peak KiB into OUTFILE
  local f=$1; shift
  /usr/bin/time -f '%e %M' -o "$f" "$@"
}

dump_files() {  # dump_files DIR NAME: the dump's files in dump order
  local n=2 files=("$1/$2")
  while [ -e "$1/$2.part$n" ]; do files+=("$1/$2.part$n"); n=$((n + 1)); done
  printf '%s\n' "${files[@]}"
}

check_signed() {  # check_signed DIR NAME: Magic1 equals sha1sum of the stream
  local files last total=0 sig f
  mapfile -t files < <(dump_files "$1" "$2")
  last=${files[-1]}
  for f in "${files[@]}"; do total=$((total + $(stat -c %s "$f"))); done
  sig=$(tail -n 2 "$last" | wc -c)
  [ "$(cat "${files[@]}" | head -c $((total - sig)) | sha1sum | cut -c1-40)" = \
    "$(tail -n 2 "$last" | head -n 1 | cut -c9-)" ] || { echo "digest mismatch in $2" >&2; exit 1; }
}

ftp_backup() {  # ftp_backup NAME MIB: the command line, for timed
  printf '%s\0' env HVXDUMP_PAD_MIB="$2" "$sitevault" --ftp-backup --verbose --domain-name $D --dump-file "$1" \
    --desc-file "$work/desc" --ftp-server "$server" --ftp-path a "${split_opt[@]}"
}
backup_args=()

median() {
  sort -n | awk '{ v[NR] = $1 } END {
    printf "median A/B %.3f (range %.3f - %.3f)\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

echo "== $scheme upload: ${mib} MiB stream, split ${split_mib} MiB, ${pairs} pairs"
ratios=(); peak=0
for i in $(seq 1 "$pairs"); do
  rm -f "$home/a/"* "$home/b/"*
  mapfile -d '' -t backup_args < <(ftp_backup d "$mib")
  timed "$work/a" "${backup_args[@]}" >>"$work/stderr" 2>&1
  check_signed "$home/a" d
  # shellcheck disable=SC2016,SC2094
  timed "$work/b" bash -c 'HVXDUMP_PAD_MIB=$1 nice "$2" --single-domain-mode -F -f - \
    --domain-name "$3" 2>>"$4" | "${@:5}"' _ "$mib" "$writer" $D "$work/stderr" \
    "${yard[@]}" -T - "${yard_url}b/y" 2>>"$work/stderr"
  [ "$(stat -c %s "$home/b/y")" -ge $((mib * 1048576 - 4096)) ] &&
    [ "$(tail -n 1 "$home/b/y")" = End-of-dump ] || { echo "yardstick upload incomplete" >&2; exit 1; }
  read -r ta ma < "$work/a"; read -r tb _ < "$work/b"
  r=$(ratio "$ta" "$tb"); ratios+=("$r"); [ "$ma" -le "$peak" ] || peak=$ma
  echo "pair $i: A ${ta}s (peak ${ma} KiB)  B ${tb}s  A/B $r"
done
printf '%s\n' "${ratios[@]}" | median
upload_peak=$peak

echo "== $scheme download: the ${mib} MiB dump, ${pairs} pairs"
mapfile -t remote < <(dump_files "$home/a" d)
curl_args=()
for f in "${remote[@]}"; do
  curl_args+=(-o "$work/fetched/$(basename "$f")" "${yard_url}a/$(basename "$f")")
done
ratios=(); peak=0
for i in $(seq 1 "$pairs"); do
  rm -f "$repo"/d "$repo"/d.part* "$work/fetched/"*
  timed "$work/a" "$sitevault" --ftp-download --domain-name $D --dump-file d \
    --ftp-server "$server" --ftp-path a >>"$work/stderr" 2>&1 ||
    { echo "download failed" >&2; exit 1; }
  for f in "${remote[@]}"; do cmp -s "$f" "$repo/$(basename "$f")" || { echo "A differs" >&2; exit 1; }; done
  timed "$work/b" "${yard[@]}" "${curl_args[@]}" 2>>"$work/stderr"
  for f in "${remote[@]}"; do
    cmp -s "$f" "$work/fetched/$(basename "$f")" || { echo "B differs" >&2; exit 1; }
  done
  read -r ta ma < "$work/a"; read -r tb _ < "$work/b"
  r=$(ratio "$ta" "$tb"); ratios+=("$r"); [ "$ma" -le "$peak" ] || peak=$ma
  echo "pair $i: A ${ta}s (peak ${ma} KiB)  B ${tb}s  A/B $r"
done
printf '%s\n' "${ratios[@]}" | median
download_peak=$peak

small=$((mib / 4)); [ "$small" -gt 0 ] || small=1
rm -f "$home/a/"*
mapfile -d '' -t backup_args < <(ftp_backup s "$small")
timed "$work/a" "${backup_args[@]}" >>"$work/stderr" 2>&1
check_signed "$home/a" s
echo "peak memory of the upload: $(cut -d' ' -f2 "$work/a") KiB at ${small} MiB, ${upload_peak} KiB at ${mib} MiB"
rm -f "$repo"/s "$repo"/s.part*
timed "$work/a" "$sitevault" --ftp-download --domain-name $D --dump-file s \
  --ftp-server "$server" --ftp-path a >>"$work/stderr" 2>&1
echo "peak memory of the download: $(cut -d' ' -f2 "$work/a") KiB at ${small} MiB, ${download_peak} KiB at ${mib} MiB"
