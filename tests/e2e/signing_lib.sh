# Helpers of the signing suites (sourced after lib.sh): dumps taken apart and
# made with independent tools only (sha1sum, openssl, head, tail).

# dump_files BASE: the files of a dump, base first, parts by number.
dump_files() {
  local n=2
  echo "$1"
  while [ -e "$1.part$n" ]; do echo "$1.part$n"; n=$((n + 1)); done
}

# dump_stream BASE: the dump stream, i.e. the files in order without the two
# signature lines at the end.
dump_stream() {
  local files total=0 f
  mapfile -t files < <(dump_files "$1")
  for f in "${files[@]}"; do total=$((total + $(stat -c %s "$f"))); done
  cat "${files[@]}" | head -c $((total - $(tail -n 2 "${files[-1]}" | wc -c)))
}

# dump_field BASE 1|2: the value of "Magic1: " or "Magic2: " in the last file.
dump_field() {
  local last
  last=$(dump_files "$1" | tail -n 1)
  tail -n 2 "$last" | sed -n "s/^.*Magic$2: //p"
}

unhex() { python3 -c 'import sys; sys.stdout.buffer.write(bytes.fromhex(sys.argv[1]))' "$1"; }

# openssl_verify BASE PUBKEY: checks the dump's Magic2 over its Magic1 with
# the openssl command line.
openssl_verify() {
  local t
  t=$(mktemp -d)
  unhex "$(dump_field "$1" 1)" > "$t/digest"
  unhex "$(dump_field "$1" 2)" > "$t/sig"
  openssl pkeyutl -verify -pubin -inkey "$2" -pkeyopt digest:sha1 -in "$t/digest" \
    -sigfile "$t/sig" > /dev/null 2>&1
  local rc=$?
  rm -rf "$t"
  return $rc
}

# write_signed_dump STREAM BASE SPLIT PRIVKEY: lays STREAM out as dump BASE
# (parts of SPLIT bytes, 0 = one file; a stream ending on a part boundary
# gets a last part with only the signature lines) and signs it with openssl.
write_signed_dump() {
  local stream=$1 base=$2 split=$3 key=$4 size digest t part=1 off=0 last
  size=$(stat -c %s "$stream")
  t=$(mktemp -d)
  digest=$(sha1sum < "$stream" | cut -c1-40)
  unhex "$digest" > "$t/digest"
  openssl pkeyutl -sign -inkey "$key" -pkeyopt digest:sha1 -in "$t/digest" -out "$t/sig"
  if [ "$split" -eq 0 ]; then
    cp "$stream" "$base"; last=$base
  else
    while :; do
      last=$base; [ $part -eq 1 ] || last=$base.part$part
      tail -c +$((off + 1)) "$stream" | head -c "$split" > "$last"
      off=$((off + split)); part=$((part + 1))
      [ $off -le "$size" ] || break
    done
  fi
  { printf 'Magic1: %s\nMagic2: ' "$digest"; od -An -vtx1 "$t/sig" | tr -d ' \n'; echo; } >> "$last"
  rm -rf "$t"
}
