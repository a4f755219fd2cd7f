// Local repository: rotation of dump series, removal of one dump, sizes.
#pragma once

#include <cstdint>
#include <string>

#include "sitevault/retention.h"

class RepositoryDir;

// Removes the dumps of series prefix in directory beyond the newest keep,
// by the rule of rotation_victims (dump_series.h): only dumps that end with
// signature lines count as kept or are removed. 0, or -1 when the directory
// cannot be read.
int rotate_dump_files(const char* directory, const char* prefix, int keep);
// The same, but the dump named protect (a bare name: the one just made) is
// never removed, whatever keep says; it counts as one of those kept. With
// report_unsigned, each dump left because it is unsigned is reported once.
int rotate_dump_files(const char* directory, const char* prefix, int keep, const char* protect,
                      bool report_unsigned = false);
// The same in a directory held open: its files are read and removed relative
// to it, no link followed. 0, or -1 when it cannot be read.
int rotate_dump_files_at(const RepositoryDir& directory, const char* prefix, int keep,
                         const char* protect, bool report_unsigned = false);
// The same under retention rules (rotation_victims with RetentionRules);
// report: the unsigned dumps and, under a calendar rule, every dump's fate.
int rotate_dump_files(const char* directory, const char* prefix, const RetentionRules& rules,
                      const char* protect, bool report);
int rotate_dump_files_at(const RepositoryDir& directory, const char* prefix,
                         const RetentionRules& rules, const char* protect, bool report);
// Removes the files of a dump in directory, the last part first. 0, or -1.
// A domain's repository (a directory right below DUMP_D) is never entered
// through a link planted in its place, here and in rotate_dump_files.
int remove_dump_in(const std::string& directory, const char* dump);
// The same in a directory held open (files removed relative to it).
int remove_dump_at(const RepositoryDir& directory, const char* dump);
// Bytes of a file or a whole tree (no link followed); allocated blocks
// instead of lengths when count_blocks is set. -1 when it cannot be read.
std::int64_t path_size(const char* path, bool count_blocks);
// The same for the tree of the working directory; 0 when it cannot be read.
std::int64_t dir_size(bool count_blocks);

// Removes DUMP_D/<domain> and everything below it without a shell and
// without following symbolic links. 0 on success (also when there is nothing
// to remove), 1 after reporting a failure or a domain name that is not a
// single path component.
int remove_domain_repository(const char* domain);
