#include "common/domain_switch.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <utility>

#include "common/db_connection.h"
#include "common/db_queries.h"
#include "common/process.h"
#include "common/product_conf.h"

namespace {

constexpr const char* kLockFileName = "backup_restore.lock";
// Set while this system holds the domain switched off.
constexpr unsigned kBackupBit = 4;
// Ids are unsigned decimal numbers; nothing else names a lock file.
constexpr std::size_t kMaxIdLength = 20;

std::string dump_root() { return product_conf.DUMP_D ? product_conf.DUMP_D : ""; }

bool is_decimal_id(const std::string& id) {
  if (id.empty() || id.size() > kMaxIdLength) return false;
  for (const char c : id) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

const char* sitectl_option(SwitchAction action) {
  return action == SwitchAction::off ? "--turn-off" : "--turn-on";
}

void pause_for(std::chrono::milliseconds pause) {
  timespec left{static_cast<time_t>(pause.count() / 1000),
                static_cast<long>(pause.count() % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

std::string server_wide_lock_path() { return dump_root() + "/" + kLockFileName; }

bool server_wide_lock_free() { return !LockedFile::try_lock(server_wide_lock_path()).busy(); }

std::string domain_lock_path(const std::string& domain) {
  return dump_root() + "/" + domain + "/" + kLockFileName;
}

LockedFile take_domain_lock_file(const std::string& path, const std::string& domain,
                                 DomainSwitchHost& host) {
  LockedFile record = LockedFile::try_lock(path);
  const int lock_errno = errno;
  const LockedFile::State state = record.state();
  // A record that does not hold the lock is freed at once, so a caller never
  // keeps a lock another process holds.
  if (state != LockedFile::State::held) record.reset();
  errno = lock_errno;
  switch (state) {
    case LockedFile::State::held:
      break;
    case LockedFile::State::none:
      host.lock_not_created(domain);
      break;
    case LockedFile::State::busy:
      host.lock_busy(domain);
      break;
    case LockedFile::State::failed:
      host.lock_failed(domain, lock_errno);
      break;
  }
  return record;
}

DomainSwitch::DomainSwitch(std::string domain, const SwitchProtocol& protocol,
                           DomainSwitchHost& host)
    : domain_(std::move(domain)), protocol_(protocol), host_(host) {}

DomainSwitch::DomainSwitch(DomainSwitch&& other) noexcept
    : domain_(std::move(other.domain_)),
      protocol_(other.protocol_),
      host_(other.host_),
      id_(std::move(other.id_)),
      id_lock_(std::move(other.id_lock_)),
      name_lock_(std::move(other.name_lock_)),
      off_(std::exchange(other.off_, false)) {}

DomainSwitch::~DomainSwitch() {
  if (off_) switch_on();
}

bool DomainSwitch::identify() {
  if (!id_.empty()) return true;
  std::optional<std::string> id = host_.domain_id(domain_);
  if (!id) return false;
  id_ = std::move(*id);
  return true;
}

bool DomainSwitch::lock() {
  if (name_lock_) return true;
  if (!identify()) return false;
  // Every spelling of the domain's name meets this lock, so two runs on one
  // domain never both get as far as its status.
  if (!is_decimal_id(id_)) {
    errno = EINVAL;
    host_.lock_failed(domain_, EINVAL);
    return false;
  }
  LockedFile id_lock =
      take_domain_lock_file(dump_root() + "/.domain-" + id_ + ".lock", domain_, host_);
  if (!id_lock) return false;
  LockedFile name_lock = take_domain_lock_file(domain_lock_path(domain_), domain_, host_);
  if (!name_lock) return false;
  id_lock_ = std::move(id_lock);
  name_lock_ = std::move(name_lock);
  return true;
}

// The host's connection; while it has none (the server is restarting), new
// tries within the reconnection time. A connection that is there but whose
// server went away is connected again by the statements themselves.
MYSQL* DomainSwitch::status_connection() {
  using Clock = std::chrono::steady_clock;
  MYSQL* conn = host_.status_connection();
  const Clock::time_point deadline = Clock::now() + db_reconnect_timeout();
  std::chrono::milliseconds pause{250};
  while (conn == nullptr && Clock::now() < deadline) {
    pause_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(1000));
    conn = host_.status_connection();
  }
  return conn;
}

bool DomainSwitch::read_status(MYSQL* conn, unsigned* status) {
  if (conn == nullptr) {
    host_.status_unreadable(domain_, "Unable to connect to the mysql database");
    return false;
  }
  if (!identify()) return false;
  if (get_domain_status(id_.c_str(), status, conn) != 0) {
    host_.status_unreadable(domain_, mysql_error(conn));
    return false;
  }
  return true;
}

// The statement the panel's own tools use; the id is escaped although it is
// a number from the database.
bool DomainSwitch::write_status(MYSQL* conn, unsigned status, std::string* db_error) {
  char statement[4096];
  const int len =
      std::snprintf(statement, sizeof statement, "UPDATE domains SET status=%u WHERE id='%s'",
                    status, db_escape(conn, id_).c_str());
  if (len < 0 || static_cast<std::size_t>(len) >= sizeof statement) {
    *db_error = "statement too long";
    return false;
  }
  if (db_query_reconnecting(conn, std::string_view(statement, static_cast<std::size_t>(len))) !=
      0) {
    *db_error = mysql_error(conn);
    return false;
  }
  return true;
}

int DomainSwitch::sitectl(SwitchAction action, UtilityStop stop) {
  const char* const args[] = {sitectl_option(action), "--domain-name", domain_.c_str()};
  return run_admin_utility("sitectl", args, stop);
}

bool DomainSwitch::switch_off() {
  MYSQL* conn = status_connection();
  unsigned status = 0;
  if (!read_status(conn, &status)) return false;
  // Left off by a run of this protocol that never switched it back: this
  // run takes it over and switches it on at its end.
  if (status & kBackupBit) {
    off_ = true;
    return true;
  }
  std::string err;
  if (!write_status(conn, status | kBackupBit, &err)) {
    host_.status_unwritten(domain_, err);
    return false;
  }
  if (status != 0 && !protocol_.turn_off_when_off_for_other_reason) {
    off_ = true;
    return true;
  }
  host_.switching(domain_, SwitchAction::off);
  // A termination request stops this call: nothing has been done yet that
  // the orderly end would not undo.
  if (sitectl(SwitchAction::off, UtilityStop::on_request) == 0) {
    host_.switched(domain_, SwitchAction::off);
    off_ = true;
    return true;
  }
  host_.switch_failed(domain_, SwitchAction::off);
  if (status == 0 && protocol_.failed_turn_off_turns_back_on) {
    sitectl(SwitchAction::on, UtilityStop::at_limit_only);
  }
  if (!write_status(conn, status, &err)) host_.status_not_restored(domain_, err);
  return false;
}

// Every sitectl call from here on belongs to the orderly end: a termination
// request does not stop it, the utility time limit does.
bool DomainSwitch::switch_on() {
  off_ = false;
  MYSQL* conn = status_connection();
  unsigned status = 0;
  if (!read_status(conn, &status)) return false;
  if (status == 0) return true;
  const unsigned new_status = status & ~kBackupBit;
  std::string err;
  if (!write_status(conn, new_status, &err)) {
    host_.status_unwritten(domain_, err);
    return false;
  }
  // Off for another reason as well: it stays off.
  if (new_status != 0) return true;
  host_.switching(domain_, SwitchAction::on);
  if (sitectl(SwitchAction::on, UtilityStop::at_limit_only) == 0) {
    host_.switched(domain_, SwitchAction::on);
    return true;
  }
  host_.switch_failed(domain_, SwitchAction::on);
  unsigned left = status;
  if (protocol_.failed_turn_on_marks_status_64) {
    sitectl(SwitchAction::off, UtilityStop::at_limit_only);
    left = kSwitchOnFailedStatus;
  }
  if (!write_status(conn, left, &err)) host_.status_not_restored(domain_, err);
  return false;
}
