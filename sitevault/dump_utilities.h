// The panel's dump utilities: hvxdump writes a dump stream, hvxrestore reads
// one, hvxdumpctl inspects a stored dump. All are started under nice through
// the shell; every value placed in a command line is quoted.
#pragma once

#include <string>

#include "common/unique_fd.h"

// Argument text for hvxdump (begins with a blank, sends the dump to standard
// output). desc_file may be null. Its standard error goes to the descriptor
// open_error_log gives, handed to the writer by the caller.
std::string hvxdump_arguments(const char* domain, const char* desc_file);

// The domain's error log DUMP_D/<domain>/backup_restore.err_log, created or
// truncated for writing without following a link (the panel user owns the
// repository); anything but a regular file is refused. -1 after reporting.
UniqueFd open_error_log(const char* domain);

// "nice PRODUCT_ROOT_D/bin/hvxdump --single-domain-mode[ -F]<args>"
std::string hvxdump_command(const std::string& arguments, bool ftp_form);

// Command line of the restorer fed on standard input (its standard error
// goes to open_error_log's descriptor, handed over by the caller).
std::string hvxrestore_command(const char* domain, const char* client_login, const char* domain_ip);

// Runs hvxdumpctl with an option ("--check-dump", "--creating-time", "--info",
// "--description", "--get-name") on a dump path, streams inherited. Returns
// the utility's exit status, 1 when it was killed by a signal or could not be
// started.
int run_dumpctl(const char* option, const char* dump_path);
