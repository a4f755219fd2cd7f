#include "domain_suspension.h"

#include <errmsg.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "chain_log.h"
#include "db_connection.h"
#include "db_queries.h"
#include "messages.h"
#include "process.h"
#include "product_conf.h"

namespace {

constexpr unsigned backup_bit = 4;

MysqlPtr& lookup_connection() {
  static MysqlPtr conn;
  return conn;
}

std::string& lookup_buffer() {
  static std::string id;
  return id;
}

// Why the last lookup gave no id, for the caller's log line.
std::string& lookup_failure() {
  static std::string reason;
  return reason;
}

locked_file*& held_lock() {
  static locked_file* lock = nullptr;
  return lock;
}

MYSQL* ensure_lookup_connection() {
  if (!lookup_connection()) {
    lookup_connection().reset(get_db_connection());
    if (!lookup_connection()) write_message("Unable to connect to the mysql database\n", 0);
  }
  return lookup_connection().get();
}

bool connection_lost(MYSQL* conn) {
  const unsigned code = mysql_errno(conn);
  return code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST;
}

std::string message(const char* format, const char* a, const char* b = "") {
  const int needed = std::snprintf(nullptr, 0, format, a, b);
  if (needed <= 0) return {};
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, a, b);
  text.resize(static_cast<std::size_t>(needed));
  return text;
}

// A connection for one status read and update; null (reported) on failure.
MysqlPtr status_connection(const char* domain_name) {
  MysqlPtr conn(get_db_connection());
  if (!conn) {
    log_appendf("Unable to get status for domain \"%s\": %s\n", domain_name,
                "Unable to connect to the mysql database");
  }
  return conn;
}

int sitectl(const char* action, const char* domain_name) {
  return exec_admin_utility("sitectl", action, "--domain-name", domain_name, nullptr);
}

void release(locked_file* lock) {
  if (lock) close_locked_file(lock);
}

}  // namespace

const char* lookup_domain_id(const char* domain_name) {
  lookup_failure().clear();
  MYSQL* conn = ensure_lookup_connection();
  // Never the end of the run: a domain switched off must still be switched on.
  if (conn == nullptr) {
    lookup_failure() = "Unable to connect to the mysql database";
    return nullptr;
  }
  std::string statement;
  std::string escaped;
  for (int attempt = 0;; ++attempt) {
    escaped = db_escape(conn, domain_name);
    statement = "select id from domains where name='" + escaped + "'";
    if (mysql_real_query(conn, statement.data(), statement.size()) == 0) break;
    // The connection is kept for the whole chain, which may outlast the
    // server's idle timeout: reconnect once before giving up.
    if (attempt == 0 && connection_lost(conn)) {
      lookup_connection().reset();
      conn = ensure_lookup_connection();
      if (conn == nullptr) {
        lookup_failure() = "Unable to connect to the mysql database";
        return nullptr;
      }
      continue;
    }
    lookup_failure() = mysql_error(conn);
    write_message(message("Unable to query domain ID: %s\n", mysql_error(conn)).c_str(), 0);
    return nullptr;
  }

  MysqlResultPtr result(mysql_store_result(conn));
  MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
  if (row == nullptr || row[0] == nullptr) {
    lookup_failure() = "no such domain in the database";
    write_message(message("Error: empty domain ID for domain '%s'.\n", domain_name).c_str(), 0);
    return nullptr;
  }
  lookup_buffer().assign(row[0], strnlen(row[0], 4095));
  return lookup_buffer().c_str();
}

int suspend_domain(const char* time_text, const char* domain_name) {
  const char* looked_up = lookup_domain_id(domain_name);
  if (looked_up == nullptr) {
    log_appendf("ERROR: unable to get id for domain \"%s\": %s\n", domain_name,
                lookup_failure().c_str());
    return -1;
  }
  const std::string id = looked_up;

  const std::string lock_path =
      std::string(product_conf.DUMP_D) + "/" + domain_name + "/backup_restore.lock";
  locked_file* lock = lock_file_try(lock_path.c_str(), 0);
  const int lock_errno = errno;
  if (lock == nullptr) {
    log_appendf("Unable create lock file for domain \"%s\": unable allocate memory block\n",
                domain_name);
    return -1;
  }
  if (locked_file_is_busy(lock)) {
    log_appendf("Unable to lock file for domain \"%s\": domain is already locked.\n", domain_name);
    close_locked_file(lock);
    return -1;
  }
  if (!locked_file_is_locked(lock)) {
    log_appendf("Unable to lock file for domain \"%s\": %s\n", domain_name,
                std::strerror(lock_errno));
    close_locked_file(lock);
    return -1;
  }

  MysqlPtr conn = status_connection(domain_name);
  if (!conn) {
    release(lock);
    return -1;
  }
  unsigned status = 0;
  if (get_domain_status(id.c_str(), &status, conn.get()) != 0) {
    log_appendf("Unable to get status for domain \"%s\": %s\n", domain_name,
                mysql_error(conn.get()));
    release(lock);
    return -1;
  }
  if (status & backup_bit) {
    held_lock() = lock;
    return 0;
  }
  if (update_domain_status(id.c_str(), status | backup_bit, conn.get()) != 0) {
    log_appendf("Unable to put status for domain \"%s\": %s\n", domain_name,
                mysql_error(conn.get()));
    release(lock);
    return -1;
  }
  held_lock() = lock;
  if (status != 0) return 0;

  log_appendf("[%s] turning domain \"%s\" off ... ", time_text, domain_name);
  if (sitectl("--turn-off", domain_name) != 0) {
    log_appendf(
        "fail\nUnable to turn domain \"%s\" off: an error occured during sitectl executing\n",
        domain_name);
    update_domain_status(id.c_str(), status, conn.get());
    return -1;
  }
  log_append("done\n");
  return 0;
}

locked_file* take_suspension_lock() {
  locked_file* lock = held_lock();
  held_lock() = nullptr;
  return lock;
}

int resume_domain(const char* time_text, const char* domain_name, locked_file* lock) {
  const int result = [&] {
    const char* looked_up = lookup_domain_id(domain_name);
    if (looked_up == nullptr) {
      log_appendf("ERROR: unable to get id for domain \"%s\": %s\n", domain_name,
                  lookup_failure().c_str());
      return -1;
    }
    const std::string id = looked_up;

    MysqlPtr conn = status_connection(domain_name);
    if (!conn) return -1;
    unsigned status = 0;
    if (get_domain_status(id.c_str(), &status, conn.get()) != 0) {
      log_appendf("Unable to get status for domain \"%s\": %s\n", domain_name,
                  mysql_error(conn.get()));
      return -1;
    }
    if (status == 0) return 0;
    const unsigned new_status = status & ~backup_bit;
    if (update_domain_status(id.c_str(), new_status, conn.get()) != 0) {
      log_appendf("Unable to put status for domain \"%s\": %s\n", domain_name,
                  mysql_error(conn.get()));
      return -1;
    }
    if (new_status != 0) return 0;

    log_appendf("[%s] turning domain \"%s\" on ... ", time_text, domain_name);
    if (sitectl("--turn-on", domain_name) != 0) {
      log_appendf(
          "fail\nUnable to turn domain \"%s\" on: an error occured during sitectl executing\n",
          domain_name);
      update_domain_status(id.c_str(), status, conn.get());
      return -1;
    }
    log_append("done\n");
    return 0;
  }();
  release(lock);
  return result;
}
