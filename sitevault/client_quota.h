// Client disk quota check before a local backup.
#pragma once

#include <mysql.h>

#include <cstdint>

int check_client_quota(const char* domain);
unsigned long get_domain_owner(const char* domain, MYSQL* conn);
// UINT64_MAX when the client has no such limit; 0 on failure.
std::uint64_t get_client_limit(unsigned long client_id, const char* limit_name, MYSQL* conn);
// -1 on failure.
std::int64_t get_client_disk_usage(unsigned long client_id, MYSQL* conn);
std::int64_t get_client_dumps_size(unsigned long client_id, MYSQL* conn);
