// FTP uploads (streamed from hvxdump, split into parts) and downloads, and the
// libcurl plumbing that the repository listing shares with them.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ftp_connection.h"

int ftp_upload_dump(const char* server, const char* login, const char* password, const char* path,
                    const char* dump_name, const char* arguments, char* error_text,
                    std::size_t error_size, std::uint64_t split_size);
int ftp_download_file(const char* server, const char* login, const char* password, const char* path,
                      const char* remote_name, const char* local_path, char* error_text,
                      std::size_t error_size);

// Each '/'-separated segment of path percent-escaped, the slashes kept, so
// that blanks, '#', '?' and '%' in names reach the server unchanged.
std::string ftp_escape_path(std::string_view path);
// "ftp://server/path/name" with path and name escaped; with name null the
// directory URL "ftp://server/path/".
std::string ftp_url(const char* server, const char* path, const char* name);

// Reports a failure through print_error (exit code 0) and copies the same
// text into the caller's buffer when one is given.
void ftp_report(char* error_text, std::size_t error_size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
