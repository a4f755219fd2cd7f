// Fixed queries on the system database and the parameter store writers.
// Text results live in per-operation process-wide buffers (empty text = not
// found, null = failure); a null connection makes an operation open and close
// its own where the operation allows it.
#pragma once

#include <mysql.h>

// 1 when the text is null or holds none of backslash, double and single quote.
int is_sql_safe(const char* text);

const char* get_param_by_query(const char* statement, MYSQL* conn);
const char* get_param(const char* key_value, const char* table, const char* key_column,
                      const char* value_column, MYSQL* conn);
const char* get_misc_param(const char* name, MYSQL* conn);
const char* get_domain_htype(const char* dom_id, MYSQL* conn);
const char* get_ip_address(const char* dom_id, MYSQL* conn);
const char* get_dom_param(const char* dom_id, const char* name, MYSQL* conn);
const char* get_domain_parameter(const char* dom_id, const char* name, MYSQL* conn);
const char* get_domain_service_parameter(const char* dom_id, const char* service_type,
                                         const char* name, MYSQL* conn);
const char* get_domain_limit(const char* dom_id, const char* limit_name, MYSQL* conn);
// 0 ok; -1 query failed; -2 no such domain; -3 value not unsigned decimal.
// A server that has gone away (restarted) is connected to again in place and
// asked again, within db_reconnect_timeout(); so is update_domain_status.
int get_domain_status(const char* dom_id, unsigned* status, MYSQL* conn);
int has_www_prefix(const char* dom_id, MYSQL* conn);
int get_anon_ftp_status(const char* dom_id, MYSQL* conn);
int get_frontpage_status(const char* domain_name, int ssl, MYSQL* conn);
const char* get_client_email(const char* dom_id, MYSQL* conn);
// Null after reporting when the name cannot be converted, the domain is not
// found or the query fails.
const char* get_dom_id(const char* domain_name, MYSQL* conn);
const char* get_domain_name(const char* domain_name);
long get_next_id(const char* table, MYSQL* conn);

int update_domain_status(const char* dom_id, unsigned status, MYSQL* conn);
int delete_domain_parameter(const char* params_id, const char* name, const char* value,
                            MYSQL* conn);
int delete_dom_param(const char* dom_id, const char* name, MYSQL* conn);
int delete_misc_param(const char* name, MYSQL* conn);
int put_domain_parameter(const char* params_id, const char* name, const char* value, MYSQL* conn);
int put_dom_param(const char* dom_id, const char* name, const char* value, MYSQL* conn);
int put_misc_param(const char* name, const char* value, MYSQL* conn);

// Runs a statement built by the caller; refuses (as a failed query, -1) a
// statement longer than the 4095-character statement limit. 0 on success.
int run_statement(MYSQL* conn, const char* statement);
// Why the last failed run_statement on this connection failed: the refusal of
// an over-long statement, or else the client library's error text.
const char* statement_error(MYSQL* conn);
