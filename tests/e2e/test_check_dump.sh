#!/usr/bin/env bash
# sitevault --check-dump on dumps made with independent tools: a stream with
# NUL bytes and signature-like content lines, altered content, an unreadable
# last part.
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

# Altered content under kept fields.
python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(100); c = f.read(1)
f.seek(100); f.write(bytes([c[0] ^ 1]))' "$REPO/bin.part2"
check_dump bin
check_eq "altered content fails" "1" "$(echo "$OUT" | tail -n 1)"
check_contains "corruption message" "Dump $REPO/bin is corrupted - checksum mismatch" "$OUT"
check_eq "exit of a failed check" 0 "$RC"

# A last part that is listed but cannot be opened ends the run.
ln -s "$T/nowhere" "$REPO/bin.part6"
check_dump bin
check_eq "unreadable last part exit" 1 "$RC"
check_contains "unreadable last part message" "Can't open file $REPO/bin.part6: " "$ERR"
check_not_contains "no verdict line" $'\n1' "$OUT"

finish
