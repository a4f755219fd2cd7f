// The SysV semaphore through which a runner tells its caller how the chain
// known under a key went. One set of one semaphore per key, never removed.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "common/unique_fd.h"

enum ChainState : int {
  chain_new = 0,        // never run
  chain_succeeded = 1,  // the last chain finished successfully
  chain_failed = 2,     // the last chain failed
  chain_running = 3,    // a chain is running
};

// Reads a key as printed by the key mode: a decimal number up to 4294967295
// (the 32 bits of key_t as unsigned), or its signed form from -2147483648,
// or the 64-bit sign extension of a negative key. Refuses anything else,
// and 0, which would make a private semaphore on every run.
std::optional<key_t> parse_semaphore_key(const char* text);

// The key as the key mode prints it: its 32 bits as an unsigned number.
std::string format_semaphore_key(key_t key);

// Runners under one key decide one at a time whether they start: each reads
// the state and sets "running" while it holds an exclusive flock on
// <dir>/.chain-<key>.lock (the key as printed). Waits for the lock and
// returns the descriptor that holds it; an empty one when the file cannot be
// opened (created with permissions 0644 when missing, never through a link,
// nothing but a regular file) or locked.
UniqueFd lock_chain_key(const std::string& dir, key_t key);

class ChainSemaphore {
 public:
  // The existing set of the key, or a new one with permissions 0644.
  static std::optional<ChainSemaphore> open(key_t key);
  // A new set (value 0, permissions 0644) under a key no set has yet, drawn
  // from a generator seeded with `seed`; nullopt with errno set when no set
  // can be made. A key handed out is thereby reserved: a second call gets
  // another one, even with the same seed.
  static std::optional<ChainSemaphore> reserve(unsigned seed);

  int id() const { return id_; }
  // The value, or -1 when it cannot be read.
  int value() const;
  bool set(int value) const;
  // The runner that set the value to "running" and has ended without
  // setting the outcome (it was killed): its process is gone, a zombie, or
  // its id now belongs to a process started after the value was set.
  // nullopt when the value is not "running", the runner still lives, or
  // this cannot be told.
  std::optional<pid_t> abandoned_by() const;

  key_t key() const { return key_; }

 private:
  ChainSemaphore(int id, key_t key) : id_(id), key_(key) {}
  int id_;
  key_t key_;
};
