#include "sitevault/client_quota.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "common/db_connection.h"
#include "common/db_queries.h"
#include "common/messages.h"
#include "common/product_conf.h"
#include "sitevault/domain_lock.h"
#include "sitevault/local_rotation.h"

namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// Each query keeps the connection of its first call for the run; a caller
// that passes a connection is served on it.
MYSQL* slot_connection(MYSQL** slot, MYSQL* given) {
  if (given != nullptr) {
    if (*slot == nullptr) *slot = given;
    return given;
  }
  if (*slot == nullptr) *slot = get_db_connection();
  return *slot;
}

struct Rows {
  MysqlResultPtr result;
};

// Runs the statement; nullopt on a failed query or result set.
std::optional<Rows> run_query(MYSQL* conn, const std::string& statement) {
  if (mysql_real_query(conn, statement.data(), statement.size()) != 0) return std::nullopt;
  MysqlResultPtr result(mysql_store_result(conn));
  if (!result) return std::nullopt;
  return Rows{std::move(result)};
}

// First column of the first row; empty when there is no row or no value.
std::string first_value(const Rows& rows) {
  MYSQL_ROW row = mysql_fetch_row(rows.result.get());
  if (row == nullptr || row[0] == nullptr) return {};
  return row[0];
}

std::int64_t parse_number(const std::string& text) {
  return static_cast<std::int64_t>(std::strtoll(text.c_str(), nullptr, 10));
}

// Sum that sticks at the maximum instead of wrapping: a figure that could not
// be measured (all bits set) keeps the total at the top.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kNoLimit - b ? kNoLimit : a + b;
}

bool is_single_component(const char* name) {
  return std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
         std::strcmp(name, "..") != 0;
}

MYSQL* owner_slot = nullptr;
MYSQL* limit_slot = nullptr;
MYSQL* usage_slot = nullptr;
MYSQL* dumps_slot = nullptr;

}  // namespace

unsigned long get_domain_owner(const char* domain, MYSQL* conn) {
  if (domain == nullptr) return 0;
  MYSQL* db = slot_connection(&owner_slot, conn);
  if (db == nullptr) {
    report_error("Can't get domain owner for domain '%s': can't connect to system database",
                 domain);
    return 0;
  }
  // By the domain's id: the name may be given in another case or form
  // (Unicode or ACE) than the database holds.
  const char* id = get_dom_id(domain, db);
  if (id == nullptr) {
    report_error("Can't get domain owner for domain '%s': no such domain in database", domain);
    return 0;
  }
  const std::string statement = "SELECT cl_id FROM domains WHERE id='" + db_escape(db, id) + "'";
  const std::optional<Rows> rows = run_query(db, statement);
  if (!rows) {
    report_error("Can't get domain owner for domain '%s': can't execute SQL query", domain);
    return 0;
  }
  const std::string value = first_value(*rows);
  if (value.empty()) {
    report_error("Can't get domain owner for domain '%s': no such domain in database", domain);
    return 0;
  }
  return static_cast<unsigned long>(parse_number(value));
}

std::uint64_t get_client_limit(unsigned long client_id, const char* limit_name, MYSQL* conn) {
  if (client_id == 0 || limit_name == nullptr) return 0;
  MYSQL* db = slot_connection(&limit_slot, conn);
  if (db == nullptr) {
    report_error("Can't get limit '%s' for client (id = %lu): can't connect to system database",
                 limit_name, client_id);
    return 0;
  }
  const std::string statement = "SELECT \tLimits.value FROM \tLimits,clients WHERE \tclients.id='" +
                                std::to_string(client_id) +
                                "' AND \tLimits.id=clients.limits_id AND\tLimits.limit_name='" +
                                db_escape(db, limit_name) + "'";
  const std::optional<Rows> rows = run_query(db, statement);
  if (!rows) {
    report_error("Can't get limit '%s' for client (id = %lu): can't execute SQL query", limit_name,
                 client_id);
    return 0;
  }
  const std::string value = first_value(*rows);
  if (value.empty()) return kNoLimit;
  // A stored -1 reads as all bits set: no limit.
  return static_cast<std::uint64_t>(parse_number(value));
}

std::int64_t get_client_disk_usage(unsigned long client_id, MYSQL* conn) {
  if (client_id == 0) return -1;
  MYSQL* db = slot_connection(&usage_slot, conn);
  if (db == nullptr) {
    report_error("Can't get disk usage for client (id = %lu): can't connect to system database",
                 client_id);
    return -1;
  }
  const std::string statement =
      "SELECT SUM(real_size) FROM domains WHERE cl_id='" + std::to_string(client_id) + "'";
  const std::optional<Rows> rows = run_query(db, statement);
  if (!rows) {
    report_error("Can't get disk usage for client (id = %lu): can't execute SQL query", client_id);
    return -1;
  }
  const std::string value = first_value(*rows);
  return value.empty() ? 0 : parse_number(value);
}

std::int64_t get_client_dumps_size(unsigned long client_id, MYSQL* conn) {
  if (client_id == 0) return -1;
  MYSQL* db = slot_connection(&dumps_slot, conn);
  if (db == nullptr) {
    report_error("Can't get dumps size for client (id = %lu): can't connect to system database",
                 client_id);
    return -1;
  }
  const std::string statement =
      "SELECT name FROM domains WHERE cl_id='" + std::to_string(client_id) + "'";
  const std::optional<Rows> rows = run_query(db, statement);
  if (!rows) {
    report_error("Can't get dumps size for client (id = %lu): can't execute SQL query", client_id);
    return -1;
  }
  // "byte": file lengths; anything else, or no answer, allocated blocks.
  const char* count_type = get_misc_param("size_count_type", db);
  const bool count_blocks = count_type == nullptr || std::strcmp(count_type, "byte") != 0;

  const std::string root = product_conf.DUMP_D ? product_conf.DUMP_D : "";
  std::int64_t total = 0;
  while (MYSQL_ROW row = mysql_fetch_row(rows->result.get())) {
    if (row[0] == nullptr || row[0][0] == '\0') break;
    // A stored name that is no single path component would measure some
    // other directory.
    if (!is_single_component(row[0])) continue;
    const std::int64_t size = path_size((root + "/" + row[0]).c_str(), count_blocks);
    if (size > 0) total += size;
  }
  return total;
}

int check_client_quota(const char* domain) {
  MYSQL* conn = domain_db_connection();
  const unsigned long client = get_domain_owner(domain, conn);
  // No owner, no owner's limit to keep.
  if (client == 0) return 0;
  const std::uint64_t limit = get_client_limit(client, "disk_space", conn);
  if (limit == kNoLimit) return 0;

  const auto usage = static_cast<std::uint64_t>(get_client_disk_usage(client, conn));
  const auto dumps = static_cast<std::uint64_t>(get_client_dumps_size(client, conn));
  const std::uint64_t used = saturating_add(usage, dumps);
  if (used < limit) return 0;

  std::printf(
      "Can't perform dump operations: not enough disc space.\n"
      "Space allowed for client: %" PRIu64
      " Mb\n"
      "Space used: %" PRIu64 " Mb (%" PRIu64
      " Mb by dumps)\n"
      "As possible workaround you can delete dumps from repository\n"
      "or choose option 'do not create domain dump file, only download'\n"
      "at the Domain dump creation page",
      limit >> 20, used >> 20, dumps >> 20);
  std::fflush(stdout);
  // The refusal is no system call's failure: no stale error text with it.
  errno = 0;
  report_error(
      "Can't perform dump operation for domain '%s': not enough disc space allowed for "
      "client (allowed: %" PRIu64 " used: %" PRIu64 ")",
      domain, limit, used);
  return -1;
}
