// FTP uploads (streamed from hvxdump, split into parts) and downloads on
// every transport of ftp_connection.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "dump_files.h"
#include "ftp_connection.h"

// Runs hvxdump with arguments and uploads its stream, signed and split into
// parts of split_size bytes, as dump_name in the repository path (staged,
// checked, renamed into place). 0, or -1 with the reason in error_text.
int ftp_upload_dump(const char* server, const char* login, const char* password, const char* path,
                    const char* dump_name, const char* arguments, char* error_text,
                    std::size_t error_size, std::uint64_t split_size);
// The same with the writer's standard error on error_fd (-1: inherited).
int ftp_upload_dump(const char* server, const char* login, const char* password, const char* path,
                    const char* dump_name, const char* arguments, char* error_text,
                    std::size_t error_size, std::uint64_t split_size, int error_fd);
// Fetches remote_name of the repository path into local_path (a regular
// file, never reached through a link). 0, or -1 with the reason in
// error_text.
int ftp_download_file(const char* server, const char* login, const char* password, const char* path,
                      const char* remote_name, const char* local_path, char* error_text,
                      std::size_t error_size);
// The same, every byte written also handed to digest (null: none).
int ftp_download_file(const char* server, const char* login, const char* password, const char* path,
                      const char* remote_name, const char* local_path, char* error_text,
                      std::size_t error_size, ArrivingDigest* digest);

// Writes data as the file name of the repository path (the write test's
// probe). 0, or -1 after reporting.
int ftp_upload_text(const char* server, const char* login, const char* password, const char* path,
                    const char* name, std::string_view data);
// The content of the file name of the repository path (a commit record),
// refused beyond max_bytes. nullopt after reporting.
std::optional<std::string> ftp_download_text(const char* server, const char* login,
                                             const char* password, const char* path,
                                             const char* name, std::size_t max_bytes);
