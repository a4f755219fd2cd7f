// The text sitevault prints for --help.
#pragma once

extern const char* const usage_text;
