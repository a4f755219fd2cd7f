// Messages and exit: every diagnostic of both programs leaves through these.
#pragma once

#include <cstdarg>

// Set by each program's entry to argv[0]; only its last component is shown.
extern const char* program_name;

// Writes "<program>: text" (newline added when missing) to standard error,
// then to standard output. Returns 0 when exit_code is 0, otherwise ends the
// process with exit_code.
int write_message(const char* text, int exit_code);

// Formats like printf, appends "\nSystem error %d: %s" when errno was set on
// entry, and writes the text as write_message does. Returns; errno is
// preserved.
void report_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same report, then the end of the process with exit_code (non-zero)
// through the normal exit. Ending the run is left to main, the command
// dispatch and chainrun's runner, and to the library functions whose
// interface, which other tools of the panel rely on, is to end the process
// on a failure they cannot return from: a missing configuration key
// (product_conf), an unknown HVX_RUNMODE (db_connection), a failed fork,
// pipe or allocation in the process runners (process, process_runners) and
// in the IDN conversions (idn).
[[noreturn]] void exit_with_error(int exit_code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// The va_list form of both, kept for the panel's other tools: reports, and
// ends the process when exit_code is not 0.
void vprint_error(int exit_code, const char* format, va_list args);

// Texts that the documented output of a command puts on one stream alone,
// without the program-name prefix, written as they stand and flushed:
// - write_output_text: standard output, which the panel reads, e.g. the
//   refusal while a repository-wide dump runs, printed before its report;
// - write_error_text: standard error, for the signing code's reporter
//   (report_errno) and OpenSSL's error lines.
void write_output_text(const char* text);
void write_error_text(const char* text);

// Ends the process through the normal exit (streams flushed).
[[noreturn]] void util_exit(int status);

// --- What the end of a run is told ---
// A function shown every message text (with its line feed, before the
// prefix) just before write_message writes it; null: none. One at a time.
using MessageObserver = void (*)(const char* text);
void set_message_observer(MessageObserver observer);
// The status the process is ending with through write_message,
// exit_with_error or util_exit (what an exit handler may read); 0 until then.
int ending_status();
