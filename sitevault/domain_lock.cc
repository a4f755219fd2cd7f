#include "domain_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "db_connection.h"
#include "db_queries.h"
#include "dump_staging.h"
#include "messages.h"
#include "process.h"
#include "product_conf.h"

locked_file* domain_lock = nullptr;

namespace {

constexpr const char* kLockFileName = "backup_restore.lock";
// Set while this system holds the domain switched off.
constexpr unsigned kBackupBit = 4;
// Written when switching a domain back on failed, so that no later run takes
// the domain for one this system still holds.
constexpr unsigned kSwitchOnFailedStatus = 64;
// Domain ids are decimal numbers; longer text is not an id of ours.
constexpr std::size_t kMaxDomainIdLength = 10;

MYSQL* lock_connection = nullptr;

std::string dump_root() { return product_conf.DUMP_D ? product_conf.DUMP_D : ""; }

struct DomainState {
  std::string id;
  unsigned status = 0;
};

// Id and current status of the domain; nullopt after reporting
// "Unable to define domain status." (also when the name yields no id).
std::optional<DomainState> read_domain_state(const char* domain) {
  MYSQL* conn = domain_db_connection();
  const char* id = conn ? get_dom_id(domain, conn) : nullptr;
  DomainState state;
  if (id != nullptr && *id != '\0') {
    state.id.assign(id, strnlen(id, kMaxDomainIdLength));
    if (get_domain_status(state.id.c_str(), &state.status, conn) == 0) return state;
  }
  print_error(0, "Unable to define domain status.\n");
  return std::nullopt;
}

// Writes the status with the statement the panel's own tools use; the
// database's error text is returned through err on failure.
bool write_domain_status(const std::string& id, unsigned status, std::string* err) {
  MYSQL* conn = domain_db_connection();
  if (conn == nullptr) {
    *err = "no connection to the system database";
    return false;
  }
  char statement[4096];
  const int len =
      std::snprintf(statement, sizeof statement, "UPDATE domains SET status=%u WHERE id='%s'",
                    status, db_escape(conn, id).c_str());
  if (len < 0 || static_cast<std::size_t>(len) >= sizeof statement) {
    *err = "statement too long";
    return false;
  }
  if (mysql_real_query(conn, statement, static_cast<unsigned long>(len)) != 0) {
    *err = mysql_error(conn);
    return false;
  }
  return true;
}

int run_sitectl(const char* action, const char* domain) {
  return exec_admin_utility("sitectl", action, "--domain-name", domain, nullptr);
}

}  // namespace

MYSQL* domain_db_connection() {
  if (lock_connection == nullptr) lock_connection = get_db_connection();
  return lock_connection;
}

int check_server_wide_lock() {
  const std::string path = dump_root() + "/" + kLockFileName;
  locked_file* record = lock_file_try(path.c_str(), 0);
  if (record == nullptr || locked_file_is_busy(record)) {
    static const char kText[] =
        "Can't perform domain backup operations while server-wide dump/restore running";
    std::puts(kText);
    std::fflush(stdout);
    print_error(0, "%s: Can't lock file %s\n", kText, path.c_str());
    if (record != nullptr) close_locked_file(record);
    return -1;
  }
  // Only probed: the repository-wide lock is not kept during the operation.
  close_locked_file(record);
  return 0;
}

locked_file* take_domain_lock_file(const char* domain) {
  const std::string directory = dump_root() + "/" + domain;
  const std::string path = directory + "/" + kLockFileName;
  locked_file* record = lock_file_try(path.c_str(), 0);
  const int lock_errno = errno;
  if (record == nullptr) {
    print_error(0, "Unable create lock file for domain \"%s\": unable allocate memory block.",
                domain);
    return nullptr;
  }
  // A record that does not hold the lock is freed at once, so a caller never
  // keeps a lock another process holds.
  if (locked_file_is_busy(record)) {
    close_locked_file(record);
    errno = lock_errno;
    print_error(0, "Unable to lock file for domain \"%s\": domain is already locked.", domain);
    return nullptr;
  }
  if (!locked_file_is_locked(record)) {
    close_locked_file(record);
    errno = lock_errno;
    print_error(0, "Unable to lock file for domain \"%s\": %s.", domain, std::strerror(errno));
    return nullptr;
  }
  // No other run works in the repository now: what a dead run staged goes.
  remove_staging_leftovers(directory);
  return record;
}

int lock_domain(const char* domain) {
  if (domain_lock != nullptr) {
    print_error(0, "Error locking domain: trying lock already locked domains %s\n", domain);
    return -1;
  }
  locked_file* record = take_domain_lock_file(domain);
  if (record == nullptr) return -1;
  domain_lock = record;
  if (turn_domain_off(domain) == 0) return 0;
  close_locked_file(domain_lock);
  domain_lock = nullptr;
  return -1;
}

void unlock_domain(const char* domain) {
  if (domain_lock == nullptr) {
    print_error(0, "Error unlocking domain: trying to unlock unlocked domain\n");
    return;
  }
  turn_domain_on(domain);
  close_locked_file(domain_lock);
  domain_lock = nullptr;
}

int turn_domain_off(const char* domain) {
  const std::optional<DomainState> state = read_domain_state(domain);
  if (!state) return -1;
  if (state->status & kBackupBit) return 0;

  std::string err;
  if (!write_domain_status(state->id, state->status | kBackupBit, &err)) {
    print_error(0, "Unable to change domain status: %s\n", err.c_str());
    return -1;
  }
  if (run_sitectl("--turn-off", domain) == 0) return 0;

  print_error(0, "Unable to turn domain '%s' off.\n", domain);
  if (state->status == 0) run_sitectl("--turn-on", domain);
  if (!write_domain_status(state->id, state->status, &err))
    print_error(0, "Unable to restore domain status: %s\n", err.c_str());
  return -1;
}

int turn_domain_on(const char* domain) {
  const std::optional<DomainState> state = read_domain_state(domain);
  if (!state) return -1;
  if (state->status == 0) return 0;

  const unsigned new_status = state->status & ~kBackupBit;
  std::string err;
  if (!write_domain_status(state->id, new_status, &err)) {
    print_error(0, "Unable to change domain status: %s\n", err.c_str());
    return -1;
  }
  // Off for another reason as well: it stays off.
  if (new_status != 0) return 0;
  if (run_sitectl("--turn-on", domain) == 0) return 0;

  print_error(0, "Unable to turn domain '%s' on.\n", domain);
  run_sitectl("--turn-off", domain);
  if (!write_domain_status(state->id, kSwitchOnFailedStatus, &err))
    print_error(0, "Unable to restore domain status: %s\n", err.c_str());
  return -1;
}
