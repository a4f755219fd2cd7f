#!/usr/bin/env bash
# Option parsing and validation of sitevault, run with the real binary.
. "$(dirname "$0")/lib.sh"
new_sandbox
M="Command line options error"

# Usage, byte for byte (the text ends with a blank and the line feed of puts).
run "$SITEVAULT" -h
check_eq "help exit" 0 "$RC"
check_eq "usage first line" "Usage: sitevault <command> [OPTIONS] ..." "$(echo "$OUT" | head -n1)"
# The usage text's 34 lines come first, unchanged; the retention, inventory
# and remote check block follows them.
check_eq "usage last line keeps its blank" "$(printf '%48s' '')in dumps repository " "$("$SITEVAULT" --help | sed -n 34p)"
check_eq "usage ends with one line feed" "$(printf 'y \n' | od -An -tx1)" "$("$SITEVAULT" --help | head -n 34 | tail -c 3 | od -An -tx1)"
check_eq "usage block after the text" "" "$("$SITEVAULT" --help | sed -n 35p)"
check_contains "usage block lists the new commands" "    --list-dumps         - list the dumps" "$OUT"
check_eq "new block ends the usage" "    --json               - --list-dumps prints one JSON array" "$("$SITEVAULT" --help | tail -n 1)"
check_contains "usage lines end with a blank" "    --bu-test            - check backup utilities installation $(printf '\n')" "$OUT
"
run "$SITEVAULT" --no-such-option -h --backup
check_eq "help after an unknown option still exits 0" 0 "$RC"

# Installation test.
run "$SITEVAULT"
check_eq "no command runs the installation test" "0" "$OUT"
check_eq "installation test exit" 0 "$RC"
mv "$SB/usr/local/hvx/bin/hvxrestore" "$SB/hvxrestore.away"
run "$SITEVAULT" --bu-test
check_eq "missing utility reported by --bu-test" "1" "$OUT"
run "$SITEVAULT" --check-dump --dump-file /x
check_eq "missing utility exit" 1 "$RC"
check_contains "missing utility message" "sitevault: Error: backup utilities is not installed!" "$ERR"
mv "$SB/hvxrestore.away" "$SB/usr/local/hvx/bin/hvxrestore"

# Unknown options end with status 1 after parsing.
run "$SITEVAULT" --backup --bogus
check_eq "unknown option exit" 1 "$RC"

# Validation messages of each command, with their exit status.
expect() {  # expect EXIT "MESSAGE|MESSAGE" ARGS...
  local want_rc=$1 msgs=$2; shift 2
  run "$SITEVAULT" "$@"
  check_eq "exit of $*" "$want_rc" "$RC"
  local IFS='|' m
  for m in $msgs; do
    check_contains "stderr of $*" "sitevault: $M: $m" "$ERR"
    check_contains "stdout of $*" "sitevault: $M: $m" "$OUT"
  done
}
expect 1 "--dump-file argument is required" --check-dump
expect 1 "--dump-file should contains absolute path, in otherwise domain name argument is required" --check-dump --dump-file bare
expect 1 "--dump-file argument required" --get-dump-ctime
expect 1 "--dump-file argument required" --get-dump-desc
expect 1 "--dump-file argument is required" --get-dump-info
expect 1 "--dump-file option contains only filename that's why --domain-name argument is required" --get-domain-name --dump-file bare
expect 1 "--domain-name argument is required|--dump-file argument is required" --backup --desc-file d
expect 1 "--desc-file argument is required" --backup --domain-name example.com --dump-file x
expect 1 "--dump-file-prefix option is required for --rotate-dump-files option|--max-dump-files option is required for --rotate-dump-files option" --backup --domain-name example.com --rotate-dump-files --desc-file d
expect 1 "--dump-file argument must contains only file name (without path)|--ftp-server argument is required|--ftp-path argument is required" --ftp-backup --domain-name example.com --dump-file /a/b --desc-file d --ftp-login l --ftp-password p
expect 1 "--dump-file-prefix argument must contains only file name prefix (without path)" --ftp-backup --domain-name example.com --rotate-dump-files --dump-file-prefix /a/p --max-dump-files 2 --desc-file d --ftp-server s --ftp-path p --ftp-login l --ftp-password p
expect 1 "--ftp-login argument or FTP_LOGIN enviroment variable is required|--ftp-password argument or FTP_PASSWORD enviroment variable is required" --ftp-download --domain-name example.com --dump-file x --ftp-server s --ftp-path p
expect 1 "--client-login argument is required|--dump-file argument should be filename only not a path|--domain-ip address argument is required" --restore --domain-name example.com --dump-file /a/b
expect 1 "--domain-name argument is required" --remove-dump --dump-file x
expect 1 "--dump-file argument should be filename only not a path" --remove-dump --domain-name example.com --dump-file a/b
expect 1 "--domain-name argument is required" --remove-domain
expect 1 "--domain-name argument is required" --list-dumps
expect 1 "--ftp-server argument is required" --list-dumps --domain-name example.com --ftp-path p --ftp-login l --ftp-password p
expect 1 "--dump-file argument should be filename only not a path|--ftp-path argument is required" --check-ftp-dump --domain-name example.com --dump-file a/b --ftp-server s --ftp-login l --ftp-password p

# Retention rules: a count that is not a non-negative integer is refused
# like the other numeric options, and so is a rule without a rotation; a
# calendar rule stands in for --max-dump-files.
for value in x -1 1.5 3x "" 2147483648; do
  run "$SITEVAULT" --backup --domain-name example.com --rotate-dump-files --dump-file-prefix p \
    --keep-weekly "$value" --desc-file d
  check_eq "keep-weekly [$value] refused" 1 "$RC"
  check_contains "keep-weekly [$value] message" "$M: wrong option --keep-weekly value: $value" "$OUT"
done
for rule in --keep-daily --keep-weekly --keep-monthly --keep-yearly --keep-within; do
  expect 1 "--keep-daily, --keep-weekly, --keep-monthly, --keep-yearly and --keep-within options require --rotate-dump-files option" \
    --backup --domain-name example.com --dump-file x --desc-file d $rule 2
done
run "$SITEVAULT" --ftp-backup --domain-name example.com --rotate-dump-files --dump-file-prefix p --keep-monthly 0 \
  --desc-file d --ftp-login l --ftp-password p
check_not_contains "a calendar rule needs no --max-dump-files" "--max-dump-files option is required" "$ERR"
# A --max-dump-files beside the rules that is no count is not ignored: the
# rotation would otherwise delete what it was meant to keep.
expect 1 "--max-dump-files option is required for --rotate-dump-files option" \
  --backup --domain-name example.com --rotate-dump-files --dump-file-prefix p --max-dump-files x \
  --keep-daily 2 --desc-file d

# Credentials from the environment suffice.
run env FTP_LOGIN=l FTP_PASSWORD=p "$SITEVAULT" --ftp-download --domain-name example.com --dump-file x --ftp-server s
check_eq "environment credentials: only the path is missing" 1 "$RC"
check_not_contains "no login message with FTP_LOGIN set" "FTP_LOGIN enviroment" "$ERR"
run env FTP_LOGIN= FTP_PASSWORD= "$SITEVAULT" --ftp-download --domain-name example.com --dump-file x --ftp-server s
check_not_contains "an empty FTP_LOGIN is a value" "FTP_LOGIN enviroment" "$ERR"
check_not_contains "an empty FTP_PASSWORD is a value" "FTP_PASSWORD enviroment" "$ERR"

# Values that would be cut or that could name another object are refused.
long=$(printf 'a%.0s' $(seq 1 501))
expect 1 "--domain-name value is longer than 500 characters" --remove-domain --domain-name "$long"
for bad in "." ".." "a/b" "a'b" 'a"b' 'a\b' "$(printf 'a\tb')"; do
  run "$SITEVAULT" --remove-domain --domain-name "$bad"
  check_eq "domain name [$bad] refused" 1 "$RC"
  check_contains "domain name [$bad] message" "$M: --domain-name value is not a valid domain name" "$ERR"
done
run "$SITEVAULT" --remove-dump --domain-name example.com --dump-file "$(printf 'b%.0s' $(seq 1 4096))"
check_eq "over-long dump file refused" 1 "$RC"

# Option warnings go to standard output only and do not change the outcome.
run "$SITEVAULT" --bu-test --split-size 100 --max-dump-files x
check_contains "split size warning" "Command line options error: wrong option --split-size value: can't be less than 500: 100" "$OUT"
check_contains "max files warning" "Command line options error: wrong option --max-dump-files value: x" "$OUT"
check_eq "warnings keep exit 0" 0 "$RC"
run "$SITEVAULT" --bu-test --split-size abc
check_contains "unconverted split size: first warning" "wrong option --split-size value: abc" "$OUT"
check_contains "unconverted split size: second warning" "can't be less than 500: abc" "$OUT"

# Inspection commands run hvxdumpctl and exit with its status.
mkdir -p "$DUMP_D/example.com"
"$SB/usr/local/hvx/bin/hvxdump" -f - --domain-name example.com > "$DUMP_D/example.com/d1" 2>/dev/null
run "$SITEVAULT" --get-domain-name --domain-name example.com --dump-file d1
check_eq "get-domain-name" "example.com" "$OUT"
check_eq "get-domain-name exit" 0 "$RC"
run "$SITEVAULT" --get-dump-info --dump-file "$DUMP_D/example.com/d1"
check_contains "get-dump-info" "files=" "$OUT"
run "$SITEVAULT" --get-dump-ctime --domain-name example.com --dump-file d1
check_contains "get-dump-ctime" "$(date +%Y-)" "$OUT"
run "$SITEVAULT" --get-dump-desc --domain-name example.com --dump-file missing
check_eq "failing hvxdumpctl gives its own status" 2 "$RC"
# A dump path with shell metacharacters reaches the utility as one word.
touch "$SB/pwned.marker"
run "$SITEVAULT" --get-dump-info --dump-file "$SB/x\"; rm -f $SB/pwned.marker; echo \""
check "no command injection through the dump path" test -e "$SB/pwned.marker"
check_eq "odd dump path is just a missing dump" 2 "$RC"

finish
