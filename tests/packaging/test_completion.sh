#!/usr/bin/env bash
# sitevault's bash completion: valid bash; commands offered until one is on
# the line; domains and dumps taken from the repository named by the
# configuration under HVX_ROOT, without part files, the repository's own
# files or staged dumps.
set -uo pipefail
src=${HVX_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
completion=$src/completion/sitevault
passed=0
failed=0
check_eq() {  # check_eq DESCRIPTION EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "FAIL: $1: expected [$2], got [$3]" >&2; fi
}

check_eq "bash -n" "" "$(bash -n "$completion" 2>&1)"
# shellcheck source=completion/sitevault
. "$completion"

# complete LINE: the candidates for the last word of LINE (sorted, one line),
# the line split as readline splits it (blanks, and "=" as a word of its own).
complete() {
  local line=$1
  line=${line//=/ = }
  read -r -a COMP_WORDS <<<"$line"
  [[ $1 == *" " || $1 == *= ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _sitevault 2>/dev/null
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

check_eq "commands and options" "--backup" "$(complete "sitevault --ba")"
check_eq "no second command" "" "$(complete "sitevault --backup --ba")"
check_eq "options after a command" "--domain-ip --domain-name" "$(complete "sitevault --backup --dom")"
check_eq "no value offered for a number" "" "$(complete "sitevault --backup --split-size ")"

T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
mkdir -p "$T/etc/hvx" "$T/dumps/example.com" "$T/dumps/example.net"
printf '# DUMP_D /wrong\nPRODUCT_ROOT_D\t/usr/local/hvx\nDUMP_D\t%s/dumps\r\n' "$T" >"$T/etc/hvx/hvx.conf"
(cd "$T/dumps/example.com" && touch d1 d1.part2 d1.part backup_restore.log backup_restore.lock \
  .hvxtmp.42.d2 nightly_2026.01.02_03.04 x.partX)
export HVX_ROOT=$T

check_eq "domains of the repository" "example.com example.net" \
  "$(complete "sitevault --restore --domain-name ex")"
check_eq "dumps of the domain on the line" "d1 nightly_2026.01.02_03.04 x.partX" \
  "$(complete "sitevault --restore --domain-name example.com --dump-file ")"
check_eq "dumps after --domain-name=" "d1" \
  "$(complete "sitevault --remove-dump --domain-name=example.com --dump-file d")"
check_eq "a path is completed as a file name" "$T/dumps/example.com/d1 $T/dumps/example.com/d1.part $T/dumps/example.com/d1.part2" \
  "$(complete "sitevault --check-dump --dump-file $T/dumps/example.com/d1")"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
