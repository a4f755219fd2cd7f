// Domain lock and status switching: the repository-wide lock probe, the
// domain's locks, the backup bit 4 in the domain's status and sitectl, with
// sitevault's messages (common/domain_switch does the work).
#pragma once

#include <mysql.h>

#include <optional>
#include <string>

#include "common/domain_switch.h"
#include "common/locked_file.h"

// The connection this run keeps for the domain lock (opened on first use);
// null when it cannot be opened (reported).
MYSQL* domain_db_connection();

// Probes DUMP_D/backup_restore.lock: 0 when no repository-wide dump or
// restore runs, -1 after reporting that one does.
int check_server_wide_lock();
// Takes the domain's repository lock file DUMP_D/<domain>/backup_restore.lock
// without switching the domain (busy: reported as "already locked"), and
// removes what dead runs staged in its repository. Empty after reporting.
LockedFile take_domain_lock_file(const char* domain);

// A domain this run has locked and switched off (lock_domain), held by the
// operation as a local value. When it ends, a domain still off is switched
// on, then its locks are released, on every way out of the operation.
//
// A process that ends without leaving the operation's scope (exit() after a
// fatal error, the foreground of a detached run, which leaves through
// _exit) runs no destructor here: the domain is left as it is and the kernel
// frees the locks with the last descriptor, which after detach_operation
// the detached process holds. So the detached process alone switches the
// domain on and releases it.
class HeldDomain {
 public:
  HeldDomain(HeldDomain&& other) noexcept;
  HeldDomain& operator=(HeldDomain&&) = delete;
  HeldDomain(const HeldDomain&) = delete;
  HeldDomain& operator=(const HeldDomain&) = delete;
  ~HeldDomain();

  // Switches the domain back on now, keeping its locks, so that the
  // operation's final report can tell whether it worked (a database server
  // that went away meanwhile is connected to again). true when the domain
  // is on again (or was switched on already); false after reporting when it
  // could not be: it is then left as a failed switch-on leaves it (status
  // 64, services off; or status 4 when the database could not be reached at
  // all), and the end of the hold does not try again.
  bool switch_on();

  const std::string& domain() const { return switch_.domain(); }

 private:
  friend std::optional<HeldDomain> lock_domain(const char* domain);
  explicit HeldDomain(DomainSwitch&& held);

  DomainSwitch switch_;
  bool counted_ = true;  // counts as this run's one held domain
};

// Takes the domain's locks (the one for its id, whatever spelling of the
// name is given, and the repository's) and switches it off. The held
// domain, or nullopt after reporting with nothing held. One run holds one
// domain at a time: a second call while one is held is refused.
std::optional<HeldDomain> lock_domain(const char* domain);

// The text of the final mail of an operation whose own work succeeded but
// whose domain could not be switched back on.
inline constexpr const char* kDomainNotSwitchedOn =
    "Unable to turn the domain back on: it is left switched off";

// The status steps alone, without any lock: the backup bit set and the
// services switched off; 0, or -1 after reporting.
int turn_domain_off(const char* domain);
// The backup bit cleared and the services switched on; 0, or -1 after
// reporting.
int turn_domain_on(const char* domain);
