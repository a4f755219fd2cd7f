// The runner's log: fragments appended to the log file named on the command
// line and copied to standard error.
#pragma once

#include <string>
#include <string_view>

// Sets the log file; an empty path turns logging off.
void set_log_path(std::string path);

// Appends the text to the log file (created when missing, without access for
// others) in one write and copies it to standard error. Does nothing when
// there is no log path or the file cannot be opened.
void log_append(std::string_view text);

// printf-style form of log_append.
void log_appendf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The current time as ctime() shows it, without the final newline.
std::string log_time_text();
