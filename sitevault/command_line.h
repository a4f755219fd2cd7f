// The command line of sitevault: options, validation and completion of
// dump names, and the commands carried out right there (installation test
// and the dump inspection commands).
#pragma once

#include <cstdint>
#include <string>

#include "common/path_names.h"  // path_basename, path_dirname
#include "sitevault/retention.h"

// Command numbers of the command options.
enum Command {
  cmd_bu_test = 0,
  cmd_check_dump = 1,
  cmd_get_dump_ctime = 2,
  cmd_get_dump_info = 3,
  cmd_get_dump_desc = 4,
  cmd_backup = 5,
  cmd_ftp_backup = 6,
  cmd_restore = 7,
  cmd_remove_dump = 8,
  cmd_remove_domain = 9,
  cmd_get_domain_name = 10,
  cmd_gen_server_keys = 11,
  cmd_ftp_download = 12,
  // Inventory of a repository's dumps and the check of a remote dump.
  cmd_list_dumps = 13,
  cmd_check_ftp_dump = 14,
};

struct CommandOptions {
  std::string domain_name;
  std::string domain_ip;
  std::string email_from;
  std::string email_to;
  std::string dump_file;
  std::string desc_file;
  std::string ftp_server;
  std::string ftp_path;
  std::string ftp_login;
  std::string ftp_password;
  std::string client_login;
  std::string dump_file_prefix;
  int max_dump_files = -1;
  std::uint64_t split_size = 0;   // bytes per dump file, 0: no splitting
  Command command = cmd_bu_test;  // the last command option given
  bool verbose = false;           // --verbose: the operation stays in the foreground
  bool rotate_requested = false;  // --rotate-dump-files
  // Calendar retention of the rotation (--keep-daily ... --keep-within);
  // its last rule is --max-dump-files, filled in when the rotation runs.
  RetentionRules retention;
  bool max_dump_files_given = false;  // --max-dump-files was on the line
  bool json = false;                  // --json: --list-dumps prints one JSON array
  // The directory of the dump the run works on: DUMP_D/<domain>, or the
  // directory a --dump-file path names.
  std::string dump_dir;
};

// Parses and validates argv. Ends the process itself for usage, option
// errors, the installation test and the inspection commands; returns for
// the commands that the dispatch carries out.
void parse_command_line(int argc, char** argv, CommandOptions& options);

// A bare name: not empty and equal to its own basename.
bool is_bare_name(const std::string& name);
// Whether a domain name may be used in paths, commands and statements.
bool is_acceptable_domain_name(const std::string& name);

// --- The run's command before its options are checked ---
// The last command option and the last --domain-name value of argv, read by
// the same option table without a word on errors and without changing what
// parse_command_line reads next: what the run's record names even when the
// configuration or an option ends the run.
struct CommandPreview {
  Command command = cmd_bu_test;
  std::string domain_name;
  bool domain_given = false;
};
CommandPreview preview_command_line(int argc, char** argv);
