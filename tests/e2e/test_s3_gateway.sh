#!/usr/bin/env bash
# The test run's S3 gateway and the S3 helpers of lib.sh: objects written by
# awscli read back with curl over HTTPS and the other way round, listings,
# unfinished uploads, and the gateway's checks of signatures and TLS.
. "$(dirname "$0")/lib.sh"
T=$(mktemp -d /tmp/hvxs3e2e.XXXXXX)
P=e2e-gw-$$
URL=$(s3_https_url)
printf 'one\ntwo\n' > "$T/small"
head -c 300000 /dev/urandom > "$T/binary"

# awscli writes a key with a space and non-ASCII; curl signs a GET for it
# over HTTPS verified with the gateway's CA, the key percent-encoded.
check "put through awscli" s3_put "$P/a dir/é" "$T/small"
check_eq "get through curl over https" "$(cat "$T/small")" \
  "$(s3_curl --fail "$URL/$P/a%20dir/%C3%A9")"
# curl writes, awscli reads the same bytes, over HTTP and over HTTPS.
check "put through curl over https" s3_curl --fail -T "$T/binary" "$URL/$P/binary" -o /dev/null
check "get through awscli" cmp -s "$T/binary" <(s3_get "$P/binary")
check_eq "awscli over https" 300000 \
  "$(s3_cli_https s3api head-object --bucket "$(s3_bucket)" --key "$P/binary" \
    --query ContentLength --output text)"
check_eq "keys under the prefix, a page each" "$P/a dir/é
$P/binary" "$(S3_PAGE_SIZE=1 s3_keys "$P/")"

# Unfinished multipart uploads (two of one key) show until they are aborted.
for i in 1 2; do s3_curl --fail -X POST "$URL/$P/open?uploads=" -o "$T/upload$i"; done
check_eq "open uploads listed, a page each" "$P/open $P/open" \
  "$(S3_PAGE_SIZE=1 s3_uploads "$P/" | cut -f1 | paste -sd' ')"

# The gateway refuses a wrong secret; its certificate needs the CA.
code=$(curl -sS --aws-sigv4 "aws:amz:us-east-1:s3" --cacert "$(test_env HVX_TEST_S3_CA)" \
  -u "$(test_env HVX_TEST_S3_ACCESS_KEY):wrong" -H 'x-amz-content-sha256: UNSIGNED-PAYLOAD' \
  -o "$T/denied" -w '%{http_code}' "$URL/$P/binary")
check_eq "wrong secret refused" 403 "$code"
check_contains "error code in the body" "<Code>SignatureDoesNotMatch</Code>" "$(cat "$T/denied")"
run curl -sS -o /dev/null "$URL/"
check_exit "certificate not trusted without the CA" 60

# Clearing the prefix leaves no object and no upload.
s3_clear "$P/"
check_eq "no key left" "" "$(s3_keys "$P/")"
check_eq "no upload left" "" "$(s3_uploads "$P/")"
rm -rf "$T"
finish
