#include "chainrun/domain_suspension.h"

#include <cstring>
#include <string>
#include <utility>

#include "chainrun/chain_log.h"
#include "common/messages.h"

namespace {

// sitectl runs only for a domain that was on; a failed --turn-off just puts
// the old status back, and a failed --turn-on leaves the status it found
// (backup bit included) with the services as sitectl left them.
constexpr SwitchProtocol kProtocol{.turn_off_when_off_for_other_reason = false,
                                   .failed_turn_off_turns_back_on = false,
                                   .failed_turn_on_marks_status_64 = false};

constexpr const char* kNoConnection = "Unable to connect to the mysql database";

const char* action_word(SwitchAction action) { return action == SwitchAction::off ? "off" : "on"; }

}  // namespace

DomainSuspension::DomainSuspension(std::string time_text, std::string domain)
    : host_(std::move(time_text)), switch_(std::move(domain), kProtocol, host_) {}

bool DomainSuspension::suspend() {
  if (!server_wide_lock_free()) {
    log_appendf(
        "Can't switch domain \"%s\" off while server-wide dump/restore running: Can't lock file "
        "%s\n",
        switch_.domain().c_str(), server_wide_lock_path().c_str());
    return false;
  }
  const bool off = switch_.lock() && switch_.switch_off();
  host_.close_status_connection();
  return off;
}

void DomainSuspension::resume() {
  if (switch_.is_off()) switch_.switch_on();
  host_.close_status_connection();
  switch_.unlock();
}

// The name as given: no conversion to the ASCII form of an IDN. Never the
// end of the run, whatever fails: the chain runs without the switch.
std::optional<std::string> DomainSuspension::Host::domain_id(const std::string& domain) {
  std::string reason;
  std::optional<std::string> id;
  MysqlPtr conn(get_db_connection());
  if (!conn) {
    write_message("Unable to connect to the mysql database\n", 0);
    reason = kNoConnection;
  } else {
    const std::string statement =
        "select id from domains where name='" + db_escape(conn.get(), domain) + "'";
    if (mysql_real_query(conn.get(), statement.data(), statement.size()) != 0) {
      reason = mysql_error(conn.get());
      write_message(("Unable to query domain ID: " + reason + "\n").c_str(), 0);
    } else {
      MysqlResultPtr result(mysql_store_result(conn.get()));
      MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
      if (row != nullptr && row[0] != nullptr) {
        id.emplace(row[0], strnlen(row[0], 4095));
      } else {
        reason = "no such domain in the database";
        write_message(("Error: empty domain ID for domain '" + domain + "'.\n").c_str(), 0);
      }
    }
  }
  if (!id) {
    log_appendf("ERROR: unable to get id for domain \"%s\": %s\n", domain.c_str(), reason.c_str());
  }
  return id;
}

MYSQL* DomainSuspension::Host::status_connection() {
  status_conn_.reset();
  status_conn_.reset(get_db_connection());
  return status_conn_.get();
}

void DomainSuspension::Host::lock_not_created(const std::string& domain) {
  log_appendf("Unable create lock file for domain \"%s\": unable allocate memory block\n",
              domain.c_str());
}

void DomainSuspension::Host::lock_busy(const std::string& domain) {
  log_appendf("Unable to lock file for domain \"%s\": domain is already locked.\n", domain.c_str());
}

void DomainSuspension::Host::lock_failed(const std::string& domain, int error) {
  log_appendf("Unable to lock file for domain \"%s\": %s\n", domain.c_str(), std::strerror(error));
}

void DomainSuspension::Host::status_unreadable(const std::string& domain,
                                               const std::string& db_error) {
  log_appendf("Unable to get status for domain \"%s\": %s\n", domain.c_str(), db_error.c_str());
}

void DomainSuspension::Host::status_unwritten(const std::string& domain,
                                              const std::string& db_error) {
  log_appendf("Unable to put status for domain \"%s\": %s\n", domain.c_str(), db_error.c_str());
}

void DomainSuspension::Host::switching(const std::string& domain, SwitchAction action) {
  log_appendf("[%s] turning domain \"%s\" %s ... ", time_text_.c_str(), domain.c_str(),
              action_word(action));
}

void DomainSuspension::Host::switched(const std::string& /*domain*/, SwitchAction /*action*/) {
  log_append("done\n");
}

void DomainSuspension::Host::switch_failed(const std::string& domain, SwitchAction action) {
  log_appendf("fail\nUnable to turn domain \"%s\" %s: an error occured during sitectl executing\n",
              domain.c_str(), action_word(action));
}
