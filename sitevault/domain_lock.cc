#include "domain_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "db_connection.h"
#include "db_queries.h"
#include "domain_switch.h"
#include "dump_staging.h"
#include "messages.h"
#include "product_conf.h"
#include "repository_dir.h"

locked_file* domain_lock = nullptr;

namespace {

// Domain ids are decimal numbers; longer text is not an id of ours.
constexpr std::size_t kMaxDomainIdLength = 10;

// A failed --turn-off switches a domain that was on back on; a failed
// --turn-on leaves the domain off with status 64.
constexpr SwitchProtocol kProtocol{};

MYSQL* lock_connection = nullptr;

// The domain this run holds. Deliberately not an object with static storage:
// a process that ends without unlock_domain leaves the domain as it is (the
// kernel frees the locks), and no exit handler switches it on behind a
// detached run's back.
DomainSwitch* held = nullptr;

std::string dump_root() { return product_conf.DUMP_D ? product_conf.DUMP_D : ""; }

class SitevaultHost final : public DomainSwitchHost {
 public:
  std::optional<std::string> domain_id(const std::string& domain) override {
    MYSQL* conn = domain_db_connection();
    const char* id = conn ? get_dom_id(domain.c_str(), conn) : nullptr;
    if (id != nullptr && *id != '\0') return std::string(id, strnlen(id, kMaxDomainIdLength));
    print_error(0, "Unable to define domain status.\n");
    return std::nullopt;
  }
  MYSQL* status_connection() override { return domain_db_connection(); }

  void lock_not_created(const std::string& domain) override {
    print_error(0, "Unable create lock file for domain \"%s\": unable allocate memory block.",
                domain.c_str());
  }
  void lock_busy(const std::string& domain) override {
    print_error(0, "Unable to lock file for domain \"%s\": domain is already locked.",
                domain.c_str());
  }
  void lock_failed(const std::string& domain, int error) override {
    print_error(0, "Unable to lock file for domain \"%s\": %s.", domain.c_str(),
                std::strerror(error));
  }
  void status_unreadable(const std::string& /*domain*/, const std::string& /*db_error*/) override {
    print_error(0, "Unable to define domain status.\n");
  }
  void status_unwritten(const std::string& /*domain*/, const std::string& db_error) override {
    print_error(0, "Unable to change domain status: %s\n", db_error.c_str());
  }
  void switch_failed(const std::string& domain, SwitchAction action) override {
    print_error(0, "Unable to turn domain '%s' %s.\n", domain.c_str(),
                action == SwitchAction::off ? "off" : "on");
  }
  void status_not_restored(const std::string& /*domain*/, const std::string& db_error) override {
    print_error(0, "Unable to restore domain status: %s\n", db_error.c_str());
  }
};

SitevaultHost host;

// The repository's lock file is created inside DUMP_D/<domain>: a link
// planted in the repository's place would make root create it (and clear
// staged-looking files) in the directory it points to. false after
// reporting such a repository; a missing one is left to the lock, which
// reports it as before.
bool repository_not_linked(const char* domain) {
  if (RepositoryDir::open_domain(domain ? domain : "") || errno == ENOENT) return true;
  print_error(0,
              "Unable to lock file for domain \"%s\": repository '%s/%s' is not a directory (links "
              "are not followed).",
              domain ? domain : "", dump_root().c_str(), domain ? domain : "");
  return false;
}

// A caller that closed domain_lock itself (and cleared it) ended the hold
// the way the end of the process does: the domain stays as it is, the id
// lock goes too.
void forget_closed_hold() {
  if (held == nullptr || domain_lock == held->name_lock()) return;
  held->release_name_lock();
  held->leave_as_is();
  delete held;
  held = nullptr;
}

}  // namespace

MYSQL* domain_db_connection() {
  if (lock_connection == nullptr) lock_connection = get_db_connection();
  return lock_connection;
}

int check_server_wide_lock() {
  if (server_wide_lock_free()) return 0;
  static const char kText[] =
      "Can't perform domain backup operations while server-wide dump/restore running";
  std::puts(kText);
  std::fflush(stdout);
  print_error(0, "%s: Can't lock file %s\n", kText, server_wide_lock_path().c_str());
  return -1;
}

locked_file* take_domain_lock_file(const char* domain) {
  if (!repository_not_linked(domain)) return nullptr;
  LockedFile record = ::take_domain_lock_file(domain_lock_path(domain), domain, host);
  if (!record) return nullptr;
  // No other run works in the repository now: what a dead run staged goes.
  remove_staging_leftovers(dump_root() + "/" + domain);
  return record.release();
}

int lock_domain(const char* domain) {
  forget_closed_hold();
  if (held != nullptr) {
    print_error(0, "Error locking domain: trying lock already locked domains %s\n", domain);
    return -1;
  }
  if (!repository_not_linked(domain)) return -1;
  auto* domain_switch = new (std::nothrow) DomainSwitch(domain, kProtocol, host);
  if (domain_switch == nullptr) {
    host.lock_not_created(domain);
    return -1;
  }
  if (domain_switch->lock()) {
    // No other run works in the repository now: what a dead run staged goes.
    remove_staging_leftovers(dump_root() + "/" + domain);
    if (domain_switch->switch_off()) {
      held = domain_switch;
      domain_lock = domain_switch->name_lock();
      return 0;
    }
  }
  delete domain_switch;  // locks released; nothing was left switched off
  return -1;
}

void unlock_domain(const char* /*domain*/) {
  forget_closed_hold();
  if (held == nullptr) {
    print_error(0, "Error unlocking domain: trying to unlock unlocked domain\n");
    return;
  }
  // Switched on (its result is not used), then the locks go.
  held->switch_on();
  delete held;
  held = nullptr;
  domain_lock = nullptr;
}

int turn_domain_off(const char* domain) {
  DomainSwitch domain_switch(domain, kProtocol, host);
  const bool off = domain_switch.switch_off();
  domain_switch.leave_as_is();
  return off ? 0 : -1;
}

int turn_domain_on(const char* domain) {
  DomainSwitch domain_switch(domain, kProtocol, host);
  return domain_switch.switch_on() ? 0 : -1;
}
