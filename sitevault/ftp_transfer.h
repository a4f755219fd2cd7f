// FTP uploads (streamed from hvxdump, split into parts) and downloads.
#pragma once

#include <cstddef>
#include <cstdint>

int ftp_upload_dump(const char* server, const char* login, const char* password,
                    const char* path, const char* dump_name, const char* arguments,
                    char* error_text, std::size_t error_size, std::uint64_t split_size);
int ftp_download_file(const char* server, const char* login, const char* password,
                      const char* path, const char* remote_name, const char* local_path,
                      char* error_text, std::size_t error_size);
