#include "semaphore_state.h"

#include <sys/ipc.h>
#include <sys/sem.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
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
