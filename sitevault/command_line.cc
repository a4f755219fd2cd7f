#include "sitevault/command_line.h"

#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "common/messages.h"
#include "common/product_conf.h"
#include "sitevault/dump_files.h"
#include "sitevault/dump_staging.h"
#include "sitevault/dump_utilities.h"
#include "sitevault/repository_dir.h"
#include "sitevault/usage_text.h"

namespace {

constexpr const char* kOptionsError = "Command line options error";
constexpr const char* kNeedDomain = "%s: --domain-name argument is required\n";
constexpr const char* kNeedDump = "%s: --dump-file argument is required\n";
constexpr const char* kNeedPrefix =
    "%s: --dump-file-prefix option is required for --rotate-dump-files option\n";
constexpr const char* kNeedMax =
    "%s: --max-dump-files option is required for --rotate-dump-files option\n";
constexpr const char* kNeedDesc = "%s: --desc-file argument is required\n";
constexpr const char* kNeedServer = "%s: --ftp-server argument is required\n";
constexpr const char* kNeedPath = "%s: --ftp-path argument is required\n";
constexpr const char* kOnlyName = "%s: --dump-file argument should be filename only not a path\n";
constexpr std::size_t kPathLimit = 4095;  // longest path or command value kept

// Long option ids beyond the command numbers.
enum OptionId {
  opt_help = 1000,
  opt_domain_name,
  opt_domain_ip,
  opt_email_from,
  opt_email_to,
  opt_dump_file,
  opt_desc_file,
  opt_ftp_server,
  opt_ftp_path,
  opt_ftp_login,
  opt_ftp_password,
  opt_max_dump_files,
  opt_client_login,
  opt_rotate_dump_files,
  opt_dump_file_prefix,
  opt_verbose,
  opt_split_size,
  // Retention and inventory options.
  opt_keep_daily,
  opt_keep_weekly,
  opt_keep_monthly,
  opt_keep_yearly,
  opt_keep_within,
  opt_json,
};

const option long_options[] = {
    {"bu-test", no_argument, nullptr, cmd_bu_test},
    {"check-dump", no_argument, nullptr, cmd_check_dump},
    {"get-dump-ctime", no_argument, nullptr, cmd_get_dump_ctime},
    {"get-dump-info", no_argument, nullptr, cmd_get_dump_info},
    {"get-dump-desc", no_argument, nullptr, cmd_get_dump_desc},
    {"backup", no_argument, nullptr, cmd_backup},
    {"ftp-backup", no_argument, nullptr, cmd_ftp_backup},
    {"restore", no_argument, nullptr, cmd_restore},
    {"remove-dump", no_argument, nullptr, cmd_remove_dump},
    {"remove-domain", no_argument, nullptr, cmd_remove_domain},
    {"get-domain-name", no_argument, nullptr, cmd_get_domain_name},
    {"gen-server-keys", no_argument, nullptr, cmd_gen_server_keys},
    {"ftp-download", no_argument, nullptr, cmd_ftp_download},
    {"help", no_argument, nullptr, opt_help},
    {"domain-name", required_argument, nullptr, opt_domain_name},
    {"domain-ip", required_argument, nullptr, opt_domain_ip},
    {"email-from", required_argument, nullptr, opt_email_from},
    {"email-to", required_argument, nullptr, opt_email_to},
    {"dump-file", required_argument, nullptr, opt_dump_file},
    {"desc-file", required_argument, nullptr, opt_desc_file},
    {"ftp-server", required_argument, nullptr, opt_ftp_server},
    {"ftp-path", required_argument, nullptr, opt_ftp_path},
    {"ftp-login", required_argument, nullptr, opt_ftp_login},
    {"ftp-password", required_argument, nullptr, opt_ftp_password},
    {"max-dump-files", required_argument, nullptr, opt_max_dump_files},
    {"client-login", required_argument, nullptr, opt_client_login},
    {"rotate-dump-files", no_argument, nullptr, opt_rotate_dump_files},
    {"dump-file-prefix", required_argument, nullptr, opt_dump_file_prefix},
    {"verbose", no_argument, nullptr, opt_verbose},
    {"split-size", required_argument, nullptr, opt_split_size},
    // Retention and inventory.
    {"list-dumps", no_argument, nullptr, cmd_list_dumps},
    {"check-ftp-dump", no_argument, nullptr, cmd_check_ftp_dump},
    {"keep-daily", required_argument, nullptr, opt_keep_daily},
    {"keep-weekly", required_argument, nullptr, opt_keep_weekly},
    {"keep-monthly", required_argument, nullptr, opt_keep_monthly},
    {"keep-yearly", required_argument, nullptr, opt_keep_yearly},
    {"keep-within", required_argument, nullptr, opt_keep_within},
    {"json", no_argument, nullptr, opt_json},
    {nullptr, 0, nullptr, 0},
};

// Validation reports: the text "Command line options error" fills the
// format's first %s. errno is cleared first: a failed lookup made earlier
// must not append an unrelated system error to an option message.
void report(const char* format, const char* value = nullptr) {
  errno = 0;
  report_error(format, kOptionsError, value);
}

[[noreturn]] void fail_now(const char* format, const char* value = nullptr) {
  report(format, value);
  util_exit(1);
}

// Stores an option value, refusing (instead of cutting) one longer than the
// option allows.
bool store_value(std::string& field, const char* value, std::size_t limit, const char* name) {
  std::string text = value;
  if (text.size() > limit) {
    errno = 0;
    report_error("%s: --%s value is longer than %zu characters\n", kOptionsError, name, limit);
    return false;
  }
  field = std::move(text);
  return true;
}

// "%s/%s/%s" of DUMP_D, the domain and a bare name.
std::string complete_name(const CommandOptions& o, const std::string& name, bool& ok) {
  std::string path = std::string(product_conf.DUMP_D) + "/" + o.domain_name + "/" + name;
  if (path.size() > kPathLimit) {
    errno = 0;
    report_error("%s: the path of %s in the domain's repository is longer than %zu characters\n",
                 kOptionsError, name.c_str(), kPathLimit);
    ok = false;
  }
  return path;
}

// The series' name of this minute: "<prefix>_YYYY.MM.DD_HH.MM", local time.
std::string timestamped_name(const std::string& prefix) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[64];
  if (std::strftime(stamp, sizeof stamp, "_%Y.%m.%d_%H.%M", &tm) == 0) stamp[0] = '\0';
  return prefix + stamp;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// FTP credentials from the options or the environment.
void take_ftp_credentials(CommandOptions& o, bool& marked) {
  // A variable that is set is a value, even an empty one.
  if (o.ftp_login.empty()) {
    const char* env = std::getenv("FTP_LOGIN");
    if (env != nullptr) {
      if (!store_value(o.ftp_login, env, 255, "ftp-login (FTP_LOGIN)")) marked = true;
    } else {
      report("%s: --ftp-login argument or FTP_LOGIN enviroment variable is required\n");
      marked = true;
    }
  }
  if (o.ftp_password.empty()) {
    const char* env = std::getenv("FTP_PASSWORD");
    if (env != nullptr) {
      if (!store_value(o.ftp_password, env, 255, "ftp-password (FTP_PASSWORD)")) marked = true;
    } else {
      fail_now("%s: --ftp-password argument or FTP_PASSWORD enviroment variable is required\n");
    }
  }
}

// A dump of a domain's repository is read only when the repository is a
// directory of its own: the utility is never pointed through a link planted
// in its place.
[[noreturn]] void run_inspection(const char* option, const std::string& dump) {
  const std::string directory = path_dirname(dump);
  if (is_repository_directory(directory) && !RepositoryDir::open_directory(directory) &&
      errno != ENOENT) {
    report_error("Unable to find files: unable to locate repository in specified path\n");
    util_exit(1);
  }
  util_exit(run_dumpctl(option, dump.c_str()));
}

}  // namespace

bool is_bare_name(const std::string& name) { return !name.empty() && path_basename(name) == name; }

bool is_acceptable_domain_name(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c == '/' || c == '\\' || c == '\'' || c == '"' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

namespace {

// --- Option values ---------------------------------------------------------

void take_domain_name(CommandOptions& o, const char* value, bool& option_error) {
  if (!store_value(o.domain_name, value, 500, "domain-name")) {
    option_error = true;
  } else if (!is_acceptable_domain_name(o.domain_name)) {
    report("%s: --domain-name value is not a valid domain name: \"%s\"\n", value);
    o.domain_name.clear();
    option_error = true;
  } else {
    o.dump_dir = std::string(product_conf.DUMP_D) + "/" + o.domain_name;
  }
}

void take_dump_file(CommandOptions& o, const char* value, bool& option_error) {
  if (!store_value(o.dump_file, value, kPathLimit, "dump-file")) {
    option_error = true;
  } else if (path_basename(o.dump_file) != o.dump_file) {
    o.dump_dir = path_dirname(o.dump_file);
  }
}

// A value that does not convert leaves the stored number as it was, and that
// number is checked like any other.
void take_split_size(CommandOptions& o, const char* value) {
  int mebibytes = static_cast<int>(static_cast<std::uint32_t>(o.split_size >> 20));
  if (std::sscanf(value, "%d", &mebibytes) != 1)
    std::printf("Command line options error: wrong option --split-size value: %s\n", value);
  const auto stored = static_cast<std::uint32_t>(mebibytes);
  if (stored < 500)
    std::printf(
        "Command line options error: wrong option --split-size value: can't be less than "
        "500: %s\n",
        value);
  // Carried in 64 bits: sizes of 4 GiB and more do not wrap.
  o.split_size = static_cast<std::uint64_t>(stored) << 20;
}

// --- Retention options ------------------------------------------------------

// The retention options and the rule each sets.
struct RetentionOption {
  int id;
  int RetentionRules::*field;
  const char* name;
};
const RetentionOption retention_options[] = {
    {opt_keep_daily, &RetentionRules::daily, "keep-daily"},
    {opt_keep_weekly, &RetentionRules::weekly, "keep-weekly"},
    {opt_keep_monthly, &RetentionRules::monthly, "keep-monthly"},
    {opt_keep_yearly, &RetentionRules::yearly, "keep-yearly"},
    {opt_keep_within, &RetentionRules::within_days, "keep-within"},
};

// A retention count: decimal digits only, up to INT_MAX. Anything else (a
// sign, a fraction, trailing text, an overflow) is refused with the wording
// of the other numeric options, and the run ends with status 1.
bool take_retention_value(const RetentionOption& option, const char* value, CommandOptions& o) {
  long long number = 0;
  bool valid = *value != '\0';
  for (const char* c = value; valid && *c != '\0'; ++c) {
    valid = *c >= '0' && *c <= '9';
    number = number * 10 + (*c - '0');
    if (number > 2147483647LL) valid = false;
  }
  if (!valid) {
    std::printf("Command line options error: wrong option --%s value: %s\n", option.name, value);
    return false;
  }
  o.retention.*option.field = static_cast<int>(number);
  return true;
}

// The options whose value is kept as given, up to a length.
struct TextOption {
  int id;
  std::string CommandOptions::*field;
  std::size_t limit;
  const char* name;
};
const TextOption text_options[] = {
    {opt_domain_ip, &CommandOptions::domain_ip, 15, "domain-ip"},
    {opt_email_from, &CommandOptions::email_from, kPathLimit, "email-from"},
    {opt_email_to, &CommandOptions::email_to, kPathLimit, "email-to"},
    {opt_desc_file, &CommandOptions::desc_file, kPathLimit, "desc-file"},
    {opt_ftp_server, &CommandOptions::ftp_server, kPathLimit, "ftp-server"},
    {opt_ftp_path, &CommandOptions::ftp_path, kPathLimit, "ftp-path"},
    {opt_ftp_login, &CommandOptions::ftp_login, 255, "ftp-login"},
    {opt_ftp_password, &CommandOptions::ftp_password, 255, "ftp-password"},
    {opt_client_login, &CommandOptions::client_login, 500, "client-login"},
    {opt_dump_file_prefix, &CommandOptions::dump_file_prefix, kPathLimit, "dump-file-prefix"},
};

// Takes one option of the table; false when the value is refused (the run
// ends once every option has been read).
bool take_option(int opt, const char* value, CommandOptions& o) {
  for (const TextOption& text : text_options) {
    if (text.id == opt) return store_value(o.*text.field, value, text.limit, text.name);
  }
  for (const RetentionOption& option : retention_options) {
    if (option.id == opt) return take_retention_value(option, value, o);
  }
  bool option_error = false;
  switch (opt) {
    case cmd_bu_test:
    case cmd_check_dump:
    case cmd_get_dump_ctime:
    case cmd_get_dump_info:
    case cmd_get_dump_desc:
    case cmd_backup:
    case cmd_ftp_backup:
    case cmd_restore:
    case cmd_remove_dump:
    case cmd_remove_domain:
    case cmd_get_domain_name:
    case cmd_gen_server_keys:
    case cmd_ftp_download:
    case cmd_list_dumps:
    case cmd_check_ftp_dump:
      o.command = static_cast<Command>(opt);
      break;
    case opt_json:
      o.json = true;
      break;
    case opt_domain_name:
      take_domain_name(o, value, option_error);
      break;
    case opt_dump_file:
      take_dump_file(o, value, option_error);
      break;
    case opt_max_dump_files:
      o.max_dump_files_given = true;
      if (std::sscanf(value, "%d", &o.max_dump_files) != 1)
        std::printf("Command line options error: wrong option --max-dump-files value: %s\n", value);
      break;
    case opt_split_size:
      take_split_size(o, value);
      break;
    case opt_rotate_dump_files:
      o.rotate_requested = true;
      break;
    case opt_verbose:
      o.verbose = true;
      break;
    default:  // getopt_long has printed its complaint
      option_error = true;
      break;
  }
  return !option_error;
}

// Reads every option; ends the process for --help and after refused values.
void read_options(int argc, char** argv, CommandOptions& o) {
  bool option_error = false;
  int opt;
  while ((opt = getopt_long(argc, argv, "h", long_options, nullptr)) != -1) {
    if (opt == 'h' || opt == opt_help) {
      std::puts(usage_text);
      std::fputs(usage_text_retention, stdout);
      util_exit(0);
    }
    if (!take_option(opt, optarg, o)) option_error = true;
  }
  std::fflush(stdout);
  if (option_error) util_exit(1);
}

// The dump utilities must be installed; --bu-test answers whether they are
// and ends the process.
void check_installation(const CommandOptions& o) {
  const std::string bin = std::string(product_conf.PRODUCT_ROOT_D) + "/bin/";
  const bool installed = file_exists(bin + "hvxdump") && file_exists(bin + "hvxrestore");
  if (o.command == cmd_bu_test) {
    std::printf("%d\n", installed ? 0 : 1);
    std::fflush(stdout);
    util_exit(0);
  }
  if (!installed) {
    errno = 0;
    report_error("Error: backup utilities is not installed!\n");
    util_exit(1);
  }
}

// --- Per-command validation ------------------------------------------------

// The repository's own files (logs, lock file, description) and the staging
// names of dumps being written are never dump names: writing or removing a
// dump under one of them would destroy the file.
void refuse_repository_names(const CommandOptions& o) {
  const bool names_dump = o.command == cmd_backup || o.command == cmd_ftp_backup ||
                          o.command == cmd_restore || o.command == cmd_remove_dump ||
                          o.command == cmd_ftp_download;
  if (!names_dump) return;
  const std::string name = path_basename(o.dump_file);
  if (!o.dump_file.empty() && o.dump_file != "-" &&
      (is_reserved_dump_name(name) || is_staging_name(name)))
    fail_now("%s: --dump-file argument '%s' names a file of the dump repository, not a dump\n",
             name.c_str());
  if (o.rotate_requested && is_staging_name(path_basename(o.dump_file_prefix)))
    fail_now("%s: --dump-file-prefix argument '%s' is reserved for dumps being written\n",
             o.dump_file_prefix.c_str());
}

// A dump whose file names cannot exist would fail only at its commit, after
// the whole dump was written with the domain switched off: such a name is
// refused before anything is touched.
void refuse_overlong_dump_name(const CommandOptions& o) {
  const bool writes_dump =
      o.command == cmd_backup || o.command == cmd_ftp_backup || o.command == cmd_ftp_download;
  if (!writes_dump || o.dump_file.empty() || o.dump_file == "-") return;
  const std::string name = path_basename(o.dump_file);
  const std::string directory = path_basename(o.dump_file) == o.dump_file
                                    ? std::string(product_conf.DUMP_D)
                                    : path_dirname(o.dump_file);
  const bool split = o.split_size > 0 && o.command != cmd_ftp_download;
  if (name.size() > longest_dump_name(directory, split))
    fail_now(split ? "%s: --dump-file argument '%s' is too long: the names of its part files "
                     "would not fit a file name\n"
                   : "%s: --dump-file argument '%s' is too long for a file name\n",
             name.c_str());
}

// The checks of one command. marked: a requirement was reported unmet; ok
// false: a completed name was too long. The run ends when either is set.
struct Validation {
  CommandOptions& o;
  bool marked = false;
  bool ok = true;

  // Reports and marks the run when a requirement is not met.
  void require(bool met, const char* message) {
    if (!met) {
      report(message);
      marked = true;
    }
  }
  void require_bare_dump(const char* not_bare_message) {
    if (o.dump_file.empty())
      require(false, kNeedDump);
    else
      require(is_bare_name(o.dump_file), not_bare_message);
  }
  void complete_bare_dump() {
    if (is_bare_name(o.dump_file)) {
      if (o.domain_name.empty())
        fail_now(
            "%s: --dump-file should contains absolute path, in otherwise domain name argument is "
            "required\n");
      o.dump_file = complete_name(o, o.dump_file, ok);
    }
  }
  void complete_bare_desc() {
    if (is_bare_name(o.desc_file)) o.desc_file = complete_name(o, o.desc_file, ok);
  }
};

[[noreturn]] void run_dump_inspection(Validation& v) {
  CommandOptions& o = v.o;
  if (o.dump_file.empty()) {
    report(o.command == cmd_get_dump_info ? "%s: --dump-file argument is required\n"
                                          : "%s: --dump-file argument required\n");
    v.marked = true;
  }
  v.complete_bare_dump();
  if (v.marked || !v.ok) util_exit(1);
  const char* option = o.command == cmd_get_dump_ctime  ? "--creating-time"
                       : o.command == cmd_get_dump_desc ? "--description"
                                                        : "--info";
  run_inspection(option, o.dump_file);
}

[[noreturn]] void run_get_domain_name(Validation& v) {
  CommandOptions& o = v.o;
  if (o.dump_file.empty()) fail_now(kNeedDump);
  if (is_bare_name(o.dump_file)) {
    if (o.domain_name.empty())
      fail_now(
          "%s: --dump-file option contains only filename that's why --domain-name argument "
          "is required\n");
    o.dump_file = complete_name(o, o.dump_file, v.ok);
  }
  if (!v.ok) util_exit(1);
  run_inspection("--get-name", o.dump_file);
}

// A rotation needs --max-dump-files, unless a calendar rule says what it
// keeps. A --max-dump-files given beside the rules that did not convert to
// a count is refused as without them: ignoring it would delete dumps the
// count was meant to keep.
void require_rotation_rule(Validation& v) {
  const bool rules_suffice = v.o.retention.calendar() && !v.o.max_dump_files_given;
  v.require(v.o.max_dump_files >= 0 || rules_suffice, kNeedMax);
}

void validate_backup(Validation& v) {
  CommandOptions& o = v.o;
  v.require(!o.domain_name.empty(), kNeedDomain);
  if (o.rotate_requested) {
    if (o.dump_file_prefix.empty()) {
      v.require(false, kNeedPrefix);
    } else {
      // A bare prefix names a series in the domain's repository; a prefix
      // with a directory names a series in that directory. Either way the
      // dump gets the series' time-stamped name.
      if (is_bare_name(o.dump_file_prefix))
        o.dump_file_prefix = complete_name(o, o.dump_file_prefix, v.ok);
      o.dump_file = timestamped_name(o.dump_file_prefix);
      if (o.dump_file.size() > kPathLimit) {
        report("%s: --dump-file-prefix value is too long for a dump name\n");
        v.ok = false;
      }
    }
    require_rotation_rule(v);
  } else {
    if (o.dump_file.empty()) {
      v.require(false, kNeedDump);
    } else if (o.dump_file != "-" && is_bare_name(o.dump_file)) {
      o.dump_file = complete_name(o, o.dump_file, v.ok);
    }
  }
  if (o.desc_file.empty()) fail_now(kNeedDesc);
  if (v.marked || !v.ok) util_exit(1);
  v.complete_bare_desc();
}

void validate_ftp_backup(Validation& v) {
  CommandOptions& o = v.o;
  v.require(!o.domain_name.empty(), kNeedDomain);
  if (o.rotate_requested) {
    if (o.dump_file_prefix.empty()) {
      v.require(false, kNeedPrefix);
    } else if (!is_bare_name(o.dump_file_prefix)) {
      report(
          "%s: --dump-file-prefix argument must contains only file name prefix (without "
          "path)\n");
      v.marked = true;
    } else {
      o.dump_file = timestamped_name(o.dump_file_prefix);
    }
    require_rotation_rule(v);
  } else {
    v.require_bare_dump("%s: --dump-file argument must contains only file name (without path)\n");
  }
  v.require(!o.desc_file.empty(), kNeedDesc);
  v.require(!o.ftp_server.empty(), kNeedServer);
  v.require(!o.ftp_path.empty(), kNeedPath);
  take_ftp_credentials(o, v.marked);
  if (v.marked) util_exit(1);
  v.complete_bare_desc();
}

void validate_restore(Validation& v) {
  CommandOptions& o = v.o;
  v.require(!o.client_login.empty(), "%s: --client-login argument is required\n");
  v.require(!o.domain_name.empty(), kNeedDomain);
  v.require_bare_dump(kOnlyName);
  if (o.domain_ip.empty()) fail_now("%s: --domain-ip address argument is required\n");
}

void validate_remove_dump(Validation& v) {
  CommandOptions& o = v.o;
  v.require(!o.domain_name.empty(), kNeedDomain);
  if (o.dump_file.empty()) fail_now(kNeedDump);
  if (v.marked) util_exit(1);
  if (!is_bare_name(o.dump_file)) fail_now(kOnlyName);
}

void validate_ftp_download(Validation& v) {
  CommandOptions& o = v.o;
  v.require(!o.domain_name.empty(), kNeedDomain);
  v.require_bare_dump(kOnlyName);
  v.require(!o.ftp_server.empty(), kNeedServer);
  v.require(!o.ftp_path.empty(), kNeedPath);
  take_ftp_credentials(o, v.marked);
}

// --list-dumps: the domain's repository, or with --ftp-server or --ftp-path
// the remote one, whose credentials are taken as --ftp-download takes them.
void validate_list_dumps(Validation& v) {
  CommandOptions& o = v.o;
  v.require(!o.domain_name.empty(), kNeedDomain);
  if (!o.ftp_server.empty() || !o.ftp_path.empty()) {
    v.require(!o.ftp_server.empty(), kNeedServer);
    v.require(!o.ftp_path.empty(), kNeedPath);
    take_ftp_credentials(o, v.marked);
  }
}

// Retention rules mean nothing without a rotation: refused rather than
// silently ignored.
void refuse_rules_without_rotation(const CommandOptions& o) {
  if (o.retention.calendar() && !o.rotate_requested)
    fail_now(
        "%s: --keep-daily, --keep-weekly, --keep-monthly, --keep-yearly and --keep-within "
        "options require --rotate-dump-files option\n");
}

// Completes the names the command takes and checks that it has what it
// needs; ends the process when it does not, and for the inspection commands.
void validate_command(CommandOptions& o) {
  refuse_rules_without_rotation(o);
  refuse_repository_names(o);
  Validation v{o};
  switch (o.command) {
    case cmd_check_dump:
      v.require(!o.dump_file.empty(), kNeedDump);
      v.complete_bare_dump();
      break;
    case cmd_get_dump_ctime:
    case cmd_get_dump_desc:
    case cmd_get_dump_info:
      run_dump_inspection(v);
    case cmd_get_domain_name:
      run_get_domain_name(v);
    case cmd_backup:
      validate_backup(v);
      break;
    case cmd_ftp_backup:
      validate_ftp_backup(v);
      break;
    case cmd_restore:
      validate_restore(v);
      break;
    case cmd_remove_dump:
      validate_remove_dump(v);
      break;
    case cmd_remove_domain:
      if (o.domain_name.empty()) fail_now(kNeedDomain);
      break;
    case cmd_ftp_download:
    case cmd_check_ftp_dump:
      validate_ftp_download(v);
      break;
    case cmd_list_dumps:
      validate_list_dumps(v);
      break;
    default:
      break;
  }
  if (v.marked || !v.ok) util_exit(1);
  refuse_overlong_dump_name(o);
}

}  // namespace

void parse_command_line(int argc, char** argv, CommandOptions& o) {
  read_options(argc, argv, o);
  umask(022);
  check_installation(o);
  validate_command(o);
}

// --- The run's command before its options are checked ---

namespace {

// Whether getopt_long's answer is one of the command options.
bool is_command_option(int opt) {
  for (const option& entry : long_options) {
    if (entry.name != nullptr && entry.val == opt && opt < opt_help) return true;
  }
  return false;
}

}  // namespace

CommandPreview preview_command_line(int argc, char** argv) {
  CommandPreview preview;
  // getopt_long reorders what it is given: it reads a copy of the vector.
  std::vector<char*> arguments(argv, argv + argc);
  arguments.push_back(nullptr);
  const int saved_opterr = opterr;
  opterr = 0;
  optind = 0;
  int opt;
  while ((opt = getopt_long(argc, arguments.data(), "h", long_options, nullptr)) != -1) {
    if (is_command_option(opt)) {
      preview.command = static_cast<Command>(opt);
    } else if (opt == opt_domain_name && optarg != nullptr) {
      preview.domain_name = optarg;
      preview.domain_given = true;
    }
  }
  opterr = saved_opterr;
  optind = 0;  // the next getopt_long starts afresh
  return preview;
}
