// The domain operations that the command dispatch calls.
#pragma once

#include <cstdint>

#include "sitevault/remote/remote_store.h"
#include "sitevault/retention.h"

// The operations that detach into the background do so unless
// stay_in_foreground (--verbose) is set.

// --backup: the domain locked and switched off, hvxdump's stream signed into
// dump_file (staged, verified, then put in place), the mails sent. 0, or
// non-zero after reporting.
int backup_domain(const char* domain, const char* dump_file, const char* desc_file,
                  const char* email_from, const char* email_to, std::uint64_t split_size,
                  bool stay_in_foreground);
// --restore: the dump verified on the descriptors that then feed
// hvxrestore, the domain locked and switched off meanwhile. 0, or -1.
int restore_domain(const char* client_login, const char* domain, const char* domain_ip,
                   const char* dump_file, const char* email_from, const char* email_to,
                   bool stay_in_foreground);
// --ftp-backup: the write test, then hvxdump's stream signed and uploaded
// to the remote repository in parts under a staging name. 0, or non-zero
// after reporting.
int ftp_backup_domain(const char* domain, const char* dump_file, const char* desc_file,
                      const RemoteLocation& where, const char* email_from, const char* email_to,
                      std::uint64_t split_size, bool stay_in_foreground);
// The rotation after a successful --ftp-backup: the earlier commits
// recovered, then the dumps of series prefix that the rules keep not deleted
// (never protect, the dump just uploaded); report_unsigned: each unsigned
// dump left is reported. 0, or -1 after reporting.
int ftp_rotate_dumps(const RemoteLocation& where, const char* prefix, const RetentionRules& rules,
                     const char* protect, bool report_unsigned);
// --ftp-download: the dump's parts fetched under a staging name, checked,
// then put in place of the local dump. 0, or -1.
int ftp_download_dump(const char* domain, const char* dump_file, const RemoteLocation& where,
                      const char* email_from, const char* email_to);
