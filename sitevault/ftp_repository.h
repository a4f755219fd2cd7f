// FTP repository: listings, rotation of dump series, a dump's remote files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

std::size_t ftp_list_handler(char* data, std::size_t size, std::size_t count, void* list);
std::size_t ftp_discard_handler(char* data, std::size_t size, std::size_t count, void* unused);
int ftp_rotate_dumps(const char* server, const char* login, const char* password,
                     const char* path, const char* prefix, int keep);
// Bare names of the dump's files on the server in dump order; nullopt when
// the listing failed or nothing matched.
std::optional<std::vector<std::string>> ftp_get_dump_files(const char* server,
                                                          const char* login,
                                                          const char* password,
                                                          const char* path,
                                                          const char* dump_name);
// Deletes the named files from the repository path; 0 on success.
int ftp_delete_files(const char* server, const char* login, const char* password,
                     const char* path, const std::vector<std::string>& names);
