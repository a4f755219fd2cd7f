// FTP repository: listings, rotation of dump series, a dump's remote files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ftp_connection.h"

// What ftp_list_handler collects: the listed names that begin with filter.
// A line may arrive split over several chunks; its beginning waits in
// pending until the rest comes.
struct FtpListing {
  std::string filter;
  std::vector<std::string> names;  // in the order the server listed them
  std::string pending;
};

// libcurl write function of a listing; list is an FtpListing*.
std::size_t ftp_list_handler(char* data, std::size_t size, std::size_t count, void* list);
// Takes a last line that the listing did not end with a line feed.
void ftp_list_finish(FtpListing& listing);
// libcurl write function that throws away what the server sends.
std::size_t ftp_discard_handler(char* data, std::size_t size, std::size_t count, void* unused);

// Whether a listing holds the names that begin with a dot, which some
// servers leave out unless asked.
enum class FtpHidden { left_out, listed };

// Names of the repository path that begin with filter; nullopt when the
// listing failed (reported, into error_text too when one is given). With
// FtpHidden::listed the names beginning with a dot are there too ("." and
// ".." never).
std::optional<std::vector<std::string>> ftp_list_names(const char* server, const char* login,
                                                       const char* password, const char* path,
                                                       const char* filter,
                                                       FtpHidden hidden = FtpHidden::left_out,
                                                       char* error_text = nullptr,
                                                       std::size_t error_size = 0);

// The names of series prefix that a rotation keeping the newest keep dumps
// deletes, newest first. Names outside the series are never among them, nor
// the files of the dump protect (the one just uploaded), which counts as one
// of those kept.
std::vector<std::string> ftp_rotation_victims(std::vector<std::string> names,
                                              const std::string& prefix, int keep,
                                              const std::string& protect = "");

// Deletes the dumps of series prefix beyond the newest keep from the
// repository path (never those of protect). 0, or -1 after reporting.
int ftp_rotate_dumps(const char* server, const char* login, const char* password, const char* path,
                     const char* prefix, int keep, const char* protect = nullptr);
// Bare names of the dump's files on the server in dump order; nullopt when
// the listing failed (reported, into error_text too when one is given) or
// nothing matched (not reported).
std::optional<std::vector<std::string>> ftp_get_dump_files(const char* server, const char* login,
                                                           const char* password, const char* path,
                                                           const char* dump_name,
                                                           char* error_text = nullptr,
                                                           std::size_t error_size = 0);
// Whether a file to delete that is not there fails the deletion.
enum class FtpMissing { fails, allowed };
// Deletes the named files from the repository path; 0 on success. use says
// which limits bound the deletion (a clean-up's are shorter).
int ftp_delete_files(const char* server, const char* login, const char* password, const char* path,
                     const std::vector<std::string>& names, FtpMissing missing = FtpMissing::fails,
                     FtpUse use = FtpUse::command);
// Renames files of the repository path (RNFR/RNTO, or an SFTP rename), in
// the order given, stopping at the first one refused; 0 on success, -1 when
// one was refused, -2 when the server did not answer (a rename sent may
// still be carried out later, by a server session that outlives our
// connection). No target may exist: an SFTP server refuses to replace a
// file, an FTP server may refuse or replace it.
int ftp_rename_files(const char* server, const char* login, const char* password, const char* path,
                     const std::vector<std::pair<std::string, std::string>>& renames);
// Size of a file of the repository path (SIZE, or stat on SFTP); nullopt
// after reporting. With FtpMissing::allowed a size that cannot be learnt
// (a file that is not there) is not reported.
std::optional<std::uint64_t> ftp_file_size(const char* server, const char* login,
                                           const char* password, const char* path,
                                           const std::string& name,
                                           FtpMissing missing = FtpMissing::fails);
// Proves that the repository path takes new files: a small probe file is
// written, looked for in the listing and deleted. 0, or -1 after reporting.
int ftp_write_test(const char* server, const char* login, const char* password, const char* path);
