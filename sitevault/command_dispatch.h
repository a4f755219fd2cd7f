// Calls the operation of a validated command and turns its result into the
// process's exit status.
#pragma once

#include "sitevault/command_line.h"

[[noreturn]] void dispatch_command(const CommandOptions& options);
