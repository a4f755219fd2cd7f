#!/usr/bin/env bash
# sitevault --check-dump on dumps made with independent tools: streams with
# NUL bytes and signature-like content lines, a last part holding only the
# signature lines, altered content, an upper-case digest, an unreadable part.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/signing_lib.sh"
new_sandbox
D=example.com
REPO=$DUMP_D/$D
T=$SB/tmp/check; mkdir -p "$T" "$REPO"
openssl genrsa -traditional -out "$T/priv.pem" 1024 2>/dev/null

check_dump() { run "$SITEVAULT" --check-dump --domain-name $D --dump-file "$1"; }

# A stream with every byte value and fake signature fields, the last of them
# in the last part, right before the final marker.
{
  printf '# hvxdump stream 1\nDomain: %s\nMagic1: %040d\nMagic2: 00\n' $D 0
  head -c 300000 /dev/urandom
  printf '\0\0\n'
  printf 'Magic1: %040d\nMagic2: ff\nEnd-of-dump\n' 7
} > "$T/stream"
write_signed_dump "$T/stream" "$REPO/bin" 65536 "$T/priv.pem"
check "binary dump in parts" test -f "$REPO/bin.part5"
check_dump bin
check_eq "binary stream with fake fields checks out" "0" "$OUT"
check_eq "exit of a good check" 0 "$RC"

# The stream ends on a part boundary: the last part is the two lines alone.
{
  printf '# hvxdump stream 1\n'
  head -c $((3 * 4096 - 19 - 13)) /dev/zero | tr '\0' 'x'
  printf '\nEnd-of-dump\n'
} > "$T/exact"
check_eq "stream of three parts exactly" $((3 * 4096)) "$(stat -c %s "$T/exact")"
write_signed_dump "$T/exact" "$REPO/exact" 4096 "$T/priv.pem"
check_eq "signature-only last part" 2 "$(wc -l < "$REPO/exact.part4")"
check_dump exact
check_eq "short last part checks out" "0" "$OUT"

# Altered content under kept fields, and a digest stored in upper case.
cp "$REPO/exact.part2" "$T/part2"
printf 'y' | dd of="$REPO/exact.part2" bs=1 seek=100 conv=notrunc 2>/dev/null
check_dump exact
check_eq "altered content fails" "1" "$(echo "$OUT" | tail -n 1)"
check_contains "corruption message" "Dump $REPO/exact is corrupted - checksum mismatch" "$OUT"
check_eq "exit of a failed check" 0 "$RC"
cp "$T/part2" "$REPO/exact.part2"
sed -i '1s/^Magic1: \(.*\)$/Magic1: \U\1/' "$REPO/exact.part4"
check "digest now upper case" grep -qx 'Magic1: [0-9A-F]\{40\}' "$REPO/exact.part4"
check_dump exact
check_eq "upper-case digest fails" "1" "$(echo "$OUT" | tail -n 1)"

# A last part that is listed but cannot be opened ends the run.
ln -s "$T/nowhere" "$REPO/bin.part6"
check_dump bin
check_eq "unreadable last part exit" 1 "$RC"
check_contains "unreadable last part message" "Can't open file $REPO/bin.part6: " "$ERR"
check_not_contains "no verdict line" $'\n1' "$OUT"

finish
