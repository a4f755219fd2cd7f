// Domain lock and status switching: the repository-wide lock probe, the
// per-domain lock, the backup bit 4 in the domain's status and sitectl.
#pragma once

#include <mysql.h>

#include "locked_file.h"

extern locked_file* domain_lock;

// The connection this run keeps for the domain lock (opened on first use);
// null when it cannot be opened (reported).
MYSQL* domain_db_connection();

int check_server_wide_lock();
// Takes the domain's lock file without switching the domain (busy: reported
// as "already locked"), and removes what dead runs staged in its repository.
// The held record, or null after reporting.
locked_file* take_domain_lock_file(const char* domain);
int lock_domain(const char* domain);
void unlock_domain(const char* domain);
int turn_domain_off(const char* domain);
int turn_domain_on(const char* domain);
