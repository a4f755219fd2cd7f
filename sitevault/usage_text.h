// The text sitevault prints for --help.
#pragma once

extern const char* const usage_text;
// Printed right after usage_text: the retention, inventory and remote
// check commands and options.
extern const char* const usage_text_retention;
