// Process-wide state of one sitevault run, set while parsing the command line
// and read by the operations.
#pragma once

#include <string>

extern int command;           // command number of the last command option
extern int verbose;           // 1: stay in the foreground
extern int rotate_requested;  // non-zero with --rotate-dump-files
extern std::string dump_dir;  // directory of the dump this run works on
