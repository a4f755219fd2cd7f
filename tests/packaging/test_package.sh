#!/usr/bin/env bash
# The install target and the Debian package: what they install and nothing
# else, lintian's verdict, the manual pages, and the packaged programs at work
# in a sandbox (a signed dump checked by the recipe of sitevault(8)).
# shellcheck source=tests/e2e/lib.sh
. "${HVX_SOURCE_DIR:?}/tests/e2e/lib.sh"

T=$(mktemp -d /tmp/hvxpkg.XXXXXX)
key=""
cleanup() {
  [ -z "$key" ] || ipcrm -S "$key" 2>/dev/null
  cleanup_sandbox
  # shellcheck disable=SC2154  # counted by the suite helpers
  if [ "$failed" -eq 0 ]; then rm -rf "$T"; else echo "kept $T" >&2; fi
}
trap cleanup EXIT

files_under() { (cd "$1" && find . ! -type d | sort); }

# ---- install target: PREFIX and DESTDIR honoured, five files -------------
DESTDIR=$T/destdir cmake --install "$BUILD" --prefix /opt/hvx >/dev/null
check_eq "cmake --install installs the programs, pages and completion only" \
  "./opt/hvx/sbin/chainrun
./opt/hvx/sbin/sitevault
./opt/hvx/share/bash-completion/completions/sitevault
./opt/hvx/share/man/man8/chainrun.8
./opt/hvx/share/man/man8/sitevault.8" "$(files_under "$T/destdir")"

# ---- the package ---------------------------------------------------------
deb=$(nice -n 10 "$SRC/scripts/package" "$BUILD/package" | tail -n 1)
[ -f "$deb" ] || { not_ok "scripts/package made no .deb"; finish; exit; }

check_eq "package contents" \
  "./usr/sbin/chainrun
./usr/sbin/sitevault
./usr/share/bash-completion/completions/sitevault
./usr/share/doc/hvx-backup/changelog.gz
./usr/share/doc/hvx-backup/copyright
./usr/share/man/man8/chainrun.8.gz
./usr/share/man/man8/sitevault.8.gz" \
  "$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)"

version=$(sed -n 's/^project(hvx_backup VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
check_eq "package version is the project's" "$version" "$(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libmariadb3 libcurl4 libssl3 libidn12; do
  check_contains "dependency computed from the binaries" "$lib (" "$depends"
done

run lintian --fail-on error,warning "$deb"
check_eq "lintian finds no error or warning: $OUT" 0 "$RC"

dpkg-deb -x "$deb" "$T/root"
for page in sitevault chainrun; do
  check_contains "$page(8) carries the version" "$version" \
    "$(zcat "$T/root/usr/share/man/man8/$page.8.gz" | sed -n '/^\.TH/p')"
  run sh -c "zcat '$T/root/usr/share/man/man8/$page.8.gz' | groff -man -ww -z -Tutf8"
  check_eq "$page(8) renders without warnings" "" "$ERR"
done
check "the completion is valid bash" bash -n "$T/root/usr/share/bash-completion/completions/sitevault"

# ---- the packaged programs in a sandbox ----------------------------------
SITEVAULT=$T/root/usr/sbin/sitevault
CHAINRUN=$T/root/usr/sbin/chainrun
new_sandbox

run "$SITEVAULT" --help
check_eq "sitevault --help exits 0" 0 "$RC"
check_eq "sitevault --help prints the usage" "Usage: sitevault <command> [OPTIONS] ..." \
  "$(head -n 1 <<<"$OUT")"
run "$SITEVAULT" --bu-test
check_eq "sitevault --bu-test finds the utilities" "0" "$OUT"

run "$SITEVAULT" --gen-server-keys
HVXDUMP_PAD_MIB=2 run "$SITEVAULT" --backup --verbose --domain-name example.com \
  --dump-file d1 --desc-file /etc/hostname --split-size 1
check_eq "packaged sitevault makes a split backup: $ERR" 0 "$RC"
REPO=$DUMP_D/example.com
check "the backup is split into parts" test -f "$REPO/d1.part2"

# The recipe of "Verifying a dump by hand", as the page gives it.
recipe=$(awk '/^## Verifying a dump by hand/ { on = 1 } on && /^```/ { if (block) exit; block = 1; next }
              block { print }' "$SRC/doc/sitevault.8.scd")
cp "$SB/usr/local/hvx/admin/htdocs/bu_pubkey.txt" "$REPO/"
mapfile -t lines < <(cd "$REPO" && bash -e -c "$recipe" 2>&1)
check_eq "the recipe's two digests agree" "${lines[1]:-none}" "${lines[0]:0:40}"
check_eq "the recipe verifies the signature" "Verified OK" "${lines[2]:-}"

touch "$T/keyfile"
key=$("$CHAINRUN" "$T/keyfile")
check "chainrun's key mode prints a key" test "$key" -gt 0
run "$CHAINRUN" "$key" "$T/chain.log" "packaged chain" 0 0 "" 'printf+hello' 'tr+a-z+A-Z'
check_eq "packaged chainrun runs the chain" "0 HELLO" "$RC $OUT"
check_contains "the chain is logged" "] packaged chain ... done" "$(cat "$T/chain.log")"

finish
