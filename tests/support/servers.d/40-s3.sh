# shellcheck shell=bash
# S3 endpoint shared by the whole test run: a single-node Ceph cluster with
# its RADOS Gateway on loopback (plain HTTP and HTTPS ports), one user and
# the bucket the tests write under. Sourced by tests/support/servers, which
# provides $dir and $testbed.
# shellcheck disable=SC2154

start_server() {
  local out name
  dir=$(cd "$dir" && pwd)
  out=$("$testbed/s3-gateway" start "$dir/s3-gateway")
  # S3_HTTP_PORT, S3_HTTPS_PORT, S3_CA, S3_ACCESS_KEY, S3_SECRET, S3_BUCKET
  for name in HTTP_PORT HTTPS_PORT CA ACCESS_KEY SECRET BUCKET; do
    echo "HVX_TEST_S3_$name=$(sed -n "s/^S3_$name=//p" <<<"$out")"
  done >> "$dir/env"
  echo "HVX_TEST_S3_STATE=$dir/s3-gateway" >> "$dir/env"
}

stop_server() {
  "$testbed/s3-gateway" stop "$dir/s3-gateway"
}
