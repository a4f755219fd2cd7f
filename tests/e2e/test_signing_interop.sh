#!/usr/bin/env bash
# The server key pair and signed dumps of the real binary, checked with
# independent tools: sha1sum for the digest, openssl for the signature, and
# dumps signed by openssl with a pair stored in the database.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/signing_lib.sh"
new_sandbox
D=example.com
REPO=$DUMP_D/$D
PUB=$SB/usr/local/hvx/admin/htdocs/bu_pubkey.txt
T=$SB/tmp/interop; mkdir -p "$T"
echo "signing suite" > "$SB/tmp/desc"

# Key generation, then the existing pair is kept.
run "$SITEVAULT" --gen-server-keys
check_eq "generation exit" 1 "$RC"
id=$(sql "select val from misc where param='bu_cert_id'")
check "bu_cert_id set" test "${id:-0}" -gt 0
sql "select cert from certificates where id=$id" | sed 's/\\n/\n/g' > "$T/cert.pem"
check_eq "published key file" \
  "$(printf 'Public key which may be used to verify dumps made from this host\n\n'; cat "$T/cert.pem"; echo x)" \
  "$(cat "$PUB"; echo x)"
check_contains "1024-bit key" "Public-Key: (1024 bit)" \
  "$(openssl rsa -RSAPublicKey_in -in "$T/cert.pem" -noout -text 2>&1)"
run "$SITEVAULT" --gen-server-keys
check_eq "second generation exit" 1 "$RC"
check_contains "pair exists" "Server's keys pair already exists" "$OUT"
check_eq "published key unchanged" "$(cat "$T/cert.pem")" "$(sed 1,2d "$PUB")"

# A backup in twelve or more parts: the digest is sha1sum of the files in
# part order, the signature verifies with openssl and the published key.
HVXDUMP_PAD_MIB=12 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file big \
  --desc-file "$SB/tmp/desc" --split-size 1
check_eq "backup exit" 0 "$RC"
check "twelfth part written" test -f "$REPO/big.part12"
check_eq "Magic1 is sha1sum of the stream" "$(dump_stream "$REPO/big" | sha1sum | cut -c1-40)" \
  "$(dump_field "$REPO/big" 1)"
check "Magic2 verifies with openssl" openssl_verify "$REPO/big" "$PUB"
run "$SITEVAULT" --check-dump --domain-name $D --dump-file big
check_eq "check of a twelve-part dump" 0 "$(echo "$OUT" | tail -n 1)"
run "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D --domain-ip 192.0.2.10 \
  --dump-file big
check_eq "restore of a twelve-part dump" 0 "$RC"

# A pair made by openssl and stored in the database signs dumps that our
# checks accept, in both public key forms; the stream ends on a part
# boundary, so the last part holds only the signature lines.
openssl genrsa -traditional -out "$T/priv.pem" 1024 2>/dev/null
openssl rsa -in "$T/priv.pem" -RSAPublicKey_out -out "$T/pub1.pem" 2>/dev/null
openssl rsa -in "$T/priv.pem" -pubout -out "$T/spki.pem" 2>/dev/null
# The stream padded to a multiple of four bytes, its final marker kept last.
dump_stream "$REPO/big" | head -n -1 > "$T/stream"
size=$(stat -c %s "$T/stream")
printf 'Pad: %0*d\nEnd-of-dump\n' $(( (4 - (size + 19) % 4) % 4 + 1 )) 0 >> "$T/stream"
size=$(stat -c %s "$T/stream")
check_eq "padded stream" 0 $((size % 4))
for form in pub1 spki; do
  sql "replace certificates(id,pvt_key,cert) values($id,'$(cat "$T/priv.pem")','$(cat "$T/$form.pem")')"
  rm -f "$REPO"/os.*  "$REPO/os"
  write_signed_dump "$T/stream" "$REPO/os" $((size / 4)) "$T/priv.pem"
  check_eq "$form: last part holds the signature lines only" 2 "$(wc -l < "$REPO/os.part5")"
  run "$SITEVAULT" --check-dump --domain-name $D --dump-file os
  check_eq "$form: digest check" 0 "$(echo "$OUT" | tail -n 1)"
  [ "$(echo "$OUT" | tail -n 1)" = 0 ] || echo "$OUT $ERR" >&2
  run "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D --domain-ip 192.0.2.10 \
    --dump-file os
  check_eq "$form: signature accepted by restore" 0 "$RC"
done

# The SubjectPublicKeyInfo form is not the stored form: a new pair is made.
run "$SITEVAULT" --gen-server-keys
check_eq "regeneration exit" 1 "$RC"
check_not_contains "no 'exists' message" "already exists" "$OUT"
check_eq "same id kept" "$id" "$(sql "select val from misc where param='bu_cert_id'")"
check_eq "no other pair stored" 1 "$(sql "select count(*) from certificates")"
run "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D --domain-ip 192.0.2.10 \
  --dump-file os
check_eq "old signature refused under the new pair" 1 "$RC"

finish
