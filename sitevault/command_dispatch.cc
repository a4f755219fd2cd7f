#include "sitevault/command_dispatch.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/messages.h"
#include "common/stop_signals.h"
#include "sitevault/command_line.h"
#include "sitevault/domain_lock.h"
#include "sitevault/domain_operations.h"
#include "sitevault/dump_check.h"
#include "sitevault/dump_files.h"
#include "sitevault/dump_inventory.h"
#include "sitevault/dump_utilities.h"
#include "sitevault/local_rotation.h"
#include "sitevault/remote/remote_store.h"
#include "sitevault/repository_dir.h"
#include "sitevault/run_report.h"
#include "sitevault/server_keys.h"
#include "sitevault/signing.h"

namespace {

// Ends the run with status, or with 128 + the signal when a termination
// request stopped the operation.
[[noreturn]] void finish(int status) {
  exit_if_stopped();
  util_exit(status);
}

// The rotation's rules: --max-dump-files and the calendar rules.
RetentionRules retention_rules(const CommandOptions& o) {
  RetentionRules rules = o.retention;
  rules.last = o.max_dump_files;
  return rules;
}

[[noreturn]] void check_dump(const CommandOptions& o) {
  int result = check_local_dump(o.dump_dir, o.dump_file);
  if (result < 0) finish(1);
  if (result == 0 && run_dumpctl("--check-dump", o.dump_file.c_str()) != 0) result = 1;
  if (result != 0) run_report_failed();
  std::printf("%d\n", result);
  std::fflush(stdout);
  finish(0);
}

[[noreturn]] void backup(const CommandOptions& o) {
  int result = backup_domain(o.domain_name.c_str(), o.dump_file.c_str(), o.desc_file.c_str(),
                             o.email_from.c_str(), o.email_to.c_str(), o.split_size, o.verbose);
  if (result != 0 || !o.rotate_requested) finish(result != 0 ? 1 : 0);
  const std::string& prefix = o.dump_file_prefix;
  const auto slash = prefix.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : prefix.substr(0, slash);
  const std::string name = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
  rotate_dump_files(directory.c_str(), name.c_str(), retention_rules(o),
                    path_basename(o.dump_file).c_str(), o.verbose);
  finish(0);
}

// The remote location of --ftp-server and its companions, parsed once; an
// unknown scheme ends the run before any lock is taken or the domain is
// switched off, with the status the operation's failure gives.
RemoteLocation remote_location(const CommandOptions& o) {
  auto where = parse_remote_location(o.ftp_server, o.ftp_path, o.ftp_login, o.ftp_password);
  if (!where) finish(1);
  return std::move(*where);
}

// Room left in a dump's last file for the signature lines after its data.
constexpr std::uint64_t kSignatureRoom = std::uint64_t{1} << 20;

// The split size of an upload to where: a store that takes files of at most
// some size gets dumps split below it when no split size was asked, and a
// larger one asked is refused before the domain is touched. Every file but
// the last holds exactly the split size; the last may hold the signature
// lines beyond it, so the split leaves them room.
std::uint64_t remote_split_size(const RemoteLocation& where, std::uint64_t asked) {
  const std::unique_ptr<RemoteStore> store = open_remote_store(where);
  if (!store) finish(1);
  const std::uint64_t largest_file = store->features().max_object;
  if (largest_file == 0) return asked;
  const std::uint64_t largest_split = largest_file - kSignatureRoom;
  if (asked == 0) return largest_split;
  if (asked > largest_split) {
    errno = 0;
    report_error(
        "Command line options error: wrong option --split-size value: can't be more than %llu "
        "for a remote repository whose files hold at most %llu MiB: %llu\n",
        static_cast<unsigned long long>(largest_split >> 20),
        static_cast<unsigned long long>(largest_file >> 20),
        static_cast<unsigned long long>(asked >> 20));
    finish(1);
  }
  return asked;
}

[[noreturn]] void ftp_backup(const CommandOptions& o) {
  const RemoteLocation where = remote_location(o);
  const std::uint64_t split_size = remote_split_size(where, o.split_size);
  int result =
      ftp_backup_domain(o.domain_name.c_str(), o.dump_file.c_str(), o.desc_file.c_str(), where,
                        o.email_from.c_str(), o.email_to.c_str(), split_size, o.verbose);
  if (result != 0 || !o.rotate_requested) finish(result != 0 ? 1 : 0);
  ftp_rotate_dumps(where, o.dump_file_prefix.c_str(), retention_rules(o), o.dump_file.c_str(),
                   o.verbose);
  finish(0);
}

// Removal waits for no one: a dump that a backup or restore of the domain is
// working on is refused as the lock says.
[[noreturn]] void remove_one_dump(const CommandOptions& o) {
  if (check_server_wide_lock() != 0) finish(255);
  // A missing repository (or a link in its place) has no dump to remove and
  // no lock to take.
  const auto repository = RepositoryDir::open_domain(o.domain_name);
  if (!repository) {
    report_error("Unable to find files: unable to locate repository in specified path\n");
    finish(255);
  }
  LockedFile lock = take_domain_lock_file(o.domain_name.c_str());
  if (!lock) finish(255);
  const int result = remove_dump_at(*repository, o.dump_file.c_str());
  lock.reset();
  finish(result == 0 ? 0 : 255);
}

[[noreturn]] void remove_domain(const CommandOptions& o) {
  const char* domain = o.domain_name.c_str();
  if (check_server_wide_lock() != 0) finish(1);
  bool switched_on;
  {
    auto held = lock_domain(domain);
    if (!held) {
      report_error("Unable to lock domain %s\n", domain);
      finish(1);
    }
    switched_on = held->switch_on();
  }  // the locks go before the repository does
  const bool removed = remove_domain_repository(domain) == 0;
  finish(switched_on && removed ? 0 : 1);
}

// --list-dumps reads and changes nothing but what it prints: no lock is
// taken, and a half-done commit on a remote repository is not recovered
// (its staging files are simply not listed).
[[noreturn]] void list_dumps(const CommandOptions& o) {
  std::optional<std::vector<DumpEntry>> entries;
  if (!o.ftp_server.empty()) {
    const RemoteLocation where = remote_location(o);
    if (const std::unique_ptr<RemoteStore> store = open_remote_store(where))
      entries = remote_inventory(*store);
  } else if (const auto repository = RepositoryDir::open_domain(o.domain_name)) {
    entries = local_inventory(*repository);
  } else {
    report_error("Unable to find files: unable to locate repository in specified path\n");
  }
  if (!entries) finish(1);
  const std::string text = o.json ? inventory_json(*entries) : inventory_lines(*entries);
  std::fwrite(text.data(), 1, text.size(), stdout);
  finish(std::fflush(stdout) == 0 ? 0 : 1);
}

// --check-ftp-dump, like --check-dump, only reads: it takes no lock, and
// prints the verdict only when the whole dump could be read.
[[noreturn]] void check_ftp_dump(const CommandOptions& o) {
  const RemoteLocation where = remote_location(o);
  const std::unique_ptr<RemoteStore> store = open_remote_store(where);
  const int result = store ? check_remote_dump(*store, o.dump_file) : -1;
  if (result < 0) finish(1);
  if (result != 0) run_report_failed();
  std::printf("%d\n", result);
  std::fflush(stdout);
  finish(0);
}

[[noreturn]] void gen_keys() {
  if (check_server_keys() == 1) {
    errno = 0;
    report_error("Server's keys pair already exists\n");
    finish(1);
  }
  finish(gen_server_keys() == 1 ? 1 : 0);
}

}  // namespace

void dispatch_command(const CommandOptions& o) {
  run_report_dispatched(o);
  // A request that came while the start was being reported: nothing done.
  exit_if_stopped();
  switch (o.command) {
    case cmd_check_dump:
      check_dump(o);
    case cmd_backup:
      backup(o);
    case cmd_ftp_backup:
      ftp_backup(o);
    case cmd_restore:
      finish(restore_domain(o.client_login.c_str(), o.domain_name.c_str(), o.domain_ip.c_str(),
                            o.dump_file.c_str(), o.email_from.c_str(), o.email_to.c_str(),
                            o.verbose) != 0
                 ? 1
                 : 0);
    case cmd_remove_dump:
      remove_one_dump(o);
    case cmd_remove_domain:
      remove_domain(o);
    case cmd_gen_server_keys:
      gen_keys();
    case cmd_ftp_download:
      finish(ftp_download_dump(o.domain_name.c_str(), o.dump_file.c_str(), remote_location(o),
                               o.email_from.c_str(), o.email_to.c_str()) != 0
                 ? 1
                 : 0);
    case cmd_list_dumps:
      list_dumps(o);
    case cmd_check_ftp_dump:
      check_ftp_dump(o);
    default:
      report_error("Unknown command\n");
      finish(1);
  }
}
