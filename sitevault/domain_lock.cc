#include "sitevault/domain_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "common/db_connection.h"
#include "common/db_queries.h"
#include "common/domain_switch.h"
#include "common/messages.h"
#include "common/product_conf.h"
#include "sitevault/dump_staging.h"
#include "sitevault/repository_dir.h"

namespace {

// Domain ids are decimal numbers; longer text is not an id of ours.
constexpr std::size_t kMaxDomainIdLength = 10;

// A failed --turn-off switches a domain that was on back on; a failed
// --turn-on leaves the domain off with status 64.
constexpr SwitchProtocol kProtocol{};

MYSQL* lock_connection = nullptr;

// Whether a HeldDomain of this run exists. Only a flag: the held domain
// itself lives on the operation's stack, and no exit handler ever sees it.
bool domain_held = false;

std::string dump_root() { return product_conf.DUMP_D ? product_conf.DUMP_D : ""; }

class SitevaultHost final : public DomainSwitchHost {
 public:
  std::optional<std::string> domain_id(const std::string& domain) override {
    MYSQL* conn = domain_db_connection();
    const char* id = conn ? get_dom_id(domain.c_str(), conn) : nullptr;
    if (id != nullptr && *id != '\0') return std::string(id, strnlen(id, kMaxDomainIdLength));
    report_error("Unable to define domain status.\n");
    return std::nullopt;
  }
  MYSQL* status_connection() override { return domain_db_connection(); }

  void lock_not_created(const std::string& domain) override {
    report_error("Unable create lock file for domain \"%s\": unable allocate memory block.",
                 domain.c_str());
  }
  void lock_busy(const std::string& domain) override {
    report_error("Unable to lock file for domain \"%s\": domain is already locked.",
                 domain.c_str());
  }
  void lock_failed(const std::string& domain, int error) override {
    report_error("Unable to lock file for domain \"%s\": %s.", domain.c_str(),
                 std::strerror(error));
  }
  void status_unreadable(const std::string& /*domain*/, const std::string& /*db_error*/) override {
    report_error("Unable to define domain status.\n");
  }
  void status_unwritten(const std::string& /*domain*/, const std::string& db_error) override {
    report_error("Unable to change domain status: %s\n", db_error.c_str());
  }
  void switch_failed(const std::string& domain, SwitchAction action) override {
    report_error("Unable to turn domain '%s' %s.\n", domain.c_str(),
                 action == SwitchAction::off ? "off" : "on");
  }
  void status_not_restored(const std::string& /*domain*/, const std::string& db_error) override {
    report_error("Unable to restore domain status: %s\n", db_error.c_str());
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
  report_error(
      "Unable to lock file for domain \"%s\": repository '%s/%s' is not a directory (links "
      "are not followed).",
      domain ? domain : "", dump_root().c_str(), domain ? domain : "");
  return false;
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
  // The panel reads the refusal from standard output, alone on its line,
  // before the report.
  write_output_text((std::string(kText) + "\n").c_str());
  report_error("%s: Can't lock file %s\n", kText, server_wide_lock_path().c_str());
  return -1;
}

LockedFile take_domain_lock_file(const char* domain) {
  if (!repository_not_linked(domain)) return LockedFile();
  LockedFile record = ::take_domain_lock_file(domain_lock_path(domain), domain, host);
  if (!record) return record;
  // No other run works in the repository now: what a dead run staged goes.
  remove_staging_leftovers(dump_root() + "/" + domain);
  return record;
}

HeldDomain::HeldDomain(DomainSwitch&& held) : switch_(std::move(held)) { domain_held = true; }

HeldDomain::HeldDomain(HeldDomain&& other) noexcept
    : switch_(std::move(other.switch_)), counted_(std::exchange(other.counted_, false)) {}

// The switch's own end switches a domain still off on, then releases the
// name lock and the id lock.
HeldDomain::~HeldDomain() {
  if (counted_) domain_held = false;
}

bool HeldDomain::switch_on() { return !switch_.is_off() || switch_.switch_on(); }

std::optional<HeldDomain> lock_domain(const char* domain) {
  if (domain_held) {
    report_error("Error locking domain: trying lock already locked domains %s\n", domain);
    return std::nullopt;
  }
  if (!repository_not_linked(domain)) return std::nullopt;
  DomainSwitch domain_switch(domain, kProtocol, host);
  if (!domain_switch.lock()) return std::nullopt;
  // No other run works in the repository now: what a dead run staged goes.
  remove_staging_leftovers(dump_root() + "/" + domain);
  // A failed switch-off has rolled back; the locks go with domain_switch.
  if (!domain_switch.switch_off()) return std::nullopt;
  return HeldDomain(std::move(domain_switch));
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
