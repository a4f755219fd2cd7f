#!/usr/bin/env bash
# Local backup, check, restore, rotation, removal, the lock and status
# protocol and the quota, run with the real binary in a sandbox.
. "$(dirname "$0")/lib.sh"
new_sandbox
D=example.com
REPO=$DUMP_D/$D
CALLS=$SB/var/sandbox/sitectl/calls.log
echo "nightly" > "$SB/tmp/desc"
content_sum() { (cd "$SITES" && tar --sort=name -cf - "$1" | sha1sum | cut -d' ' -f1); }
mails() { cat "$MAIL_D"/*.eml 2>/dev/null; }
clear_mail() { rm -f "$MAIL_D"/*.eml; }
status_of() { sql "select status from domains where name='$1'"; }

run "$SITEVAULT" --gen-server-keys
check_eq "key generation exit" 1 "$RC"

# A verbose split backup, checked and restored into an emptied domain.
before=$(content_sum $D)
HVXDUMP_PAD_MIB=3 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file b1 \
  --desc-file "$SB/tmp/desc" --split-size 1 --email-from 'bu@example.com' --email-to 'admin@example.com'
check_eq "backup exit" 0 "$RC"
check "backup split into parts" test -f "$REPO/b1.part3"
check_eq "full part holds exactly the split size" 1048576 "$(stat -c %s "$REPO/b1")"
check_eq "sitectl calls of one backup" "turn-off $D,turn-on $D" "$(paste -sd, "$CALLS")"
check_eq "status after backup" 0 "$(status_of $D)"
check_contains "begun mail" "Subject: Backup process has begun for domain '$D'" "$(mails)"
check_contains "completed mail" "Subject: Backup process has completed for domain '$D'" "$(mails)"
check_contains "sendmail arguments" "X-Sandbox-Args: -f bu@example.com admin@example.com" "$(mails)"
check_eq "repository mode" 750 "$(stat -c %a "$REPO")"
check_eq "repository owner" hvxadm "$(stat -c %U "$REPO")"
run "$SITEVAULT" --check-dump --domain-name $D --dump-file b1
check_eq "check of a fresh dump" 0 "$OUT"
rm -rf "${SITES:?}/$D"
clear_mail
run "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D --domain-ip 192.0.2.10 \
  --dump-file b1 --email-from bu@example.com --email-to admin@example.com
check_eq "restore exit" 0 "$RC"
check_eq "content restored byte for byte" "$before" "$(content_sum $D)"
check_contains "restore completed mail" "Restore process has completed for domain '$D'" "$(mails)"

# Values with shell metacharacters reach the utilities as plain words.
cd "$SB" || exit 1
odd_desc="$SB/tmp/de sc; touch pwned-desc"
echo "odd" > "$odd_desc"
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file odd --desc-file "$odd_desc"
check_eq "backup with an odd description path" 0 "$RC"
check "no command from the description path" test ! -e "$SB/pwned-desc"
run "$SITEVAULT" --restore --verbose --client-login "o'wner\"; touch pwned-login; \"" --domain-name $D \
  --domain-ip 192.0.2.10 --dump-file odd
check_eq "restore with an odd client login" 0 "$RC"
check "no command from the client login" test ! -e "$SB/pwned-login"
cd /

# Tampered content with the signature lines kept is refused.
cp "$REPO/b1" "$SB/b1.orig"
sed -i '2s/example.com/exampl3.com/' "$REPO/b1"
run "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D --domain-ip 192.0.2.10 --dump-file b1
check_eq "tampered restore refused" 1 "$RC"
check_contains "tampered restore message" "Dump signature verification failed for $REPO/b1" "$OUT"
run "$SITEVAULT" --check-dump --domain-name $D --dump-file b1
check_eq "tampered dump fails the check" 1 "$(echo "$OUT" | tail -n 1)"
cp "$SB/b1.orig" "$REPO/b1"

# A restorer that fails is a failed restore.
touch "$SB/var/sandbox/hvxrestore-fail"
clear_mail
run "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D --domain-ip 192.0.2.10 \
  --dump-file b1 --email-from bu@example.com --email-to admin@example.com
check_eq "failing restorer exit" 1 "$RC"
check_contains "failing restorer mail" "Restore process has failed for domain '$D'" "$(mails)"
check_eq "status after failed restore" 0 "$(status_of $D)"
rm -f "$SB/var/sandbox/hvxrestore-fail"

# Detached backup: the foreground returns at once, the background finishes.
clear_mail
HVXDUMP_PAD_MIB=2 run "$SITEVAULT" --backup --domain-name $D --dump-file b2 --desc-file "$SB/tmp/desc" \
  --email-from bu@example.com --email-to admin@example.com
check_eq "detached backup foreground exit" 0 "$RC"
check "detached backup releases the lock" wait_unlocked $D
for _ in $(seq 1 20); do mails | grep -q "has completed" && break; sleep 0.5; done
check_contains "detached backup completed mail" "Backup process has completed" "$(mails)"
run "$SITEVAULT" --check-dump --domain-name $D --dump-file b2
check_eq "detached backup dump checks" 0 "$OUT"

# A split size of 4 GiB and more is carried whole (4097 MiB would wrap to
# 1 MiB in 32 bits and split a 3 MiB stream).
HVXDUMP_PAD_MIB=3 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file big-split \
  --desc-file "$SB/tmp/desc" --split-size 4097
check_eq "backup with a 4097 MiB split size" 0 "$RC"
check "no part files below the split size" test ! -e "$REPO/big-split.part2"

# Dump to standard output: the stream and the signature lines.
run "$SITEVAULT" --backup --domain-name $D --dump-file - --desc-file "$SB/tmp/desc"
check_eq "stdout backup exit" 0 "$RC"
printf '%s\n' "$OUT" > "$SB/stream"
digest=$(head -n -2 "$SB/stream" | sha1sum | cut -d' ' -f1)
check_eq "Magic1 of the stdout stream" "Magic1: $digest" "$(tail -n 2 "$SB/stream" | head -n 1)"

# A writer that fails halfway: no signature lines go out, the backup fails
# and a stored partial dump is removed.
HVXDUMP_FAIL_AFTER_MIB=1 run "$SITEVAULT" --backup --domain-name $D --dump-file - --desc-file "$SB/tmp/desc"
check_eq "failed writer on stdout exit" 1 "$RC"
check_not_contains "failed writer: no signature on stdout" "Magic2: " "$OUT"
check_contains "failed writer message" "Error during hvxdump execution" "$ERR"
HVXDUMP_FAIL_AFTER_MIB=2 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file half \
  --desc-file "$SB/tmp/desc" --split-size 1
check_eq "failed writer exit" 1 "$RC"
check "failed writer: partial dump removed" test ! -e "$REPO/half"
check "failed writer: partial parts removed" test ! -e "$REPO/half.part2"

# A dump outside the repository, options in either order.
mkdir -p "$SB/elsewhere"
for order in a b; do
  if [ $order = a ]; then args=(--dump-file "$SB/elsewhere/o$order" --domain-name "$D")
  else args=(--domain-name "$D" --dump-file "$SB/elsewhere/o$order"); fi
  run "$SITEVAULT" --backup --verbose "${args[@]}" --desc-file "$SB/tmp/desc"
  check_eq "backup outside the repository ($order)" 0 "$RC"
  check "dump kept outside the repository ($order)" test -f "$SB/elsewhere/o$order"
done
chmod 755 "$SB" "$SB/elsewhere"
check_eq "dump outside the repository: no access for others" 640 "$(stat -c %a "$SB/elsewhere/oa")"
check "dump outside the repository: unreadable by nobody" \
  runuser -u nobody -- sh -c "! cat '$SB/elsewhere/oa' >/dev/null 2>&1"

# Lock protocol: a held domain lock, a held repository-wide lock.
flock "$REPO/backup_restore.lock" sleep 2 & holder=$!
sleep 0.5
: > "$CALLS"
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file b3 --desc-file "$SB/tmp/desc"
check_eq "locked domain exit" 1 "$RC"
check_contains "locked domain message" "Unable to lock file for domain \"$D\": domain is already locked." "$ERR"
check_eq "locked domain untouched" "" "$(cat "$CALLS")"
wait $holder
flock "$DUMP_D/backup_restore.lock" sleep 2 & holder=$!
sleep 0.5
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file b3 --desc-file "$SB/tmp/desc"
check_eq "repository-wide lock exit" 1 "$RC"
check_eq "repository-wide lock text twice on stdout" 2 \
  "$(echo "$OUT" | grep -c "Can't perform domain backup operations while server-wide dump/restore running")"
check_eq "repository-wide lock leaves the domain" "" "$(cat "$CALLS")"
wait $holder

# Status 16 (off for another reason) stays off; a failed switch-on gives 64.
sql "update domains set status=16 where name='$D'"
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file b3 --desc-file "$SB/tmp/desc"
check_eq "status 16 kept" 16 "$(status_of $D)"
check_eq "no switch-on for status 16" "turn-off $D" "$(paste -sd, "$CALLS")"
sql "update domains set status=0 where name='$D'"
touch "$SB/var/sandbox/sitectl/fail-turn-on"
clear_mail
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file b4 --desc-file "$SB/tmp/desc" \
  --email-from bu@example.com --email-to admin@example.com
check_eq "failed switch-on leaves status 64" 64 "$(status_of $D)"
check_exit "failed switch-on fails the backup" 1
check_contains "failed switch-on: failure mail" \
  "Backup process has failed for domain '$D'

Unable to turn the domain back on: it is left switched off" "$(mails)"
check_not_contains "failed switch-on: no completed mail" "has completed" "$(mails)"
rm -f "$SB/var/sandbox/sitectl/fail-turn-on"
sql "update domains set status=0 where name='$D'"
touch "$SB/var/sandbox/sitectl/fail-turn-off"
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file b5 --desc-file "$SB/tmp/desc"
check_eq "failed switch-off fails the backup" 1 "$RC"
check_eq "failed switch-off rolls the status back" 0 "$(status_of $D)"
check "no dump after a failed switch-off" test ! -e "$REPO/b5"
rm -f "$SB/var/sandbox/sitectl/fail-turn-off"

# Quota: usage plus dumps at or over the limit refuses the backup.
sql "update Limits set value='6291456' where id=100 and limit_name='disk_space'"
clear_mail
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file q1 --desc-file "$SB/tmp/desc" \
  --email-from bu@example.com --email-to admin@example.com
check_eq "quota refusal exit" 1 "$RC"
check_contains "quota explanation" "Can't perform dump operations: not enough disc space." "$OUT"
check_contains "quota allowed line" "Space allowed for client: 6 Mb" "$OUT"
check_contains "quota report" "Can't perform dump operation for domain '$D': not enough disc space allowed for client" "$ERR"
check_eq "no mail on quota refusal" "" "$(mails)"
check_eq "status after quota refusal" 0 "$(status_of $D)"
sql "update Limits set value='10737418240' where id=100 and limit_name='disk_space'"

# Rotation keeps the newest dumps of the series only.
for s in 2020.01.01_10.00 2020.01.02_10.00 2020.01.03_10.00; do cp "$REPO/odd" "$REPO/wk_$s"; done
cp "$REPO/odd" "$REPO/wk_2020.01.02_10.00.part2"
cp "$REPO/odd" "$REPO/wk_extra_2019.01.01_10.00"
run "$SITEVAULT" --backup --verbose --domain-name $D --rotate-dump-files --dump-file-prefix wk \
  --max-dump-files 2 --desc-file "$SB/tmp/desc"
check_eq "rotating backup exit" 0 "$RC"
check_eq "series after rotation" 2 "$(ls "$REPO" | grep -c '^wk_[0-9]')"
check "newest old dump kept" test -f "$REPO/wk_2020.01.03_10.00"
check "older dumps removed" test ! -e "$REPO/wk_2020.01.02_10.00.part2"
check "another series sharing the prefix is kept" test -f "$REPO/wk_extra_2019.01.01_10.00"

# A rotating backup killed mid-dump leaves only a staged file, never a file
# of the series; a dump cut short under a series name (no signature lines)
# is not counted as a kept one. The next run clears the staged leftover.
printf 'cut short\n' > "$REPO/wk_2001.01.01_10.00"
series_before=$(ls "$REPO" | grep '^wk_[0-9]')
newest_old=$(echo "$series_before" | sort | tail -n 1)
HVXDUMP_PAD_MIB=3000 "$SITEVAULT" --backup --verbose --domain-name $D --rotate-dump-files \
  --dump-file-prefix wk --max-dump-files 2 --desc-file "$SB/tmp/desc" >/dev/null 2>&1 & victim=$!
for _ in $(seq 1 40); do ls -A "$REPO" | grep -q '^\.hvxtmp\..*wk_' && break; sleep 0.25; done
kill -9 $victim; wait $victim 2>/dev/null
check_eq "killed run left no series file" "$series_before" "$(ls "$REPO" | grep '^wk_[0-9]')"
printf 'cut short\n' > "$REPO/wk_2099.01.01_10.00"
run "$SITEVAULT" --backup --verbose --domain-name $D --rotate-dump-files --dump-file-prefix wk \
  --max-dump-files 2 --desc-file "$SB/tmp/desc"
check_eq "rotating backup after a killed one" 0 "$RC"
check "newest finished old dump kept despite the leftover" test -f "$REPO/$newest_old"
check "staged leftover of the killed run removed" test -z "$(ls -A "$REPO" | grep hvxtmp)"
# Neither the cut-short file older than the kept dumps is deleted: an
# unsigned file under a series name is left alone, and --verbose says so.
check_eq "unsigned file under a series name not deleted" "cut short" \
  "$(cat "$REPO/wk_2001.01.01_10.00")"
check_contains "unsigned file reported" \
  'Rotation neither counts nor removes "wk_2001.01.01_10.00"' "$ERR"
rm -f "$REPO/wk_2099.01.01_10.00" "$REPO/wk_2001.01.01_10.00"

# Keeping no dump at all still keeps the one just made.
run "$SITEVAULT" --backup --verbose --domain-name $D --rotate-dump-files --dump-file-prefix wk \
  --max-dump-files 0 --desc-file "$SB/tmp/desc"
check_eq "rotation keeping none exit" 0 "$RC"
kept=$(ls "$REPO" | grep '^wk_[0-9]')
check_eq "only the dump just made remains" 1 "$(echo "$kept" | grep -c .)"
run "$SITEVAULT" --check-dump --domain-name $D --dump-file "$kept"
check_eq "the remaining dump checks" 0 "$OUT"

# Calendar retention, each rule alone: of the series' signed dumps (copies
# of a genuinely signed dump under stamps around a year end whose last days
# fall in the next ISO year's week 1), those the rule keeps stay, the others
# go; the dump just made, older than all of them, stays too. An unsigned
# file under a series name is neither counted nor removed.
plant_calendar() {
  rm -f "$REPO"/c_*
  for s in 2099.01.10_10.00 2099.01.09_10.00 2099.01.09_08.00 2099.01.02_10.00 \
    2098.12.31_10.00 2098.12.28_10.00 2098.11.15_10.00 2097.06.01_10.00; do
    cp "$REPO/odd" "$REPO/c_$s"
  done
  printf 'cut short\n' > "$REPO/c_2099.01.05_10.00"
}
while IFS='|' read -r rule want; do
  plant_calendar
  # shellcheck disable=SC2086 # the rule is an option and its value
  run "$SITEVAULT" --backup --verbose --domain-name $D --rotate-dump-files --dump-file-prefix c \
    $rule --desc-file "$SB/tmp/desc"
  check_exit "$rule: rotating backup" 0
  check_eq "$rule: the dumps kept" "$want" "$(cd "$REPO" && ls -1 c_209* | paste -sd' ')"
  check_eq "$rule: the dump just made kept" 1 "$(ls "$REPO" | grep -c '^c_20[0-8]')"
done <<'RULES'
--keep-daily 3|c_2099.01.02_10.00 c_2099.01.05_10.00 c_2099.01.09_10.00 c_2099.01.10_10.00
--keep-weekly 3|c_2098.12.28_10.00 c_2099.01.02_10.00 c_2099.01.05_10.00 c_2099.01.10_10.00
--keep-monthly 2|c_2098.12.31_10.00 c_2099.01.05_10.00 c_2099.01.10_10.00
--keep-yearly 3|c_2097.06.01_10.00 c_2098.12.31_10.00 c_2099.01.05_10.00 c_2099.01.10_10.00
--keep-within 9|c_2099.01.02_10.00 c_2099.01.05_10.00 c_2099.01.09_08.00 c_2099.01.09_10.00 c_2099.01.10_10.00
RULES
check_contains "verbose: a kept dump and its rule" \
  'Rotation keeps "c_2099.01.10_10.00" (--keep-within)' "$ERR"
check_contains "verbose: a removed dump" 'Rotation removes "c_2098.12.31_10.00"' "$ERR"
check_contains "verbose: the dump just made" '(the dump just made)' "$ERR"
# Rules together with --max-dump-files: the union.
plant_calendar
run "$SITEVAULT" --backup --verbose --domain-name $D --rotate-dump-files --dump-file-prefix c \
  --max-dump-files 2 --keep-yearly 2 --desc-file "$SB/tmp/desc"
check_eq "rules together: the union kept" \
  "c_2098.12.31_10.00 c_2099.01.05_10.00 c_2099.01.09_10.00 c_2099.01.10_10.00" \
  "$(cd "$REPO" && ls -1 c_209* | paste -sd' ')"
check_contains "rules together: both reasons" \
  'Rotation keeps "c_2099.01.10_10.00" (--max-dump-files, --keep-yearly)' "$ERR"
rm -f "$REPO"/c_*

# Re-used names: a failing writer leaves the older dump of that name (fixed
# or rotated within the same minute) as it was; a smaller dump over a split
# one leaves exactly its own file.
HVXDUMP_PAD_MIB=3 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file re \
  --desc-file "$SB/tmp/desc" --split-size 1
sum_re=$(cat "$REPO"/re* | sha1sum)
HVXDUMP_FAIL_AFTER_MIB=2 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file re \
  --desc-file "$SB/tmp/desc" --split-size 1
check_eq "failing writer over a fixed name" 1 "$RC"
check_eq "older dump of the fixed name intact" "$sum_re" "$(cat "$REPO"/re* | sha1sum)"
HVXDUMP_FAIL_AFTER_MIB=1 run "$SITEVAULT" --backup --verbose --domain-name $D --rotate-dump-files \
  --dump-file-prefix wk --max-dump-files 1 --desc-file "$SB/tmp/desc"
check_eq "failing writer over a rotated name" 1 "$RC"
run "$SITEVAULT" --check-dump --domain-name $D --dump-file "$kept"
check_eq "older rotated dump still checks" 0 "$OUT"
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file re --desc-file "$SB/tmp/desc"
check_eq "smaller dump over a split one" 0 "$RC"
check_eq "only the new dump's file" "re" "$(ls "$REPO" | grep '^re')"
run "$SITEVAULT" --check-dump --domain-name $D --dump-file re
check_eq "re-used name checks" 0 "$OUT"

# The repository's own files are no dump names.
for name in backup_restore.log backup_restore.err_log backup_restore.lock description.tmp; do
  run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file $name --desc-file "$SB/tmp/desc"
  check_eq "$name refused as a dump" 1 "$RC"
  check_contains "$name refusal says why" "names a file of the dump repository, not a dump" "$ERR"
done
check "the log is still a log" test ! -e "$REPO/backup_restore.log.part2"

# A slow restore holds the domain: removal is refused meanwhile, and a dump
# swapped under the restore does not change what the restorer is fed.
before=$(content_sum $D)
cp "$REPO/re" "$SB/re.orig"
HVXRESTORE_DELAY=3 "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D \
  --domain-ip 192.0.2.10 --dump-file re >/dev/null 2>&1 & restorer=$!
for _ in $(seq 1 40); do [ "$(status_of $D)" = 4 ] && break; sleep 0.1; done
run "$SITEVAULT" --remove-dump --domain-name $D --dump-file re
check_eq "removal during a restore refused" 255 "$RC"
check_contains "removal refusal" "domain is already locked" "$ERR"
head -c 1000 "$SB/re.orig" > "$SB/re.short" && mv "$SB/re.short" "$REPO/re"
wait $restorer
check_eq "restore beside a swapped dump succeeds" 0 "$?"
check_eq "content restored from the verified files" "$before" "$(content_sum $D)"
cp "$SB/re.orig" "$REPO/re"

# Links and other non-files planted in the repository (which the panel user
# owns) never steer root: nothing outside is written, owned or blocked on.
echo precious > "$SB/victim"
victim_sum=$(sha1sum < "$SB/victim")
mv "$REPO/backup_restore.lock" "$SB/lock.orig"
ln -s "$SB/victim" "$REPO/backup_restore.lock"
: > "$CALLS"
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file l1 --desc-file "$SB/tmp/desc"
check_eq "link as lock file: refused" 1 "$RC"
check_contains "link as lock file: says why" "it is a symbolic link" "$ERR"
check_eq "link as lock file: domain untouched" "" "$(cat "$CALLS")"
rm -f "$REPO/backup_restore.lock"; mv "$SB/lock.orig" "$REPO/backup_restore.lock"
ln -s "$SB/victim" "$REPO/l2"
ln -s "$SB/victim" "$REPO/l3.part2"
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file l2 --desc-file "$SB/tmp/desc"
check_eq "link as dump name: backup" 0 "$RC"
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file l3 --desc-file "$SB/tmp/desc"
check_eq "link as part name: backup" 0 "$RC"
check_eq "links as dump and part names: victim intact" "$victim_sum" "$(sha1sum < "$SB/victim")"
check "the dump replaced the link" test -f "$REPO/l2" -a ! -L "$REPO/l2"
check "the stale part link is gone" test ! -e "$REPO/l3.part2" -a ! -L "$REPO/l3.part2"
mkfifo "$REPO/ff"
run timeout 20 "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D \
  --domain-ip 192.0.2.10 --dump-file ff
check_eq "FIFO as dump name: restore refused, not blocked" 1 "$RC"
check_eq "FIFO as dump name: domain back on" 0 "$(status_of $D)"
rm -f "$REPO/ff"
mkdir -m 700 "$SB/victimdir"
rm -rf "${DUMP_D:?}/other.example"
ln -s "$SB/victimdir" "$DUMP_D/other.example"
run "$SITEVAULT" --backup --verbose --domain-name other.example --dump-file r1 \
  --desc-file "$SB/tmp/desc"
check_eq "link as repository: refused" 1 "$RC"
check_eq "link as repository: target's owner and mode kept" "root 700" \
  "$(stat -c '%U %a' "$SB/victimdir")"
check_eq "link as repository: nothing written there" "" "$(ls -A "$SB/victimdir")"
# Every other command meets the same link with a dump (and a series, and a
# staged-looking leftover) behind it: nothing there is read, removed or
# written, and each fails as for a missing or unusable repository.
cp "$REPO"/b1 "$REPO"/b1.part2 "$REPO"/b1.part3 "$SB/victimdir/"
cp "$REPO/b1" "$SB/victimdir/s_2001.01.01_10.00"
echo staged > "$SB/victimdir/.hvxtmp.999999999.b1"
victim_state() { (cd "$SB/victimdir" && find . -printf '%P %s %m %U %T@\n' | sort && cat ./* ./.hvx* | sha1sum); }
victim_before=$(victim_state)
: > "$CALLS"
L=(--domain-name other.example --dump-file b1)
run "$SITEVAULT" --remove-dump "${L[@]}"
check_exit "link as repository: remove-dump refused" 255
check_contains "link as repository: remove-dump says why" \
  "Unable to find files: unable to locate repository in specified path" "$ERR"
run "$SITEVAULT" --restore --verbose --client-login owner --domain-ip 192.0.2.10 "${L[@]}"
check_exit "link as repository: restore refused" 1
check_contains "link as repository: restore says why" "links are not followed" "$ERR"
run "$SITEVAULT" --check-dump "${L[@]}"
check_eq "link as repository: check-dump finds no dump" 1 "$(echo "$OUT" | tail -n 1)"
check_contains "link as repository: check-dump says why" "unable to locate repository" "$ERR"
for inspection in --get-dump-info --get-dump-ctime --get-dump-desc --get-domain-name; do
  run "$SITEVAULT" $inspection "${L[@]}"
  check_exit "link as repository: $inspection refused" 1
  check_eq "link as repository: $inspection prints only the refusal" "$ERR" "$OUT"
done
run "$SITEVAULT" --backup --verbose --domain-name other.example --rotate-dump-files \
  --dump-file-prefix s --max-dump-files 0 --desc-file "$SB/tmp/desc"
check_exit "link as repository: rotating backup refused" 1
check_contains "link as repository: creation says it is a link" "it is a symbolic link" "$ERR"
run "$SITEVAULT" --remove-domain --domain-name other.example
check_exit "link as repository: remove-domain refused" 1
check_eq "link as repository: target as it was after every command" "$victim_before" "$(victim_state)"
check_eq "link as repository: the domain never switched" "" "$(cat "$CALLS")"
check "link as repository: the link itself stays" test -L "$DUMP_D/other.example"
rm -f "$DUMP_D/other.example"
# A domain without any repository: --remove-dump says so, takes no lock and
# creates nothing.
run "$SITEVAULT" --remove-dump --domain-name absent.example --dump-file b1
check_exit "remove-dump without a repository" 255
check_contains "remove-dump without a repository: message" \
  "Unable to find files: unable to locate repository in specified path" "$ERR"
check_not_contains "remove-dump without a repository: no lock error" "Unable to lock file" "$ERR"
check "remove-dump without a repository: nothing created" test ! -e "$DUMP_D/absent.example"

# Removal of dumps and of the repository.
run "$SITEVAULT" --remove-dump --domain-name $D --dump-file b1
check_eq "remove-dump exit" 0 "$RC"
check "all parts removed" test ! -e "$REPO/b1.part2"
run "$SITEVAULT" --remove-dump --domain-name $D --dump-file nothing
check_eq "remove-dump of a missing dump" 255 "$RC"
ln -s "$SB/elsewhere" "$REPO/link-out"
run "$SITEVAULT" --remove-domain --domain-name $D
check_eq "remove-domain exit" 0 "$RC"
check "repository removed" test ! -e "$REPO"
check "links out of the repository not followed" test -f "$SB/elsewhere/oa"

# A backup killed in the middle leaves the lock free; the next one succeeds.
HVXDUMP_PAD_MIB=3000 "$SITEVAULT" --backup --verbose --domain-name $D --dump-file k1 \
  --desc-file "$SB/tmp/desc" >/dev/null 2>&1 & victim=$!
for _ in $(seq 1 40); do [ -n "$(ls -A "$REPO" | grep 'hvxtmp.*k1')" ] && break; sleep 0.25; done
check "backup still running when killed" kill -9 $victim
wait $victim 2>/dev/null
sleep 0.5
check "lock free after SIGKILL" flock -n "$REPO/backup_restore.lock" true
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file k2 --desc-file "$SB/tmp/desc"
check_eq "backup after a killed one" 0 "$RC"
check_eq "domain back on after a killed backup" 0 "$(status_of $D)"
check_eq "services on" on "$(cat "$SB/var/sandbox/sitectl/$D")"

# Termination requests while the domain is held: the writer or restorer is
# stopped, nothing partial stays, the older dump of the name is kept, the
# failure is mailed, the domain goes back on and the run ends with 143.
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file sig --desc-file "$SB/tmp/desc"
sum_sig=$(sha1sum < "$REPO/sig")
wait_staged() { for _ in $(seq 1 80); do ls -A "$REPO" | grep -q 'hvxtmp.*sig' && return 0; sleep 0.1; done; return 1; }
after_stop() {  # after_stop WHAT KIND
  check "$1: lock free" wait_unlocked $D 20
  check_eq "$1: status" 0 "$(status_of $D)"
  check_eq "$1: switched on last" "turn-on $D" "$(tail -n 1 "$CALLS")"
  for _ in $(seq 1 20); do mails | grep -q "process has failed" && break; sleep 0.25; done
  check_contains "$1: failure mail" "$2 process has failed for domain '$D'" "$(mails)"
  check_eq "$1: nothing staged left" "" "$(ls -A "$REPO" | grep hvxtmp)"
  check_eq "$1: older dump intact" "$sum_sig" "$(sha1sum < "$REPO/sig")"
}
clear_mail
HVXDUMP_PAD_MIB=3000 "$SITEVAULT" --backup --verbose --domain-name $D --dump-file sig \
  --desc-file "$SB/tmp/desc" --email-from bu@example.com --email-to admin@example.com \
  >/dev/null 2>&1 & victim=$!
wait_staged
kill -TERM $victim; wait $victim
check_eq "SIGTERM of a verbose backup: exit" 143 "$?"
after_stop "SIGTERM of a verbose backup" Backup
clear_mail
HVXDUMP_PAD_MIB=3000 run "$SITEVAULT" --backup --domain-name $D --dump-file sig \
  --desc-file "$SB/tmp/desc" --email-from bu@example.com --email-to admin@example.com
wait_staged
detached=$(pgrep -f -- "--dump-file sig " | head -n 1)
check "detached backup found" test -n "$detached"
kill -TERM "$detached"
after_stop "SIGTERM of a detached backup" Backup
clear_mail
HVXRESTORE_DELAY=30 "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D \
  --domain-ip 192.0.2.10 --dump-file sig --email-from bu@example.com --email-to admin@example.com \
  >/dev/null 2>&1 & victim=$!
for _ in $(seq 1 50); do mails | grep -q "Restore process has begun" && break; sleep 0.1; done
sleep 0.5
kill -INT $victim; wait $victim
check_eq "SIGINT of a restore: exit" 130 "$?"
after_stop "SIGINT of a restore" Restore
check_eq "restorer stopped" "" "$(pgrep -f 'hvxrestore --single-domain-mode')"

# SIGINT and SIGHUP at each step, injected by strace at sitevault's Nth wait
# for a panel utility (1 sitectl --turn-off, 2 the "begun" mail, 3 sitectl
# --turn-on, 4 the outcome mail) or at the Nth rename of the commit: the
# domain goes back on, the lock is free, the name holds a whole dump, the
# outcome is mailed once the run got past the lock, and the run ends with
# 128 + the signal. A request that comes before the restorer starts keeps
# it from ever running; one during the outcome mail lets the mail go out.
traced_run() {  # SIGNAL SYSCALL N COMMAND...
  local sig=$1 sc=$2 n=$3; shift 3
  run env ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace="$sc" \
    -e inject="$sc":signal="$sig":when="$n" "$@"
}
stopped_at() {  # WHAT SIGNAL KIND: checks after a run stopped by SIGNAL
  check_exit "$1: exit" $((128 + $(kill -l "$2")))
  check_eq "$1: status" 0 "$(status_of $D)"
  check_eq "$1: services on" on "$(cat "$SB/var/sandbox/sitectl/$D")"
  check_eq "$1: switched on last" "turn-on $D" "$(tail -n 1 "$CALLS")"
  check "$1: lock free" flock -n "$REPO/backup_restore.lock" true
  run "$SITEVAULT" --check-dump --domain-name $D --dump-file phase
  check_eq "$1: the name holds a whole dump" 0 "$OUT"
  check_eq "$1: nothing staged left" "" "$(ls -A "$REPO" | grep hvxtmp)"
}
HVXDUMP_PAD_MIB=2 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file phase \
  --desc-file "$SB/tmp/desc" --split-size 1
check_exit "a dump to stop the later runs beside" 0
for sig in INT HUP; do
  for point in ppoll:1 ppoll:2 renameat2:2 ppoll:3 ppoll:4; do
    clear_mail
    HVXDUMP_PAD_MIB=2 traced_run "$sig" "${point%:*}" "${point#*:}" "$SITEVAULT" --backup --verbose \
      --domain-name $D --dump-file phase --desc-file "$SB/tmp/desc" --split-size 1 \
      --email-from bu@example.com --email-to admin@example.com
    stopped_at "SIG$sig of a backup at $point" "$sig"
    case $point in
      ppoll:1) check_not_contains "SIG$sig of a backup at $point: no mail" "Subject" "$(mails)" ;;
      ppoll:2) check_contains "SIG$sig of a backup at $point: failure mail" \
        "Backup process has failed for domain '$D'" "$(mails)" ;;
      *) check_contains "SIG$sig of a backup at $point: outcome mail" \
        "Backup process has completed for domain '$D'" "$(mails)" ;;
    esac
  done
  echo "signal $sig" > "$SITES/$D/marker"
  for point in ppoll:2 ppoll:4; do
    clear_mail
    traced_run "$sig" "${point%:*}" "${point#*:}" "$SITEVAULT" --restore --verbose \
      --client-login owner --domain-name $D --domain-ip 192.0.2.10 --dump-file phase \
      --email-from bu@example.com --email-to admin@example.com
    stopped_at "SIG$sig of a restore at $point" "$sig"
    if [ $point = ppoll:2 ]; then
      check "SIG$sig during the begun mail: the restorer never ran" test -e "$SITES/$D/marker"
      check_contains "SIG$sig during the begun mail: failure mail" \
        "Restore process has failed for domain '$D'" "$(mails)"
    else
      check "SIG$sig during the outcome mail: restored" test ! -e "$SITES/$D/marker"
      check_contains "SIG$sig during the outcome mail: it went out" \
        "Restore process has completed for domain '$D'" "$(mails)"
    fi
  done
done

# A dump whose last file cannot be opened: the restore is refused cleanly.
ln -s "$SB/nowhere" "$REPO/sig.part2"
run "$SITEVAULT" --restore --verbose --client-login owner --domain-name $D --domain-ip 192.0.2.10 \
  --dump-file sig
check_eq "unreadable last file: restore refused" 1 "$RC"
check_eq "unreadable last file: status" 0 "$(status_of $D)"
check "unreadable last file: lock free" flock -n "$REPO/backup_restore.lock" true
rm -f "$REPO/sig.part2"

# The database unreachable: the backup fails and the domain is untouched.
: > "$CALLS"
run env HVX_DB_NAME=no_such_database "$SITEVAULT" --backup --verbose --domain-name $D --dump-file u1 \
  --desc-file "$SB/tmp/desc"
check_eq "backup without database" 1 "$RC"
check_contains "database failure message" "db_connect: failed to connect to database" "$ERR"
check_eq "no switching without database" "" "$(cat "$CALLS")"

# The disk filling up: failure, failure mail, the partial dump removed,
# older dumps intact.
if mount -t tmpfs -o size=3m tmpfs "$REPO" 2>/dev/null; then
  chown hvxadm "$REPO"; chmod 750 "$REPO"
  run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file small --desc-file "$SB/tmp/desc"
  sum_small=$(sha1sum < "$REPO/small")
  clear_mail
  HVXDUMP_PAD_MIB=8 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file big \
    --desc-file "$SB/tmp/desc" --email-from bu@example.com --email-to admin@example.com
  check_eq "full disk fails the backup" 1 "$RC"
  check_contains "full disk message" "Error writing dump to file" "$ERR"
  check "partial dump removed" test ! -e "$REPO/big"
  check_eq "older dump intact" "$sum_small" "$(sha1sum < "$REPO/small")"
  check_contains "full disk failure mail" "Backup process has failed" "$(mails)"
  check_eq "status after full disk" 0 "$(status_of $D)"
  umount "$REPO"
else
  echo "tmpfs not available: disk-full case skipped" >&2
fi

# Hung panel utilities: HVX_UTILITY_TIMEOUT ends the wait, the utility's
# process group is killed (the stand-ins ignore SIGTERM, so SIGKILL follows
# after the grace) and the call fails as a failed utility does.
ST=$SB/var/sandbox/sitectl
ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
gone() { ! kill -0 "$(cat "$1")" 2>/dev/null; }
wait_for_file() { for _ in $(seq 1 100); do [ -e "$1" ] && return 0; sleep 0.1; done; return 1; }
: > "$CALLS"
touch "$ST/hang-turn-off"
t0=$(date +%s%N)
HVX_UTILITY_TIMEOUT=2 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file h1 \
  --desc-file "$SB/tmp/desc"
ms=$(ms_since "$t0")
check_exit "hung switch-off: backup fails" 1
check "hung switch-off: ends after the limit ($ms ms)" test "$ms" -ge 2000 -a "$ms" -lt 6000
check_contains "hung switch-off: reported" "sitectl did not end within 2 s" "$ERR"
check_contains "hung switch-off: failed as sitectl" "Unable to turn domain '$D' off." "$ERR"
check "hung switch-off: its process group is gone" gone "$ST/hanging-turn-off"
check_eq "hung switch-off: rolled back" "turn-off $D,turn-on $D" "$(paste -sd, "$CALLS")"
check_eq "hung switch-off: status" 0 "$(status_of $D)"
check "hung switch-off: no dump" test ! -e "$REPO/h1"
rm -f "$ST/hang-turn-off"

touch "$ST/hang-turn-on"
t0=$(date +%s%N)
HVX_UTILITY_TIMEOUT=2 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file h2 \
  --desc-file "$SB/tmp/desc"
ms=$(ms_since "$t0")
check_exit "hung switch-on: backup fails" 1
check "hung switch-on: ends after the limit ($ms ms)" test "$ms" -ge 2000 -a "$ms" -lt 7000
check_eq "hung switch-on: failed switch-on rule" 64 "$(status_of $D)"
check "hung switch-on: lock free" flock -n "$REPO/backup_restore.lock" true
rm -f "$ST/hang-turn-on"
sql "update domains set status=0 where name='$D'"

clear_mail
touch "$SB/var/sandbox/sendmail-hang"
t0=$(date +%s%N)
HVX_UTILITY_TIMEOUT=2 run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file h3 \
  --desc-file "$SB/tmp/desc" --email-from bu@example.com --email-to admin@example.com
ms=$(ms_since "$t0")
check_exit "hung mail program: the backup itself succeeds" 0
check "hung mail program: both mails given up ($ms ms)" test "$ms" -ge 4000 -a "$ms" -lt 10000
check_eq "hung mail program: reported twice" 2 "$(grep -c "sendmail did not end within 2 s" <<<"$ERR")"
check "hung mail program: its process group is gone" gone "$SB/var/sandbox/sendmail-hanging"
check_eq "hung mail program: nothing stored" "" "$(mails)"
check_eq "hung mail program: status" 0 "$(status_of $D)"
rm -f "$SB/var/sandbox/sendmail-hang"

# A termination request while a utility hangs stops that utility's group and
# goes on with the orderly end: switch-on, mail, lock released, 128 + signal.
: > "$CALLS"
rm -f "$ST/hanging-turn-off"
touch "$ST/hang-turn-off"
clear_mail
"$SITEVAULT" --backup --verbose --domain-name $D --dump-file h4 --desc-file "$SB/tmp/desc" \
  --email-from bu@example.com --email-to admin@example.com >/dev/null 2>&1 & victim=$!
check "hung switch-off under SIGTERM: hanging" wait_for_file "$ST/hanging-turn-off"
t0=$(date +%s%N)
kill -TERM $victim; wait $victim
check_eq "hung switch-off under SIGTERM: exit" 143 "$?"
ms=$(ms_since "$t0")
check "hung switch-off under SIGTERM: ends quickly ($ms ms)" test "$ms" -lt 4000
check "hung switch-off under SIGTERM: its group is gone" gone "$ST/hanging-turn-off"
check_eq "hung switch-off under SIGTERM: switched back on" "turn-off $D,turn-on $D" \
  "$(paste -sd, "$CALLS")"
check_eq "hung switch-off under SIGTERM: services" on "$(cat "$ST/$D")"
check_eq "hung switch-off under SIGTERM: status" 0 "$(status_of $D)"
check "hung switch-off under SIGTERM: lock free" flock -n "$REPO/backup_restore.lock" true
rm -f "$ST/hang-turn-off"

# The mail program hangs on the "begun" mail: SIGHUP stops it, the backup
# is stopped too, and the failure mail, which hangs as well, gets at most
# 5 s after the request.
: > "$CALLS"
rm -f "$SB/var/sandbox/sendmail-hanging"
touch "$SB/var/sandbox/sendmail-hang"
"$SITEVAULT" --backup --verbose --domain-name $D --dump-file h5 --desc-file "$SB/tmp/desc" \
  --email-from bu@example.com --email-to admin@example.com >/dev/null 2>"$SB/tmp/h5.err" &
victim=$!
check "hung mail under SIGHUP: hanging" wait_for_file "$SB/var/sandbox/sendmail-hanging"
t0=$(date +%s%N)
kill -HUP $victim; wait $victim
check_eq "hung mail under SIGHUP: exit" 129 "$?"
ms=$(ms_since "$t0")
check "hung mail under SIGHUP: ends within the mail's bound ($ms ms)" test "$ms" -lt 9000
check_contains "hung mail under SIGHUP: begun mail stopped" \
  "sendmail stopped by a termination request" "$(cat "$SB/tmp/h5.err")"
check_contains "hung mail under SIGHUP: failure mail given up" \
  "sendmail did not end within 5 s" "$(cat "$SB/tmp/h5.err")"
check_eq "hung mail under SIGHUP: switched back on" "turn-off $D,turn-on $D" "$(paste -sd, "$CALLS")"
check_eq "hung mail under SIGHUP: status" 0 "$(status_of $D)"
check "hung mail under SIGHUP: lock free" flock -n "$REPO/backup_restore.lock" true
check "hung mail under SIGHUP: nothing staged" test -z "$(ls -A "$REPO" | grep hvxtmp)"
rm -f "$SB/var/sandbox/sendmail-hang"

# Another spelling of a domain that a backup holds is refused, untouched.
: > "$CALLS"
HVXDUMP_PAD_MIB=3000 "$SITEVAULT" --backup --verbose --domain-name $D --dump-file held \
  --desc-file "$SB/tmp/desc" >/dev/null 2>&1 & victim=$!
for _ in $(seq 1 80); do ls -A "$REPO" 2>/dev/null | grep -q 'hvxtmp.*held' && break; sleep 0.1; done
run "$SITEVAULT" --backup --verbose --domain-name EXAMPLE.COM --dump-file upper \
  --desc-file "$SB/tmp/desc"
check_eq "other spelling while held: refused" 1 "$RC"
check_contains "other spelling while held: message" \
  "Unable to lock file for domain \"EXAMPLE.COM\": domain is already locked." "$ERR"
check_eq "other spelling while held: still off" 4 "$(status_of $D)"
check_eq "other spelling while held: no switching" "turn-off $D" "$(paste -sd, "$CALLS")"
kill -TERM $victim; wait $victim
check "other spelling: the holder's lock released" wait_unlocked $D 20
check_eq "other spelling: status after" 0 "$(status_of $D)"

# An IDN given in Unicode: backed up into the repository of that name.
cp -a "$SITES/xn--bcher-kva.example" "$SITES/bücher.example"
: > "$CALLS"
run "$SITEVAULT" --backup --verbose --domain-name bücher.example --dump-file u1 \
  --desc-file "$SB/tmp/desc"
check_eq "IDN backup exit" 0 "$RC"
check "IDN backup in its repository" test -f "$DUMP_D/bücher.example/u1"
check_eq "IDN backup switched" "turn-off bücher.example,turn-on bücher.example" \
  "$(paste -sd, "$CALLS")"
check_eq "IDN backup status after" 0 "$(status_of xn--bcher-kva.example)"
run "$SITEVAULT" --check-dump --domain-name bücher.example --dump-file u1
check_eq "IDN dump checks" 0 "$OUT"

# A database restart in the middle of a backup: the status connection is
# gone, the switch-on connects again (within HVX_DB_RECONNECT_TIMEOUT) and the
# domain goes back on; when the server stays away the run is a failure, by
# mail and exit status, and the domain stays off.
new_sandbox --private-db
REPO=$DUMP_D/$D
CALLS=$SB/var/sandbox/sitectl/calls.log
echo "nightly" > "$SB/tmp/desc"
run "$SITEVAULT" --gen-server-keys
HOLD=$SB/tmp/hold
held_backup() {  # held_backup NAME [VAR=VALUE...]: a verbose backup waiting at HOLD
  local name=$1; shift
  touch "$HOLD"; rm -f "$HOLD.held"
  env "$@" HVXDUMP_HOLD_FILE="$HOLD" "$SITEVAULT" --backup --verbose --domain-name $D \
    --dump-file "$name" --desc-file "$SB/tmp/desc" --email-from bu@example.com \
    --email-to admin@example.com >"$SB/tmp/$name.out" 2>"$SB/tmp/$name.err" &
  victim=$!
  wait_for_file "$HOLD.held"
}

clear_mail
check "restart: backup held" held_backup r1
check_eq "restart: off while held" 4 "$(status_of $D)"
stop_sandbox_db && start_sandbox_db
rm -f "$HOLD"; wait $victim
check_eq "restart: exit" 0 "$?"
check_eq "restart: status" 0 "$(status_of $D)"
check_eq "restart: services on" on "$(cat "$SB/var/sandbox/sitectl/$D")"
check_contains "restart: completed mail" "Backup process has completed" "$(mails)"
check "restart: dump in place" test -f "$REPO/r1"
check "restart: lock free" flock -n "$REPO/backup_restore.lock" true

# The server down when the domain is to go back on (a restore that holds
# after reading its stream: the keys have been read by then).
held_restore() {  # held_restore [VAR=VALUE...]
  touch "$HOLD"; rm -f "$HOLD.held"
  env "$@" HVXRESTORE_HOLD_FILE="$HOLD" "$SITEVAULT" --restore --verbose --client-login owner \
    --domain-name $D --domain-ip 192.0.2.10 --dump-file r1 --email-from bu@example.com \
    --email-to admin@example.com >/dev/null 2>"$SB/tmp/restore.err" &
  victim=$!
  wait_for_file "$HOLD.held"
}
clear_mail
check "down at the switch-on: restore held" held_restore HVX_DB_RECONNECT_TIMEOUT=30
stop_sandbox_db
rm -f "$HOLD"
sleep 2
start_sandbox_db
wait $victim
check_eq "down at the switch-on, back in time: exit" 0 "$?"
check_eq "down at the switch-on, back in time: status" 0 "$(status_of $D)"
check_eq "down at the switch-on, back in time: services on" on "$(cat "$SB/var/sandbox/sitectl/$D")"
check_contains "down at the switch-on, back in time: mail" "Restore process has completed" "$(mails)"

clear_mail
check "down past the bound: restore held" held_restore HVX_DB_RECONNECT_TIMEOUT=2
stop_sandbox_db
t0=$(date +%s%N)
rm -f "$HOLD"; wait $victim
check_eq "down past the bound: exit" 1 "$?"
ms=$(ms_since "$t0")
check "down past the bound: gives up after the bound ($ms ms)" test "$ms" -lt 15000
start_sandbox_db
check_contains "down past the bound: reported" "Unable to define domain status." \
  "$(cat "$SB/tmp/restore.err")"
check_contains "down past the bound: failure mail" "Restore process has failed for domain '$D'

Unable to turn the domain back on: it is left switched off" "$(mails)"
check_not_contains "down past the bound: no completed mail" "has completed" "$(mails)"
check_eq "down past the bound: left off" 4 "$(status_of $D)"
check_eq "down past the bound: services off" off "$(cat "$SB/var/sandbox/sitectl/$D")"
check "down past the bound: lock free" flock -n "$REPO/backup_restore.lock" true
run "$SITEVAULT" --backup --verbose --domain-name $D --dump-file r4 --desc-file "$SB/tmp/desc"
check_exit "next run takes the domain over" 0
check_eq "next run switches it on" 0 "$(status_of $D)"

finish
