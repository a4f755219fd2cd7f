#include "chainrun/semaphore_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>

namespace {

union semun {
  int val;
  semid_ds* buf;
  unsigned short* array;
};

// Keys already taken are skipped; this many in a row means something else
// is wrong.
constexpr int max_reserve_attempts = 1000;

// A process of the same id started this long after the value was set is
// taken for the runner all the same (start and change times are rounded).
constexpr double start_time_slack_s = 1.0;

struct ProcessStat {
  char state = '?';
  unsigned long long start_ticks = 0;  // clock ticks after boot
};

// State letter and start time from /proc/<pid>/stat; nullopt when it cannot
// be read.
std::optional<ProcessStat> read_process_stat(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  char buf[2048];
  const ssize_t n = ::read(fd.get(), buf, sizeof buf - 1);
  if (n <= 0) return std::nullopt;
  buf[n] = '\0';
  // The command name in parentheses may hold blanks and parentheses itself.
  const char* rest = std::strrchr(buf, ')');
  ProcessStat stat;
  if (rest == nullptr ||
      std::sscanf(
          rest + 1,
          " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu",
          &stat.state, &stat.start_ticks) != 2) {
    return std::nullopt;
  }
  return stat;
}

double seconds_of(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Whether process `pid`, which set a value at `set_at`, has ended since.
bool process_gone_since(pid_t pid, std::time_t set_at) {
  const std::optional<ProcessStat> stat = read_process_stat(pid);
  if (!stat) return ::kill(pid, 0) != 0 && errno == ESRCH;
  if (stat->state == 'Z' || stat->state == 'X') return true;
  const long ticks_per_s = ::sysconf(_SC_CLK_TCK);
  if (ticks_per_s <= 0) return false;
  const double age = seconds_of(CLOCK_BOOTTIME) -
                     static_cast<double>(stat->start_ticks) / static_cast<double>(ticks_per_s);
  const double started_at = seconds_of(CLOCK_REALTIME) - age;
  return started_at > static_cast<double>(set_at) + start_time_slack_s;
}

bool all_digits(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

}  // namespace

std::optional<key_t> parse_semaphore_key(const char* text) {
  if (text == nullptr) return std::nullopt;
  const bool negative = text[0] == '-';
  const char* digits = negative ? text + 1 : text;
  if (!all_digits(digits)) return std::nullopt;

  errno = 0;
  const unsigned long long magnitude = std::strtoull(digits, nullptr, 10);
  if (errno == ERANGE) return std::nullopt;

  std::int64_t value = 0;
  constexpr unsigned long long max_u32 = std::numeric_limits<std::uint32_t>::max();
  constexpr unsigned long long min_sign_extended = 0xFFFFFFFF80000000ULL;
  if (negative) {
    if (magnitude > 0x80000000ULL) return std::nullopt;
    value = -static_cast<std::int64_t>(magnitude);
  } else if (magnitude <= max_u32) {
    value =
        static_cast<std::int64_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude)));
  } else if (magnitude >= min_sign_extended) {
    value = static_cast<std::int64_t>(static_cast<std::int32_t>(magnitude & max_u32));
  } else {
    return std::nullopt;
  }
  if (value == IPC_PRIVATE) return std::nullopt;
  return static_cast<key_t>(value);
}

std::string format_semaphore_key(key_t key) {
  return std::to_string(static_cast<std::uint32_t>(key));
}

UniqueFd lock_chain_key(const std::string& dir, key_t key) {
  const std::string path = dir + "/.chain-" + format_semaphore_key(key) + ".lock";
  // Read access is enough for flock, so a runner of another user that may
  // set the semaphore can take its turn on a file root made.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFd();
  int locked = -1;
  do {
    locked = ::flock(fd.get(), LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return UniqueFd();
  return fd;
}

std::optional<ChainSemaphore> ChainSemaphore::open(key_t key) {
  int id = ::semget(key, 0, 0644);
  if (id < 0) id = ::semget(key, 1, IPC_CREAT | 0644);
  if (id < 0) return std::nullopt;
  return ChainSemaphore(id, key);
}

std::optional<ChainSemaphore> ChainSemaphore::reserve(unsigned seed) {
  // minstd never yields 0, which would be IPC_PRIVATE.
  std::minstd_rand draw(seed);
  for (int attempt = 0; attempt < max_reserve_attempts; ++attempt) {
    const auto key = static_cast<key_t>(draw());
    const int id = ::semget(key, 1, IPC_CREAT | IPC_EXCL | 0644);
    if (id >= 0) return ChainSemaphore(id, key);
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

int ChainSemaphore::value() const { return ::semctl(id_, 0, GETVAL); }

bool ChainSemaphore::set(int value) const {
  semun arg{};
  arg.val = value;
  return ::semctl(id_, 0, SETVAL, arg) == 0;
}

std::optional<pid_t> ChainSemaphore::abandoned_by() const {
  if (value() != chain_running) return std::nullopt;
  // Setting a value records the setter's pid and the time of the change.
  const pid_t pid = ::semctl(id_, 0, GETPID);
  semid_ds ds{};
  semun arg{};
  arg.buf = &ds;
  if (pid <= 0 || ::semctl(id_, 0, IPC_STAT, arg) != 0) return std::nullopt;
  if (!process_gone_since(pid, ds.sem_ctime)) return std::nullopt;
  // The runner may have set its outcome and ended between the reads above.
  if (value() != chain_running || ::semctl(id_, 0, GETPID) != pid) return std::nullopt;
  return pid;
}
