#include "semaphore_state.h"

#include <sys/ipc.h>
#include <sys/sem.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

union semun {
  int val;
  semid_ds* buf;
  unsigned short* array;
};

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
  return ChainSemaphore(id);
}

int ChainSemaphore::value() const { return ::semctl(id_, 0, GETVAL); }

bool ChainSemaphore::set(int value) const {
  semun arg{};
  arg.val = value;
  return ::semctl(id_, 0, SETVAL, arg) == 0;
}
