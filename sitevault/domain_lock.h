// Domain lock and status switching: the repository-wide lock probe, the
// domain's locks, the backup bit 4 in the domain's status and sitectl, with
// sitevault's messages (common/domain_switch does the work).
#pragma once

#include <mysql.h>

#include "locked_file.h"

// The per-name lock record of the domain this run holds (lock_domain to
// unlock_domain), or null. It belongs to the held switch; unlock_domain
// releases it.
extern locked_file* domain_lock;

// The connection this run keeps for the domain lock (opened on first use);
// null when it cannot be opened (reported).
MYSQL* domain_db_connection();

// Probes DUMP_D/backup_restore.lock: 0 when no repository-wide dump or
// restore runs, -1 after reporting that one does.
int check_server_wide_lock();
// Takes the domain's repository lock file DUMP_D/<domain>/backup_restore.lock
// without switching the domain (busy: reported as "already locked"), and
// removes what dead runs staged in its repository. The held record, or null
// after reporting.
locked_file* take_domain_lock_file(const char* domain);
// Takes the domain's locks (the one for its id, whatever spelling of the
// name is given, and the repository's) and switches it off. 0, or -1 after
// reporting with nothing held.
int lock_domain(const char* domain);
// Switches the held domain back on now, keeping its locks, so that the
// operation's final report can tell whether it worked (a database server
// that went away meanwhile is connected to again). 0 when the domain is on
// again (or was switched on already), -1 after reporting when it could not
// be: it is then left as a failed switch-on leaves it (status 64, services
// off; or status 4 when the database could not be reached at all).
int switch_held_domain_on();
// The text of the final mail of an operation whose own work succeeded but
// whose domain could not be switched back on.
inline constexpr const char* kDomainNotSwitchedOn =
    "Unable to turn the domain back on: it is left switched off";
// Switches the held domain back on (unless switch_held_domain_on did) and
// releases its locks. 0, or -1 when the switch-on now failed.
int unlock_domain(const char* domain);
// The status steps alone, without any lock: the backup bit set and the
// services switched off; 0, or -1 after reporting.
int turn_domain_off(const char* domain);
// The backup bit cleared and the services switched on; 0, or -1 after
// reporting.
int turn_domain_on(const char* domain);
