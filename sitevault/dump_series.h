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
