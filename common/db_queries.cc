#include "common/db_queries.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "common/db_connection.h"
#include "common/idn.h"
#include "common/messages.h"
#include "common/text_format.h"

namespace {

constexpr std::size_t kBufferSize = 4096;
constexpr std::size_t kStatementMax = kBufferSize - 1;

const char kTooLong[] = "statement longer than 4095 characters refused";
const char kBadIdentifier[] = "table or column name refused";
const char kNoConnection[] = "Unable to connect to the mysql database\n";
const char kNoConnectionWriter[] = "Unable to connect to mysql database\n";

// Process-wide result buffers, one per operation (the get_param family shares
// one). A returned pointer is valid until the next call using the same buffer.
char param_result[kBufferSize];
char ip_address_result[kBufferSize];
char dom_param_result[kBufferSize];
char domain_parameter_result[kBufferSize];
char service_parameter_result[kBufferSize];
char domain_limit_result[kBufferSize];
char client_email_result[kBufferSize];
char dom_id_result[kBufferSize];
char domain_name_result[kBufferSize];
char domain_name_lower[kBufferSize];

// The connection on which the last statement was refused for its length.
MYSQL* refused_on = nullptr;

const char* text_or_empty(const char* s) { return s != nullptr ? s : ""; }

// Copies at most 4095 characters (up to the first NUL) and terminates.
char* copy_result(char* buffer, const std::string& value) {
  const std::size_t n = strnlen(value.data(), std::min(value.size(), kStatementMax));
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return buffer;
}

char* empty_result(char* buffer) {
  buffer[0] = '\0';
  return buffer;
}

// A message formatted into a 4096-byte buffer and written; a non-zero exit
// code ends the process.
__attribute__((format(printf, 2, 3))) void report(int exit_code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = vformat_text_cut(kBufferSize - 1, format, args);
  va_end(args);
  write_message(text.c_str(), exit_code);
}

// A statement as formatted into the 4096-byte statement buffer. A statement
// that did not fit is never sent: its cut text could be a different statement.
struct Statement {
  std::string text;
  const char* refusal = nullptr;
};

__attribute__((format(printf, 1, 2))) Statement make_statement(const char* format, ...) {
  char buffer[kBufferSize];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  Statement statement;
  statement.text = buffer;
  if (n < 0 || static_cast<std::size_t>(n) > kStatementMax) statement.refusal = kTooLong;
  return statement;
}

bool is_identifier(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (!std::isalnum(c) && c != '_' && c != '$') return false;
  }
  return true;
}

// Sends the statement; false with the reason in error.
bool send(MYSQL* conn, const Statement& statement, std::string& error) {
  if (statement.refusal != nullptr) {
    error = statement.refusal;
    if (statement.refusal == kTooLong) refused_on = conn;
    return false;
  }
  refused_on = nullptr;
  if (mysql_real_query(conn, statement.text.data(),
                       static_cast<unsigned long>(statement.text.size())) != 0) {
    error = mysql_error(conn);
    return false;
  }
  return true;
}

// send for a statement that may be repeated: a server that went away (a
// restart) is reconnected to and the statement sent again, for a bounded time.
bool send_reconnecting(MYSQL* conn, const Statement& statement, std::string& error) {
  if (statement.refusal != nullptr) return send(conn, statement, error);
  refused_on = nullptr;
  if (db_query_reconnecting(conn, statement.text) != 0) {
    error = mysql_error(conn);
    return false;
  }
  return true;
}

struct FirstCell {
  bool row = false;  // the result set had a row
  bool null = true;  // no row, or its first column was NULL
  std::string value;
};

FirstCell first_cell(MYSQL* conn) {
  FirstCell cell;
  MysqlResultPtr result(mysql_store_result(conn));
  if (!result) return cell;
  MYSQL_ROW row = mysql_fetch_row(result.get());
  if (row == nullptr) return cell;
  cell.row = true;
  if (mysql_num_fields(result.get()) == 0 || row[0] == nullptr) return cell;
  const unsigned long* lengths = mysql_fetch_lengths(result.get());
  cell.null = false;
  cell.value.assign(row[0], lengths != nullptr ? lengths[0] : std::strlen(row[0]));
  return cell;
}

// Number of rows the last statement returned; nullopt without a result set.
std::optional<my_ulonglong> row_count(MYSQL* conn, std::string& error) {
  MysqlResultPtr result(mysql_store_result(conn));
  if (!result) {
    error = mysql_error(conn);
    return std::nullopt;
  }
  return mysql_num_rows(result.get());
}

// The caller's connection, or a new one that this handle closes.
class Db {
 public:
  // On failure writes the db_connect text and then failure_text (ending the
  // process when failure_exit is not 0).
  static Db own_or_given(MYSQL* given, const char* failure_text, int failure_exit = 0) {
    Db db;
    if (given != nullptr) {
      db.conn_ = given;
      return db;
    }
    char err[kBufferSize + 1] = "";
    MYSQL* conn = db_connect(err, sizeof err);
    if (conn == nullptr) {
      write_message(err, 0);
      write_message(failure_text, failure_exit);
      return db;
    }
    db.conn_ = conn;
    db.owned_.reset(conn);
    return db;
  }

  MYSQL* get() const { return conn_; }
  explicit operator bool() const { return conn_ != nullptr; }
  std::string escape(const char* value) const { return db_escape(conn_, text_or_empty(value)); }

 private:
  MYSQL* conn_ = nullptr;
  MysqlPtr owned_;
};

// The reading pattern: run the statement, copy the first column of the first
// row into buffer (empty text when there is none), null after reporting a
// failed query with failure_format (argument, error).
const char* read_value(const Db& db, const Statement& statement, char* buffer,
                       const char* failure_format, const char* argument) {
  std::string error;
  if (!send(db.get(), statement, error)) {
    if (argument != nullptr) {
      report(0, failure_format, argument, error.c_str());
    } else {
      report(0, failure_format, error.c_str());
    }
    return nullptr;
  }
  FirstCell cell = first_cell(db.get());
  if (cell.null) return empty_result(buffer);
  return copy_result(buffer, cell.value);
}

const char* param_query(const Db& db, const Statement& statement) {
  return read_value(db, statement, param_result, "Unable to query parameter by query %s: %s\n",
                    statement.text.c_str());
}

// 1 when the single value of the statement begins with "true".
int read_true_switch(MYSQL* conn, const char* dom_or_name, const char* format,
                     const char* failure_format) {
  Db db = Db::own_or_given(conn, kNoConnection);
  if (!db) return 0;
  Statement statement = make_statement(format, db.escape(dom_or_name).c_str());
  std::string error;
  if (!send(db.get(), statement, error)) {
    report(0, failure_format, error.c_str());
    return 0;
  }
  FirstCell cell = first_cell(db.get());
  return (!cell.null && cell.value.compare(0, 4, "true") == 0) ? 1 : 0;
}

// The writing pattern: 0, or -1 after reporting failure_format (name, error).
int write_statement(const Db& db, const Statement& statement, const char* failure_format,
                    const char* name) {
  std::string error;
  if (!send(db.get(), statement, error)) {
    report(0, failure_format, text_or_empty(name), error.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

int is_sql_safe(const char* text) {
  if (text == nullptr) return 1;
  return std::strpbrk(text, "\\\"'") == nullptr ? 1 : 0;
}

int run_statement(MYSQL* conn, const char* statement) {
  if (conn == nullptr || statement == nullptr) return -1;
  const std::size_t len = std::strlen(statement);
  if (len > kStatementMax) {
    refused_on = conn;
    return -1;
  }
  refused_on = nullptr;
  return mysql_real_query(conn, statement, static_cast<unsigned long>(len)) == 0 ? 0 : -1;
}

const char* statement_error(MYSQL* conn) {
  if (conn != nullptr && conn == refused_on) return kTooLong;
  return conn != nullptr ? mysql_error(conn) : "no connection";
}

const char* get_param_by_query(const char* statement, MYSQL* conn) {
  Db db = Db::own_or_given(conn, kNoConnection);
  if (!db) return nullptr;
  Statement st;
  st.text = text_or_empty(statement);
  if (st.text.size() > kStatementMax) st.refusal = kTooLong;
  return param_query(db, st);
}

const char* get_param(const char* key_value, const char* table, const char* key_column,
                      const char* value_column, MYSQL* conn) {
  Db db = Db::own_or_given(conn, kNoConnection);
  if (!db) return nullptr;
  Statement st =
      make_statement("select %s from %s where %s='%s'", text_or_empty(value_column),
                     text_or_empty(table), text_or_empty(key_column), db.escape(key_value).c_str());
  if (!is_identifier(value_column) || !is_identifier(table) || !is_identifier(key_column)) {
    st.refusal = kBadIdentifier;
  }
  return param_query(db, st);
}

const char* get_misc_param(const char* name, MYSQL* conn) {
  return get_param(name, "misc", "param", "val", conn);
}

const char* get_domain_htype(const char* dom_id, MYSQL* conn) {
  return get_param(dom_id, "domains", "id", "htype", conn);
}

const char* get_ip_address(const char* dom_id, MYSQL* conn) {
  Db db = Db::own_or_given(conn, "get_ip_address: Unable to connect to the mysql database");
  if (!db) return nullptr;
  Statement st = make_statement(
      "select ipa.ip_address from domains d, hosting h, IP_Addresses ipa where d.id='%s' and "
      "d.id=h.dom_id and h.ip_address_id=ipa.id",
      db.escape(dom_id).c_str());
  return read_value(db, st, ip_address_result, "Unable to query IP address: %s\n", nullptr);
}

const char* get_dom_param(const char* dom_id, const char* name, MYSQL* conn) {
  if (!is_sql_safe(name)) return nullptr;
  Db db = Db::own_or_given(conn, kNoConnectionWriter);
  if (!db) return nullptr;
  Statement st = make_statement("select val from dom_param where dom_id='%s' and param='%s'",
                                db.escape(dom_id).c_str(), db.escape(name).c_str());
  return read_value(db, st, dom_param_result, "Unable to query domain parameter %s: %s\n",
                    text_or_empty(name));
}

const char* get_domain_parameter(const char* dom_id, const char* name, MYSQL* conn) {
  if (!is_sql_safe(name)) return nullptr;
  Db db = Db::own_or_given(conn, kNoConnection);
  if (!db) return nullptr;
  Statement st = make_statement(
      "select r.value from domains d, Parameters r \t\twhere d.id='%s' and d.params_id=r.id "
      "and r.parameter='%s'",
      db.escape(dom_id).c_str(), db.escape(name).c_str());
  return read_value(db, st, domain_parameter_result, "Unable to query domain parameter %s: %s\n",
                    text_or_empty(name));
}

const char* get_domain_service_parameter(const char* dom_id, const char* service_type,
                                         const char* name, MYSQL* conn) {
  if (!is_sql_safe(name) || !is_sql_safe(service_type)) return nullptr;
  Db db = Db::own_or_given(conn, kNoConnection);
  if (!db) return nullptr;
  Statement st = make_statement(
      "select r.value from DomainServices s, Parameters r \t\t\t\t where s.dom_id='%s' and "
      "s.type='%s' and s.parameters_id=r.id  and r.parameter='%s'",
      db.escape(dom_id).c_str(), db.escape(service_type).c_str(), db.escape(name).c_str());
  return read_value(db, st, service_parameter_result, "Unable to query domain parameter %s: %s\n",
                    text_or_empty(name));
}

const char* get_domain_limit(const char* dom_id, const char* limit_name, MYSQL* conn) {
  if (!is_sql_safe(limit_name)) return nullptr;
  Db db = Db::own_or_given(conn, kNoConnection);
  if (!db) return nullptr;
  Statement st = make_statement(
      "select l.value from domains d, Limits l \t\t\t\t where d.id='%s' and d.limits_id=l.id  "
      "and l.limit_name='%s'",
      db.escape(dom_id).c_str(), db.escape(limit_name).c_str());
  return read_value(db, st, domain_limit_result, "Unable to query domain limit %s: %s\n",
                    text_or_empty(limit_name));
}

int get_domain_status(const char* dom_id, unsigned* status, MYSQL* conn) {
  const char* id = text_or_empty(dom_id);
  Db db = Db::own_or_given(conn, kNoConnection);
  if (!db) return -1;
  Statement st =
      make_statement("select status from domains where id=\"%s\"", db.escape(dom_id).c_str());
  std::string error;
  if (!send_reconnecting(db.get(), st, error)) {
    report(0, "Unable to get status for domain with id=\"%s\": %s", id, error.c_str());
    return -1;
  }
  FirstCell cell = first_cell(db.get());
  if (!cell.row) {
    report(0, "Unable to get status for domain with id=\"%s\": such domain is not exist.", id);
    return -2;
  }
  unsigned value = 0;
  if (cell.null || std::sscanf(cell.value.c_str(), "%u", &value) != 1) {
    report(0,
           "Unable to get status for domain with id=\"%s\": error translate status value from "
           "char to unsigned int.",
           id);
    return -3;
  }
  if (status != nullptr) *status = value;
  return 0;
}

int has_www_prefix(const char* dom_id, MYSQL* conn) {
  Db db = Db::own_or_given(conn, kNoConnection);
  if (!db) return -1;
  const std::string id = db.escape(dom_id);
  std::string error;
  Statement records = make_statement(
      "select * from domains dom, dns_recs dns \t\twhere dom.id='%s' and dom.id=dns.dom_id and "
      "((dns.type='A') or (dns.type='CNAME')) \t\tand dns.host like 'www.%%'",
      id.c_str());
  std::optional<my_ulonglong> rows;
  if (send(db.get(), records, error)) rows = row_count(db.get(), error);
  if (!rows) {
    report(0, "Unable to query www prefix: %s\n", error.c_str());
    return -1;
  }
  if (*rows == 0) return 0;

  Statement subdomain =
      make_statement("select * from subdomains \t\t\twhere dom_id='%s' and name='www'", id.c_str());
  rows.reset();
  if (send(db.get(), subdomain, error)) rows = row_count(db.get(), error);
  if (!rows) {
    report(0, "Unable to query www subdomain: %s\n", error.c_str());
    return -1;
  }
  return *rows == 0 ? 1 : 0;
}

int get_anon_ftp_status(const char* dom_id, MYSQL* conn) {
  return read_true_switch(conn, dom_id,
                          "select a.status from domains d, anon_ftp a \t\t\t\t\t\t\t\t\twhere "
                          "d.id='%s' and a.dom_id=d.id",
                          "Unable to query anon_ftp: %s\n");
}

int get_frontpage_status(const char* domain_name, int ssl, MYSQL* conn) {
  if (!is_sql_safe(domain_name)) return 0;
  const char* format = ssl ? "select h.fp_ssl from domains d, hosting h \t\t\t\t\t\t\t\t\twhere "
                             "d.name='%s' and h.dom_id=d.id"
                           : "select h.fp from domains d, hosting h \t\t\t\t\t\t\t\t\twhere "
                             "d.name='%s' and h.dom_id=d.id";
  return read_true_switch(conn, domain_name, format, "Unable to query frontpage status: %s\n");
}

const char* get_client_email(const char* dom_id, MYSQL* conn) {
  Db db = Db::own_or_given(conn, kNoConnection);
  if (!db) return nullptr;
  Statement st = make_statement(
      "select c.email from domains d, clients c \t\t\t\t\t\t\t\t\twhere d.cl_id=c.id and "
      "d.id='%s'",
      db.escape(dom_id).c_str());
  std::string error;
  if (!send(db.get(), st, error)) {
    report(0, "Unable to define clients email: %s\n", error.c_str());
    return nullptr;
  }
  FirstCell cell = first_cell(db.get());
  if (!cell.null && !cell.value.empty() && cell.value[0] != '\0') {
    return copy_result(client_email_result, cell.value);
  }
  const char* admin = get_misc_param("admin_email", db.get());
  if (admin == nullptr || *admin == '\0') {
    write_message("Unable to define admin email\n", 0);
    return nullptr;
  }
  return copy_result(client_email_result, admin);
}

const char* get_dom_id(const char* domain_name, MYSQL* conn) {
  if (domain_name == nullptr || !is_sql_safe(domain_name)) return nullptr;
  Db db = Db::own_or_given(conn, kNoConnection);
  if (!db) return nullptr;
  // Every failure is reported and returned, never the end of the process:
  // the caller may hold a domain switched off.
  char* ace = idn_toascii(domain_name);
  if (ace == nullptr) {
    errno = 0;
    report_error("idn_toascii() failed: %s", idn_error_name(idn_last_error));
    return nullptr;
  }
  Statement st = make_statement("select id from domains where name='%s'", db.escape(ace).c_str());
  std::free(ace);
  std::string error;
  if (!send(db.get(), st, error)) {
    report(0, "Unable to query domain ID: %s\n", error.c_str());
    return nullptr;
  }
  FirstCell cell = first_cell(db.get());
  if (cell.null) {
    report(0, "get_dom_id(): domains record not found in DB for '%s'\n", domain_name);
    return nullptr;
  }
  return copy_result(dom_id_result, cell.value);
}

const char* get_domain_name(const char* domain_name) {
  if (!is_sql_safe(domain_name)) return nullptr;
  Db db = Db::own_or_given(nullptr, kNoConnection, 1);
  if (!db) return nullptr;
  Statement st =
      make_statement("select name from domains where name='%s'", db.escape(domain_name).c_str());
  std::string error;
  if (!send(db.get(), st, error)) report(1, "Unable to query domain name: %s\n", error.c_str());
  FirstCell cell = first_cell(db.get());
  if (cell.null) return nullptr;
  copy_result(domain_name_result, cell.value);
  std::size_t i = 0;
  for (; domain_name_result[i] != '\0'; ++i) {
    domain_name_lower[i] =
        static_cast<char>(std::tolower(static_cast<unsigned char>(domain_name_result[i])));
  }
  domain_name_lower[i] = '\0';
  return domain_name_lower;
}

long get_next_id(const char* table, MYSQL* conn) {
  Db db = Db::own_or_given(conn, kNoConnection);
  if (!db) return 0;
  Statement st = make_statement("SELECT max(id) FROM %s", text_or_empty(table));
  if (!is_identifier(table)) st.refusal = kBadIdentifier;
  std::string error;
  if (!send(db.get(), st, error)) {
    report(0, "Unable to define max id: %s", error.c_str());
    return 0;
  }
  FirstCell cell = first_cell(db.get());
  const long max_id = cell.null ? 0 : std::strtol(cell.value.c_str(), nullptr, 10);
  return max_id + 1;
}

int update_domain_status(const char* dom_id, unsigned status, MYSQL* conn) {
  Db db = Db::own_or_given(conn, kNoConnectionWriter);
  if (!db) return -1;
  Statement st = make_statement("update domains set status=%u where id=\"%s\"", status,
                                db.escape(dom_id).c_str());
  std::string error;
  if (!send_reconnecting(db.get(), st, error)) {
    report(0, "Unable to update status for domain with id=\"%s\": %s.", text_or_empty(dom_id),
           error.c_str());
    return -1;
  }
  return 0;
}

int delete_domain_parameter(const char* params_id, const char* name, const char* value,
                            MYSQL* conn) {
  if (!is_sql_safe(name) || !is_sql_safe(value)) return -1;
  Db db = Db::own_or_given(conn, kNoConnectionWriter);
  if (!db) return -1;
  Statement st =
      value != nullptr
          ? make_statement("delete from Parameters where id='%s' and parameter='%s' and value='%s'",
                           db.escape(params_id).c_str(), db.escape(name).c_str(),
                           db.escape(value).c_str())
          : make_statement("delete from Parameters where id='%s' and parameter='%s'",
                           db.escape(params_id).c_str(), db.escape(name).c_str());
  return write_statement(db, st, "Unable to delete parameter %s from Parameters: %s", name);
}

int delete_dom_param(const char* dom_id, const char* name, MYSQL* conn) {
  if (!is_sql_safe(name)) return -1;
  Db db = Db::own_or_given(conn, kNoConnectionWriter);
  if (!db) return -1;
  Statement st = make_statement("delete from dom_param where dom_id='%s' and param='%s'",
                                db.escape(dom_id).c_str(), db.escape(name).c_str());
  return write_statement(db, st, "Unable to delete parameter %s from dom_param: %s", name);
}

int delete_misc_param(const char* name, MYSQL* conn) {
  if (!is_sql_safe(name)) return -1;
  Db db = Db::own_or_given(conn, kNoConnectionWriter);
  if (!db) return -1;
  Statement st = make_statement("delete from misc where param='%s'", db.escape(name).c_str());
  return write_statement(db, st, "Unable to delete parameter %s from misc: %s", name);
}

int put_domain_parameter(const char* params_id, const char* name, const char* value, MYSQL* conn) {
  if (!is_sql_safe(name) || !is_sql_safe(value)) return -1;
  Db db = Db::own_or_given(conn, kNoConnectionWriter);
  if (!db) return -1;
  Statement st = make_statement(
      "replace into Parameters (id, parameter, value) values('%s', '%s', '%s')",
      db.escape(params_id).c_str(), db.escape(name).c_str(), db.escape(value).c_str());
  return write_statement(db, st, "Unable to put parameter %s into Parameters: %s", name);
}

int put_dom_param(const char* dom_id, const char* name, const char* value, MYSQL* conn) {
  if (!is_sql_safe(name) || !is_sql_safe(value)) return -1;
  Db db = Db::own_or_given(conn, kNoConnectionWriter);
  if (!db) return -1;
  Statement st =
      make_statement("replace into dom_param (dom_id, param, val) values('%s', '%s', '%s')",
                     db.escape(dom_id).c_str(), db.escape(name).c_str(), db.escape(value).c_str());
  return write_statement(db, st, "Unable to put parameter %s into dom_param: %s", name);
}

int put_misc_param(const char* name, const char* value, MYSQL* conn) {
  if (!is_sql_safe(name) || !is_sql_safe(value)) return -1;
  Db db = Db::own_or_given(conn, kNoConnectionWriter);
  if (!db) return -1;
  Statement st =
      value != nullptr
          ? make_statement("replace into misc (param, val) values('%s', '%s')",
                           db.escape(name).c_str(), db.escape(value).c_str())
          : make_statement("replace into misc (param) values('%s')", db.escape(name).c_str());
  return write_statement(db, st, "Unable to put parameter %s into misc: %s", name);
}
