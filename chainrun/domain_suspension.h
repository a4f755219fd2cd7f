// Switching a domain off for the duration of a chain and on again, with the
// same lock file and status protocol as the backup tool: the per-domain lock
// DUMP_D/<domain>/backup_restore.lock, the backup bit (4) in the domain's
// status, and sitectl --turn-off / --turn-on. Every report line goes to the
// runner's log.
#pragma once

#include "locked_file.h"

// The domain's id from the system database (the name as passed), or null
// (reported). Uses one connection kept for the whole run; a failure to open
// it is reported and gives null.
const char* lookup_domain_id(const char* domain_name);

// 0 when the domain is off for this run (switched off now, or already off),
// -1 on failure. On success the lock file stays held; take_suspension_lock
// hands it over.
int suspend_domain(const char* time_text, const char* domain_name);

// The lock record taken by the last successful suspend_domain, or null; the
// caller owns it from now on.
locked_file* take_suspension_lock();

// Clears the backup bit and switches the domain on when no other bit is set.
// 0 or -1; a given lock record is closed before returning.
int resume_domain(const char* time_text, const char* domain_name, locked_file* lock);
