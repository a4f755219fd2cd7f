// The domain operations that the command dispatch calls.
#pragma once

#include <cstdint>

int backup_domain(const char* domain, const char* dump_file, const char* desc_file,
                  const char* email_from, const char* email_to, std::uint64_t split_size);
int restore_domain(const char* client_login, const char* domain, const char* domain_ip,
                   const char* dump_file, const char* email_from, const char* email_to);
int ftp_backup_domain(const char* domain, const char* dump_file, const char* desc_file,
                      const char* server, const char* path, const char* login, const char* password,
                      const char* email_from, const char* email_to, std::uint64_t split_size);
int ftp_download_dump(const char* domain, const char* dump_file, const char* server,
                      const char* login, const char* password, const char* path,
                      const char* email_from, const char* email_to);
