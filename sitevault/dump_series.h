// The names of a repository as dumps and dump series, shared by the local
// repository and every remote one: which names are a series' dumps, a
// dump's files in part order, and which files a rotation deletes. Pure
// functions over lists of names; the callers read the directory or the
// store and carry out the deletions.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sitevault/retention.h"

// True when name is a dump of the series prefix: the prefix, "_", the
// fixed-width time stamp "YYYY.MM.DD_HH.MM" and an optional ".partN" suffix.
bool is_series_name(std::string_view name, std::string_view prefix);
// True for a series name without a part suffix (a dump's base file).
bool is_series_base_name(std::string_view name, std::string_view prefix);

// The names among names that belong to the dump base, in dump order: the
// base file first, then the part files by number (numbers too large to hold
// saturate, names breaking ties), each once. Empty when none belongs to it.
std::vector<std::string> dump_files_in_order(std::vector<std::string> names,
                                             const std::string& base);

// The first part number (1 for the base file) missing from the files of a
// dump in dump order (dump_files_in_order of base); 0 when none is: the
// base file is there and the parts follow it without a gap.
unsigned long first_missing_part(const std::vector<std::string>& files, const std::string& base);

// Whether the file (a dump's last file, named as listed) ends with
// well-formed signature lines.
using EndsSigned = std::function<bool(const std::string& last_file)>;

// The files of series prefix that a rotation keeping the newest keep dumps
// deletes, newest first and each dump's base file after its parts. Names
// outside the series are never among them.
//
// The series' files are taken dump by dump (a base name and its parts),
// newest first. A dump counts as kept only when its base file is there and
// its last file ends with signature lines (ends_signed is asked about that
// file). The dump protect (the one just made) is never deleted and counts as
// kept when its base file is listed. Once keep dumps are counted, the files
// of every older dump whose last file is signed are deleted, parts left
// without their base file included. Files whose last one does not end with
// signature lines (a dump cut short, or anything else under a series name)
// are neither counted nor deleted; with report_unsigned each such dump is reported
// once.
std::vector<std::string> rotation_victims(std::vector<std::string> names, std::string_view prefix,
                                          int keep, const std::string& protect,
                                          const EndsSigned& ends_signed, bool report_unsigned);

// The same under rules: with --max-dump-files alone exactly the rotation
// above (keep = rules.last). With a calendar rule, the dumps that count (a
// base file listed, the last file signed, or the dump protect) are judged by
// retention_reasons over the stamps of their names, and those no rule keeps
// are deleted; a signed dump whose base file is gone counts for no rule and
// stays only while an older counted dump is kept. Unsigned dumps are neither
// counted nor deleted. With report, the unsigned dumps are reported as above
// and, under a calendar rule, every dump of the series: kept, and by which
// rules, or removed.
std::vector<std::string> rotation_victims(std::vector<std::string> names, std::string_view prefix,
                                          const RetentionRules& rules, const std::string& protect,
                                          const EndsSigned& ends_signed, bool report);
