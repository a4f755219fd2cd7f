// What a run of a domain command leaves for a panel and for monitoring: the
// status record (HVX_STATUS_FILE), written at the start and at the end of
// the run, and the same JSON POSTed to a monitor (HVX_NOTIFY_URL,
// HVX_NOTIFY_SUFFIXES). A command gets both by being dispatched: the end is
// written by an exit handler, so every way out of the process through the
// normal exit (option and configuration errors, a busy lock, a failure
// ended with exit_with_error, a termination request) leaves its record.
// The first message the run reports is its error. Neither the record nor
// the ping ever changes the run's output, result or exit status: their
// failures go to standard error (and the domain's log) only.
#pragma once

#include <cstdint>

#include "sitevault/command_line.h"

// Called first thing in main: notes the start time, takes the command and
// the domain from argv (before the options are checked), and, when the
// command is a recorded one and a record or a monitor is asked for, arranges
// for the end of the run to be written.
void begin_run_report(int argc, char** argv);

// Called by the dispatch with the checked options: the start record and the
// start ping go out, and the progress line is turned on for a --verbose
// run.
void run_report_dispatched(const CommandOptions& options);

// Called in the detached process: the end is its to write, and it has no
// terminal for the progress line.
void run_report_detached();

// The files and bytes of the dump that the run wrote, read or checked.
void run_report_counts(std::uint64_t files, std::uint64_t bytes);

// A run whose exit status is 0 although its answer is a failure (a check
// that found the dump damaged prints 1 and ends with 0): its record says
// "failure".
void run_report_failed();

// The name a command has in the record ("backup", "ftp-backup", ...), or
// null for a command that leaves none.
const char* recorded_command_name(Command command);
