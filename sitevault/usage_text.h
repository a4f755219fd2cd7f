#pragma once

extern const char* const usage_text;
