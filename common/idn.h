// Internationalised domain names (IDNA 2003 through libidn).
#pragma once

extern int idn_last_error;

const char* idn_error_name(int code);
char* idn_toascii(const char* name);       // caller frees; null on failure
char* idn_toascii_safe(const char* name);  // ends the process on failure
char* idn_tounicode(const char* name);     // caller frees; null on failure
const char* url_host_toascii(const char* url);
