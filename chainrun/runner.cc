#include "chainrun/runner.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "chainrun/chain_log.h"
#include "chainrun/domain_suspension.h"
#include "chainrun/pipeline.h"
#include "chainrun/semaphore_state.h"
#include "common/messages.h"
#include "common/product_conf.h"
#include "common/stop_signals.h"

namespace {

// argv[1] to argv[6] are fixed; the commands start at argv[7].
constexpr int first_command = 7;

int key_mode(int argc, char** argv) {
  if (argc > 1 && argv[1][0] != '\0') {
    const key_t key = ::ftok(argv[1], static_cast<int>(::getuid()));
    if (key == -1) exit_with_error(1, "Unable to make a key from \"%s\"", argv[1]);
    std::printf("%s\n", format_semaphore_key(key).c_str());
    return 0;
  }
  // The key is reserved by creating its semaphore: calls in the same second
  // never hand out one key twice.
  const auto seed =
      static_cast<unsigned>(std::time(nullptr)) ^ (static_cast<unsigned>(::getpid()) << 16);
  const std::optional<ChainSemaphore> reserved = ChainSemaphore::reserve(seed);
  if (!reserved) {
    exit_with_error(1, "Unable to reserve a semaphore key");
    return 1;
  }
  std::printf("%s\n", format_semaphore_key(reserved->key()).c_str());
  return 0;
}

// Whether this run goes on, from the state the last run under the key left,
// and the warning it logs when it does (empty for none).
// A chain whose runner was killed left "running" behind for good: it counts
// as failed, and as no caller was ever told of that failure, this run goes
// on whatever the flag.
std::optional<std::string> may_start(const ChainSemaphore& semaphore, bool ignore_previous_error) {
  const int state = semaphore.value();
  if (state == chain_running) {
    const std::optional<pid_t> runner = semaphore.abandoned_by();
    if (!runner) return std::nullopt;  // another chain runs under this key
    return "WARNING: the previous chain was interrupted (its runner " + std::to_string(*runner) +
           " is gone)!\n";
  }
  if (state > chain_running) return std::nullopt;
  if (state == chain_failed) {
    if (!ignore_previous_error) return std::nullopt;
    return "WARNING: previous error was ignored!\n";
  }
  return std::string();
}

// Whether this run goes on; when it does, the state is "running" already.
// The state is read and changed in one turn under the key's lock, so of
// runners started together under one key exactly one finds the key free and
// the others find its chain running. Nothing slow happens in that turn: the
// warning is logged after it. A runner that cannot open the lock file (no
// write access to DUMP_D) decides without it.
bool claim_chain(const ChainSemaphore& semaphore, bool ignore_previous_error) {
  std::optional<std::string> warning;
  {
    const UniqueFd turn = lock_chain_key(product_conf.DUMP_D, semaphore.key());
    warning = may_start(semaphore, ignore_previous_error);
    if (!warning) return false;
    semaphore.set(chain_running);
  }
  if (!warning->empty()) log_append(*warning);
  return true;
}

// A user id in decimal; not "-1", which would mean "keep root".
std::optional<uid_t> parse_uid(const char* text) {
  if (*text == '\0') return std::nullopt;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
  }
  errno = 0;
  const unsigned long long value = std::strtoull(text, nullptr, 10);
  if (errno == ERANGE || value >= static_cast<uid_t>(-1)) return std::nullopt;
  return static_cast<uid_t>(value);
}

// 0 or 1, as a decimal number.
std::optional<bool> parse_flag(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE) return std::nullopt;
  if (value != 0 && value != 1) return std::nullopt;
  return value == 1;
}

// A runner started with a standard descriptor closed would hand that number
// to its first pipe, and the commands' standard streams would get crossed.
void ensure_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      ::dup2(null_fd, fd);
      ::close(null_fd);
    }
  }
}

}  // namespace

int chainrun_main(int argc, char** argv) {
  program_name = argv[0];
  if (argc <= first_command) return key_mode(argc, argv);

  ::umask(022);
  ensure_standard_descriptors();
  // A caller that ignores SIGCHLD would have the commands reaped before the
  // runner could learn how they ended.
  std::signal(SIGCHLD, SIG_DFL);
  // A termination request stops the commands; the chain then fails as any
  // failed chain does (log, domain switched on, semaphore 2).
  install_stop_handlers();
  load_product_conf();

  set_log_path(argv[2]);
  const char* title = argv[3];
  const std::string domain = argv[6];

  const std::optional<bool> ignore_previous_error = parse_flag(argv[5]);
  if (!ignore_previous_error) {
    log_appendf("chainrun: 5 parameter value error %s (valid values 0 and 1)\n", argv[5]);
    return 1;
  }
  const std::optional<key_t> key = parse_semaphore_key(argv[1]);
  if (!key) {
    log_appendf("chainrun: 1 parameter value error %s (not a semaphore key)\n", argv[1]);
    return 1;
  }
  const std::optional<uid_t> uid = parse_uid(argv[4]);
  if (!uid) {
    log_appendf("chainrun: 4 parameter value error %s (not a user id)\n", argv[4]);
    return 1;
  }

  const std::optional<ChainSemaphore> semaphore = ChainSemaphore::open(*key);
  if (!semaphore) return 0;
  if (!claim_chain(*semaphore, *ignore_previous_error)) return 0;

  const std::string time_text = log_time_text();
  const std::string title_line = "[" + time_text + "] " + title + " ... ";

  std::optional<DomainSuspension> suspension;
  if (!domain.empty()) suspension.emplace(time_text, domain).suspend();

  log_append(title_line);

  ChainSpec spec;
  spec.encoded_commands.assign(argv + first_command, argv + argc);
  spec.first_uid = *uid;
  spec.report_failed_command = *uid == 0;
  // A termination request that came while the domain was being switched off
  // (a hung sitectl stopped) leaves the chain unstarted: the run goes
  // straight to its orderly end.
  ChainOutcome outcome = ChainOutcome::broken;
  if (stop_signal() == 0) {
    outcome = run_chain(spec);
  } else {
    log_append("error!\n");
    log_appendf("Stopped by signal %d before the chain started.\n", stop_signal());
  }

  // The domain goes back on whatever the outcome; the semaphore is set last,
  // so a caller that sees 1 or 2 finds the domain settled and the log whole.
  if (suspension) suspension->resume();
  semaphore->set(outcome == ChainOutcome::succeeded ? chain_succeeded : chain_failed);
  if (stop_signal() != 0) return 128 + stop_signal();
  return outcome == ChainOutcome::succeeded ? 0 : 1;
}
