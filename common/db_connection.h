// Connection to the panel's system database.
#pragma once

#include <mysql.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct MysqlCloser {
  void operator()(MYSQL* m) const { mysql_close(m); }
};
using MysqlPtr = std::unique_ptr<MYSQL, MysqlCloser>;

struct MysqlResultFree {
  void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};
using MysqlResultPtr = std::unique_ptr<MYSQL_RES, MysqlResultFree>;

// New connection or null with the reason in err (nothing printed).
MYSQL* db_connect(char* err, std::size_t err_size);
// db_connect, printing the reason through write_message on failure.
MYSQL* get_db_connection();
// Socket path from my.cnf or the well-known paths; null when none.
const char* find_mysql_socket();
int init_zc_mode();
void check_run_mode();

// The value escaped for use between single or double quotes in a statement
// sent on this connection (mysql_real_escape_string).
std::string db_escape(MYSQL* conn, std::string_view value);

// Whether the last failure on conn means that the server went away or cannot
// be reached (restarted, stopped, connection cut), not that it refused a
// statement.
bool db_server_gone(MYSQL* conn);
// Connects conn again to the same server with the same login, in place: the
// handle stays the one its holders have. One try; false when the server does
// not answer (mysql_error(conn) tells why).
bool db_reconnect(MYSQL* conn);
// How long a statement keeps trying once the server has gone away:
// HVX_DB_RECONNECT_TIMEOUT seconds (a whole number, 0 = no new try), 10 by
// default.
std::chrono::milliseconds db_reconnect_timeout();
// mysql_real_query; when the server has gone away, conn is connected again
// and the statement sent again, with pauses growing from 0.25 s to 1 s, until
// it goes through or db_reconnect_timeout() has passed. Only for statements
// that may be repeated (reads, writes of a fixed value). 0, or non-zero with
// the last failure in mysql_error(conn).
int db_query_reconnecting(MYSQL* conn, std::string_view statement);
