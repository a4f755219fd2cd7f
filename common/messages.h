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
// entry, and hands the text to write_message. errno is preserved.
void print_error(int exit_code, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vprint_error(int exit_code, const char* format, va_list args);

// Ends the process through the normal exit (streams flushed).
[[noreturn]] void util_exit(int status);
