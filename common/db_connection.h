// Connection to the panel's system database.
#pragma once

#include <mysql.h>

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
