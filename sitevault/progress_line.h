// The progress of a foreground run, shown to the person at its terminal: one
// line on standard error, redrawn at most four times a second and erased at
// the end or before any message. Shown only once enabled; until then every
// call costs a test of one flag.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// Turns the line on when standard error is a terminal and HVX_PROGRESS is
// not "0".
void enable_progress_line();
// Turns it off for good (a detached process has no terminal).
void disable_progress_line();
bool progress_line_enabled();

// A new stage of the work: what (a short word), and its size in bytes when
// known (0: unknown). The count starts again from 0.
void progress_stage(const char* what, std::uint64_t total);
// Bytes of the stage done since the last call.
void progress_add(std::uint64_t bytes);
// Removes the line from the terminal; the next progress_add draws it again.
void progress_erase();

// The text of the line: "<what> <bytes> [of <total> <percent>%] <rate>/s
// <elapsed> [ETA <left>]".
std::string progress_text(const char* what, std::uint64_t done, std::uint64_t total,
                          std::chrono::milliseconds elapsed);
