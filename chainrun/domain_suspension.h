// Switching a domain off for the duration of a chain and on again, with the
// same locks and status protocol as the backup tool (common/domain_switch):
// the domain's id lock and DUMP_D/<domain>/backup_restore.lock, the backup
// bit (4) in the domain's status, and sitectl --turn-off / --turn-on. Every
// report line goes to the runner's log.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "common/db_connection.h"
#include "common/domain_switch.h"

class DomainSuspension {
 public:
  // time_text is the runner's time text for the log lines.
  DomainSuspension(std::string time_text, std::string domain);
  // A domain still off is switched on; the locks are released.
  ~DomainSuspension() = default;
  DomainSuspension(const DomainSuspension&) = delete;
  DomainSuspension& operator=(const DomainSuspension&) = delete;

  // true when the domain is off for this run (switched off now, already off
  // by this protocol, or off for another reason). Nothing is touched while a
  // repository-wide dump or restore holds DUMP_D/backup_restore.lock. The
  // locks stay held when taken, also when switching off failed.
  bool suspend();
  // Switches a suspended domain back on (the backup bit cleared; sitectl
  // --turn-on when no other bit is set) and releases the locks.
  void resume();

 private:
  class Host final : public DomainSwitchHost {
   public:
    explicit Host(std::string time_text) : time_text_(std::move(time_text)) {}
    std::optional<std::string> domain_id(const std::string& domain) override;
    // A connection of its own for each switching step.
    MYSQL* status_connection() override;
    void close_status_connection() { status_conn_.reset(); }
    void lock_not_created(const std::string& domain) override;
    void lock_busy(const std::string& domain) override;
    void lock_failed(const std::string& domain, int error) override;
    void status_unreadable(const std::string& domain, const std::string& db_error) override;
    void status_unwritten(const std::string& domain, const std::string& db_error) override;
    void switching(const std::string& domain, SwitchAction action) override;
    void switched(const std::string& domain, SwitchAction action) override;
    void switch_failed(const std::string& domain, SwitchAction action) override;

   private:
    std::string time_text_;
    MysqlPtr status_conn_;
  };

  Host host_;
  DomainSwitch switch_;
};
