// A domain switched off in the panel while this system works on it, and on
// again afterwards: the domain's locks, the backup bit (4) in its status and
// the sitectl calls. Both programs use it; what differs between them (how the
// id is found, the connection for the status, the wording and destination of
// every report, the rollback after a failed sitectl call) is given by the
// caller.
//
// A database server that goes away while the domain is held (a restart) is
// connected to again for every status read and write, within
// HVX_DB_RECONNECT_TIMEOUT.
//
// Locks, taken in this order and released in the reverse one, both
// non-blocking (a busy lock is "domain is already locked"):
//   DUMP_D/.domain-<id>.lock            one per domain, whatever spelling of
//                                       its name the caller gave (case, IDN)
//   DUMP_D/<name>/backup_restore.lock   the repository's lock, as other tools
//                                       and dump removal know it
#pragma once

#include <mysql.h>

#include <optional>
#include <string>

#include "common/locked_file.h"
#include "common/process.h"

enum class SwitchAction { off, on };

// What a program gives the switch. Every report names the domain as the
// caller gave it.
class DomainSwitchHost {
 public:
  virtual ~DomainSwitchHost() = default;

  // The domain's id in the system database, or nullopt after reporting why
  // there is none.
  virtual std::optional<std::string> domain_id(const std::string& domain) = 0;
  // The connection for one switching step (its status read and writes),
  // valid until the next call; null when there is none.
  virtual MYSQL* status_connection() = 0;

  // A lock file: no record could be made; another process holds it; it
  // could not be opened or locked (error is the errno value).
  virtual void lock_not_created(const std::string& domain) = 0;
  virtual void lock_busy(const std::string& domain) = 0;
  virtual void lock_failed(const std::string& domain, int error) = 0;
  // The status could not be read or written; the database's error text.
  virtual void status_unreadable(const std::string& domain, const std::string& db_error) = 0;
  virtual void status_unwritten(const std::string& domain, const std::string& db_error) = 0;
  // Around a sitectl call.
  virtual void switching(const std::string& /*domain*/, SwitchAction /*action*/) {}
  virtual void switched(const std::string& /*domain*/, SwitchAction /*action*/) {}
  virtual void switch_failed(const std::string& domain, SwitchAction action) = 0;
  // The status write that undoes a failed sitectl call failed too.
  virtual void status_not_restored(const std::string& /*domain*/, const std::string& /*db_error*/) {
  }
};

// How a failed or unneeded sitectl call is handled.
struct SwitchProtocol {
  // sitectl --turn-off runs also for a domain that another status bit keeps
  // off already.
  bool turn_off_when_off_for_other_reason = true;
  // A failed --turn-off is followed by --turn-on when the domain was on.
  bool failed_turn_off_turns_back_on = true;
  // A failed --turn-on: the services go off again and the status becomes 64,
  // so that no later run takes the domain for one this system holds (true);
  // or the status read before the attempt is written back, backup bit and
  // all (false).
  bool failed_turn_on_marks_status_64 = true;
};

// The status value written when switching a domain back on failed.
inline constexpr unsigned kSwitchOnFailedStatus = 64;

// DUMP_D/backup_restore.lock, held by a repository-wide dump or restore
// outside this system.
std::string server_wide_lock_path();
// Probes that lock without keeping it: false when another process holds it
// (or no record could be made). A file that cannot be opened counts as free
// (the lock file code has reported why).
bool server_wide_lock_free();

// DUMP_D/<domain>/backup_restore.lock.
std::string domain_lock_path(const std::string& domain);
// Takes one lock file, reporting through host as the domain's lock; empty
// when it is not held (a record that does not hold the lock is closed).
LockedFile take_domain_lock_file(const std::string& path, const std::string& domain,
                                 DomainSwitchHost& host);

class DomainSwitch {
 public:
  DomainSwitch(std::string domain, const SwitchProtocol& protocol, DomainSwitchHost& host);
  // A domain still switched off is switched on, then the locks are released.
  ~DomainSwitch();
  DomainSwitch(const DomainSwitch&) = delete;
  DomainSwitch& operator=(const DomainSwitch&) = delete;
  // The locks and the switched-off state go to the new object; the one moved
  // from holds nothing and switches nothing on when it ends.
  DomainSwitch(DomainSwitch&& other) noexcept;
  DomainSwitch& operator=(DomainSwitch&&) = delete;

  // Looks the id up (once); false after the host reported.
  bool identify();
  // identify, then the id lock and the name lock; false after reporting,
  // with neither held.
  bool lock();
  // Sets the backup bit and switches the services off as the protocol says.
  // A domain that has the bit already counts as switched off by this run.
  // false after reporting and rolling back; locks are kept either way.
  bool switch_off();
  // Clears the backup bit and switches the services on when no other bit is
  // set; nothing to do for status 0. false after reporting. sitectl runs
  // here even after a termination request (bounded by the utility time
  // limit), and a database server that went away is connected to again
  // (db_reconnect_timeout()).
  bool switch_on();
  // Releases the name lock, then the id lock (the domain is not touched).
  void unlock() {
    name_lock_.reset();
    id_lock_.reset();
  }
  // The domain is no longer switched back on by this object.
  void leave_as_is() { off_ = false; }

  const std::string& domain() const { return domain_; }
  bool is_off() const { return off_; }

 private:
  MYSQL* status_connection();
  bool read_status(MYSQL* conn, unsigned* status);
  bool write_status(MYSQL* conn, unsigned status, std::string* db_error);
  int sitectl(SwitchAction action, UtilityStop stop);

  std::string domain_;
  SwitchProtocol protocol_;
  DomainSwitchHost& host_;
  std::string id_;
  // Declared in taking order: the name lock goes first.
  LockedFile id_lock_;
  LockedFile name_lock_;
  bool off_ = false;
};
