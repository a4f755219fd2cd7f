// Staged dumps: a new dump is written (or fetched) under a staging name in
// its final directory and takes the dump's own name only once it is complete
// and verified, so a failure never costs the older dump of that name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Every staging name begins with this; no dump, series or reserved name may.
inline constexpr std::string_view kStagingMarker = ".hvxtmp.";

// Whether a file name is a staging name (begins with the marker).
bool is_staging_name(std::string_view name);

// ".hvxtmp.<pid>.<name>" for a dump name (cut so that its part names still
// fit a file name). The staged dump's parts are "<staging name>.partN".
std::string staging_name(const std::string& dump_name);
// The staging path for "<dir>/<name>": "<dir>/" and the staging name.
std::string staging_path(const std::string& final_path);

// Puts the staged dump in place of final_path: files of an older dump of that
// name beyond the new dump's last part are removed, the staged files renamed
// from the last part down to the base file, and the files now under the name
// checked to be exactly those written (sizes in dump order). 0, or -1 after
// reporting; on failure the staged files are gone, and so is whatever the
// name held once renaming had begun.
int commit_staged_dump(const std::string& staged_path, const std::string& final_path,
                       const std::vector<std::uint64_t>& sizes);

// Removes every file of a staged dump (nothing is reported).
void discard_staged_dump(const std::string& staged_path);

// Removes the staged files that runs which no longer exist left in directory.
void remove_staging_leftovers(const std::string& directory);
