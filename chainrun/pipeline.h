// Runs a chain of shell commands connected by pipes: the standard output of
// each feeds the standard input of the next; the first reads the runner's
// standard input and the last writes to the runner's standard output.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ChainSpec {
  // The commands, first to last, still url-encoded as passed by the caller.
  std::vector<std::string> encoded_commands;
  // The first command runs under this user id; later ones keep the runner's.
  uid_t first_uid = 0;
  // Whether a failing command names itself (password-masked) on its error
  // output; the caller asks for it when the uid argument is 0.
  bool report_failed_command = false;
};

enum class ChainOutcome {
  succeeded,       // every command exited with status 0
  command_failed,  // a command exited with a non-zero status
  broken,          // the chain could not be run or waited for, or was killed
};

// Runs the chain and waits for all its commands, draining their error output
// meanwhile. Logs "done\n" on success, or "error!\n" and the details of the
// first failing command in chain order (its error output for a non-zero
// exit).
ChainOutcome run_chain(const ChainSpec& spec);
