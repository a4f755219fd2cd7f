#include "sitevault/run_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "common/fd_io.h"
#include "common/messages.h"
#include "common/path_names.h"
#include "common/product_conf.h"
#include "common/stop_signals.h"
#include "common/text_format.h"
#include "common/unique_fd.h"
#include "sitevault/monitor_ping.h"
#include "sitevault/progress_line.h"
#include "sitevault/repository_dir.h"
#include "sitevault/status_record.h"

namespace {

struct CommandName {
  Command command;
  const char* name;
};
// The commands that leave a record, by the name of their option.
constexpr CommandName kRecordedCommands[] = {
    {cmd_check_dump, "check-dump"},         {cmd_backup, "backup"},
    {cmd_ftp_backup, "ftp-backup"},         {cmd_restore, "restore"},
    {cmd_remove_dump, "remove-dump"},       {cmd_remove_domain, "remove-domain"},
    {cmd_ftp_download, "ftp-download"},     {cmd_list_dumps, "list-dumps"},
    {cmd_check_ftp_dump, "check-ftp-dump"},
};

struct RunState {
  bool recorded = false;  // an end is to be written
  pid_t pid = 0;          // the process that writes it
  std::string command;
  std::optional<std::string> domain;
  std::optional<std::string> dump;
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  std::optional<std::string> first_message;
  std::chrono::system_clock::time_point started;
  std::string status_path;
  std::string notify_url;
  bool notify_suffixes = false;
  bool status_failure_reported = false;
  bool answer_failed = false;  // the run's answer is a failure whatever its status
};

// Never destroyed: the exit handler runs after the destructors of objects
// made later, and must find the state whole.
RunState& state() {
  static RunState* run = new RunState;
  return *run;
}

const char* env_text(const char* name) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? text : nullptr;
}

std::string shown_program() {
  return program_name != nullptr && *program_name != '\0' ? path_basename(program_name) : "";
}

// A problem of the record or the ping: on standard error only (standard
// output carries what the panel reads), never taken for the run's failure.
void tell(const std::string& text) {
  progress_erase();
  const std::string prefix = shown_program();
  write_error_text(((prefix.empty() ? "" : prefix + ": ") + text + "\n").c_str());
}

// The domain's name when it can name its repository, else "".
std::string usable_domain() {
  const RunState& run = state();
  return run.domain && is_acceptable_domain_name(*run.domain) ? *run.domain : "";
}

// A line in the domain's log (backup_restore.log), where a detached run's
// problems are read; the repository and the log are never reached through
// a link.
void log_line(const std::string& text) {
  const std::string domain = usable_domain();
  if (domain.empty() || product_conf.DUMP_D == nullptr) return;
  const auto repository = RepositoryDir::open_domain(domain);
  if (!repository) return;
  const UniqueFd fd(::openat(repository->fd(), "backup_restore.log",
                             O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                             0644));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &tm) == 0) stamp[0] = '\0';
  (void)write_all(fd.get(), stamp + text + "\n");
}

void on_message(const char* text) {
  progress_erase();
  RunState& run = state();
  if (run.first_message || text == nullptr) return;
  std::string message = text;
  while (!message.empty() && message.back() == '\n') message.pop_back();
  run.first_message = std::move(message);
}

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

StatusRecord make_record(const char* event) {
  const RunState& run = state();
  StatusRecord record;
  record.event = event;
  record.command = run.command;
  record.domain = run.domain;
  record.dump = run.dump;
  record.files = run.files;
  record.bytes = run.bytes;
  record.started = run.started;
  record.pid = ::getpid();
  record.host = host_name();
  record.version = HVX_VERSION;
  return record;
}

// Writes the record and pings the monitor for its event.
void publish(const StatusRecord& record) {
  RunState& run = state();
  const std::string json = status_record_json(record);
  if (!run.status_path.empty()) {
    const std::string path = expand_status_path(run.status_path, usable_domain(), run.command);
    const std::string problem = replace_status_file(path, json);
    if (!problem.empty() && !run.status_failure_reported) {
      run.status_failure_reported = true;
      tell("Status record not written: " + problem);
    }
  }
  if (!run.notify_url.empty()) {
    const std::string url = monitor_url_for(run.notify_url, run.notify_suffixes, record.event);
    const std::string problem = post_to_monitor(url, json, record.event == "start");
    if (!problem.empty()) {
      tell(problem);
      log_line(problem);
    }
  }
}

std::string signal_name(int sig) {
  switch (sig) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(sig);
  }
}

extern "C" void write_end_of_run() {
  RunState& run = state();
  if (::getpid() != run.pid) return;
  progress_erase();
  disable_progress_line();
  if (!run.recorded) return;
  run.recorded = false;
  set_message_observer(nullptr);
  const int status = ending_status();
  const bool failed = status != 0 || run.answer_failed;
  StatusRecord record = make_record(failed ? "failure" : "success");
  record.exit_status = status;
  record.finished = std::chrono::system_clock::now();
  const int sig = stop_signal();
  if (status != 0 && sig != 0 && status == 128 + sig)
    record.error = "Stopped by " + signal_name(sig);
  else if (failed)
    record.error = run.first_message;
  // Whatever the record or the ping go through, the run's status stays.
  const int saved_errno = errno;
  publish(record);
  errno = saved_errno;
}

// The last value of --domain-name and the last command option, read as
// the parser reads them.
void take_arguments(int argc, char** argv, RunState& run) {
  const CommandPreview preview = preview_command_line(argc, argv);
  run.command.clear();
  if (const char* name = recorded_command_name(preview.command)) run.command = name;
  if (preview.domain_given) run.domain = preview.domain_name;
}

}  // namespace

const char* recorded_command_name(Command command) {
  for (const CommandName& entry : kRecordedCommands) {
    if (entry.command == command) return entry.name;
  }
  return nullptr;
}

void begin_run_report(int argc, char** argv) {
  RunState& run = state();
  run.started = std::chrono::system_clock::now();
  run.pid = ::getpid();
  take_arguments(argc, argv, run);
  if (const char* path = env_text("HVX_STATUS_FILE")) run.status_path = path;
  if (const char* url = env_text("HVX_NOTIFY_URL")) run.notify_url = url;
  const char* suffixes = env_text("HVX_NOTIFY_SUFFIXES");
  run.notify_suffixes = suffixes != nullptr && std::strcmp(suffixes, "0") != 0;
  set_message_observer(on_message);
  if (run.command.empty()) return;
  // The handler also takes the progress line off the terminal.
  run.recorded = !run.status_path.empty() || !run.notify_url.empty();
  if (!run.notify_url.empty()) prepare_monitor_pings();
  if (std::atexit(write_end_of_run) != 0) run.recorded = false;
}

void run_report_dispatched(const CommandOptions& options) {
  RunState& run = state();
  if (!options.dump_file.empty() && options.dump_file != "-")
    run.dump = path_basename(options.dump_file);
  if (!options.domain_name.empty()) run.domain = options.domain_name;
  if (options.verbose) enable_progress_line();
  if (run.recorded) publish(make_record("start"));
}

void run_report_detached() {
  state().pid = ::getpid();
  disable_progress_line();
}

void run_report_failed() { state().answer_failed = true; }

void run_report_counts(std::uint64_t files, std::uint64_t bytes) {
  RunState& run = state();
  run.files = files;
  run.bytes = bytes;
}
