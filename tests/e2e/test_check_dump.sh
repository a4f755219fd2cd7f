#!/usr/bin/env bash
# sitevault --check-dump on dumps made with independent tools: a stream with
# NUL bytes and signature-like content lines, altered content, forged and
# damaged signature lines, an unreadable last part.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/signing_lib.sh"
new_sandbox
D=example.com
REPO=$DUMP_D/$D
T=$SB/tmp/check; mkdir -p "$T" "$REPO"
openssl genrsa -traditional -out "$T/priv.pem" 1024 2>/dev/null
openssl rsa -in "$T/priv.pem" -RSAPublicKey_out -out "$T/pub.pem" 2>/dev/null
openssl genrsa -traditional -out "$T/other.pem" 1024 2>/dev/null
# The openssl pair becomes the server's pair.
"$SITEVAULT" --gen-server-keys >/dev/null 2>&1
id=$(sql "select val from misc where param='bu_cert_id'")
sql "replace certificates(id,pvt_key,cert) values($id,'$(cat "$T/priv.pem")','$(cat "$T/pub.pem")')"

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

# Signature lines that do not hold with a matching digest: made with another
# key, damaged, or kept while the content and its digest were both replaced.
verdict() { check_dump "$1"; echo "$(echo "$OUT" | tail -n 1)|$ERR"; }
printf 'small dump\n' > "$T/small"
write_signed_dump "$T/small" "$REPO/foreign" 0 "$T/other.pem"
v=$(verdict foreign)
check_eq "dump signed by another key fails" 1 "${v%%|*}"
check_contains "another key named" "Dump $REPO/foreign is signed by another key" "$v"
write_signed_dump "$T/small" "$REPO/damaged" 0 "$T/priv.pem"
sed -i '$s/Magic2: ../Magic2: zz/' "$REPO/damaged"
v=$(verdict damaged)
check_eq "damaged signature line fails" 1 "${v%%|*}"
check_contains "damage named" "Dump $REPO/damaged is corrupted - signature lines damaged" "$v"
write_signed_dump "$T/small" "$REPO/forged" 0 "$T/priv.pem"
printf 'other dump\n' > "$T/other"
{ cat "$T/other"; printf 'Magic1: %s\n' "$(sha1sum < "$T/other" | cut -c1-40)"; tail -n 1 "$REPO/forged"; } \
  > "$T/forged" && mv "$T/forged" "$REPO/forged"
v=$(verdict forged)
check_eq "re-digested content under the old signature fails" 1 "${v%%|*}"
check_contains "forgery named" "Dump $REPO/forged is corrupted - signature does not match the digest" "$v"

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

# The inventory of the repository: one line per dump, newest first (the
# stamp of a series name, else the last file's time), its files, bytes and
# state; staging leftovers and links are no dump's files.
rm -f "$REPO/bin.part6"
printf 'no signature\n' > "$REPO/plain"
cp "$REPO/foreign" "$REPO/cut"; cp "$REPO/foreign" "$REPO/cut.part3"
cp "$REPO/foreign" "$REPO/s_2021.06.01_10.00"; cp "$REPO/foreign" "$REPO/s_2020.06.01_10.00"
printf 'staged\n' > "$REPO/.hvxtmp.0-0-1-1.s_2022.01.01_10.00"
weird=$'we"ird\tna\\me\x01\xff'
cp "$REPO/foreign" "$REPO/$weird"
run "$SITEVAULT" --list-dumps --domain-name $D
check_exit "list-dumps" 0
line_of() { grep -a "^$1"$'\t' <<<"$OUT" | cut -f1,2,3,5; }
mapfile -t bin_files < <(dump_files "$REPO/bin")
check_eq "split dump: its files and bytes, signed" \
  "bin	${#bin_files[@]}	$(cat "${bin_files[@]}" | wc -c)	signed" "$(line_of bin)"
check_eq "unsigned file" "plain	1	13	unsigned" "$(line_of plain)"
check_eq "a part missing" "cut	2	$((2 * $(stat -c %s "$REPO/foreign")))	incomplete" "$(line_of cut)"
check_eq "a name with a tab, a backslash and control bytes is one line" \
  "we\"ird\\tna\\\\me\\x01"$'\xff'"	1	$(stat -c %s "$REPO/foreign")	signed" \
  "$(grep -a '^we"ird' <<<"$OUT" | cut -f1,2,3,5)"
check_eq "one line per dump, no staging leftover" 9 "$(wc -l <<<"$OUT")"
check_eq "series stamps are the oldest times here, newest first" \
  "s_2021.06.01_10.00	$(date -d '2021-06-01 10:00' +%Y-%m-%dT%H:%M:%S%:z)
s_2020.06.01_10.00	$(date -d '2020-06-01 10:00' +%Y-%m-%dT%H:%M:%S%:z)" "$(tail -n 2 <<<"$OUT" | cut -f1,4)"
check_eq "a file's time otherwise" "$(date -r "$REPO/plain" +%Y-%m-%dT%H:%M:%S%:z)" \
  "$(grep '^plain' <<<"$OUT" | cut -f4)"
run "$SITEVAULT" --list-dumps --json --domain-name $D
check "json: well formed" python3 -m json.tool <<<"$OUT"
check_eq "json: every dump, every byte of a name" "9 True" "$(python3 -c '
import json, os, sys
dumps = json.loads(sys.stdin.read())
names = {d["name"].encode("utf-8", "surrogateescape") for d in dumps}
print(len(dumps), os.fsencode(sys.argv[1]) in names and all(set(d) == {"name", "files", "bytes", "time", "time_source", "state"} for d in dumps))
' "$weird" <<<"$OUT")"
run "$SITEVAULT" --list-dumps --domain-name absent.example
check_exit "list-dumps of a missing repository" 1
check_contains "missing repository named" "unable to locate repository" "$ERR"

finish
