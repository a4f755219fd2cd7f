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

# together DIR N KEY LOG TITLE FLAG COMMAND: N runners of the one-command
# chain COMMAND under KEY, started at once (each waits on a shared flock
# that is released when all are forked). Runner i leaves its exit status in
# DIR/rc.i (once it has ended) and its standard error in DIR/err.i.
together() {
  local dir=$1 n=$2 key=$3 log=$4 title=$5 flag=$6 cmd i hold
  cmd=$(enc "$7")
  mkdir -p "$dir"
  : >"$dir/barrier"
  exec {hold}>"$dir/barrier"
  flock "$hold"
  for i in $(seq 1 "$n"); do
    # The subshell lets go of the barrier's descriptor, whose lock it would
    # otherwise hold itself.
    ( exec {hold}>&-
      flock -s "$dir/barrier" timeout 120 "$CHAINRUN" "$key" "$log" "$title" 0 "$flag" "" "$cmd" \
        </dev/null >/dev/null 2>"$dir/err.$i"
      echo $? >"$dir/rc.$i.tmp" && mv "$dir/rc.$i.tmp" "$dir/rc.$i" ) &
  done
  exec {hold}>&-
}
# How many runners of DIR have ended.
ended() { find "$1" -maxdepth 1 -name 'rc.*' ! -name '*.tmp' | wc -l; }
# Waits (up to half a minute) until N runners of DIR have ended.
wait_ended() {
  local _
  for _ in $(seq 1 300); do
    [ "$(ended "$1")" -ge "$2" ] && return 0
    sleep 0.1
  done
  return 1
}
# The lines written so far into the FIFO open (read and write) on
# descriptor FD.
fifo_lines() {
  local l
  while IFS= read -r -t 1 l <&"$1"; do printf '%s\n' "$l"; done
}
