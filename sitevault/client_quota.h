// Client disk quota check before a local backup.
#pragma once

#include <mysql.h>

#include <cstdint>

// Refuses a backup whose owner's usage plus stored dumps reach the owner's
// disk_space limit: 0 when it may go on, -1 after reporting.
int check_client_quota(const char* domain);
// The id of the client who owns the domain; 0 after reporting.
unsigned long get_domain_owner(const char* domain, MYSQL* conn);
// UINT64_MAX when the client has no such limit; 0 on failure.
std::uint64_t get_client_limit(unsigned long client_id, const char* limit_name, MYSQL* conn);
// The client's disk usage in bytes as the panel records it; -1 on failure.
std::int64_t get_client_disk_usage(unsigned long client_id, MYSQL* conn);
// Bytes taken by the repositories of the client's domains; -1 on failure.
std::int64_t get_client_dumps_size(unsigned long client_id, MYSQL* conn);
