// The panel's dump utilities: hvxdump writes a dump stream, hvxrestore reads
// one, hvxdumpctl inspects a stored dump. All are started under nice through
// the shell; every value placed in a command line is quoted.
#pragma once

#include <string>

// Argument text for hvxdump (begins with a blank, sends the dump to standard
// output, standard error to the domain's error log). desc_file may be null.
std::string hvxdump_arguments(const char* domain, const char* desc_file);

// "nice PRODUCT_ROOT_D/bin/hvxdump --single-domain-mode[ -F]<args>"
std::string hvxdump_command(const std::string& arguments, bool ftp_form);

// Command line of the restorer fed on standard input.
std::string hvxrestore_command(const char* domain, const char* client_login, const char* domain_ip);

// Runs hvxdumpctl with an option ("--check-dump", "--creating-time", "--info",
// "--description", "--get-name") on a dump path, streams inherited. Returns
// the utility's exit status, 1 when it was killed by a signal or could not be
// started.
int run_dumpctl(const char* option, const char* dump_path);
