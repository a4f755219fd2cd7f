# Helpers of the chainrun suites (sourced after lib.sh): private semaphore
# keys removed at exit, command encoding, semaphore values, log lines.

KEYS=()
# A fresh key from 2^31 up (the range that needs the unsigned reading),
# remembered for removal.
new_key() {
  KEY=$((2147483648 + ((RANDOM << 15 | RANDOM) << 1) + RANDOM % 2))
  KEYS+=("$KEY")
}
remove_keys() {
  local k
  for k in "${KEYS[@]}"; do ipcrm -S "$k" 2>/dev/null || true; done
}
chainrun_cleanup() { remove_keys; cleanup_sandbox; }
trap chainrun_cleanup EXIT

# The command url-encoded by an independent encoder.
enc() { /usr/bin/python3 -c 'import sys, urllib.parse; print(urllib.parse.quote_plus(sys.argv[1]))' "$1"; }

# Value of the semaphore of KEY; empty when there is none.
sem_value() {
  local id
  id=$(ipcs -s | awk -v k="$(printf '0x%08x' "$1")" '$1 == k { print $2 }')
  [ -n "$id" ] || return 0
  ipcs -s -i "$id" | awk '$1 == "0" && NF == 5 { print $2 }'
}

# Line N of a file.
line() { sed -n "${2}p" "$1"; }
# The log line with its leading "[ctime text] " replaced by "[T] ".
TIME_RE='\[[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9]\{4\}\]'
tline() { line "$1" "$2" | sed "s/^$TIME_RE /[T] /"; }
