// Staged dumps: a new dump is written (or fetched) under a staging name in
// its final directory and takes the dump's own name only once it is complete
// and verified, through the journalled commit of dump_commit.h, so neither a
// failure nor a kill at any moment costs the older dump of that name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Every staging name begins with this; no dump, series or reserved name may.
inline constexpr std::string_view kStagingMarker = ".hvxtmp.";

// Whether a file name is a staging name (begins with the marker).
bool is_staging_name(std::string_view name);

// This run's staging name for a dump name: ".hvxtmp.<run token>.<name>"
// (the name cut so that its part names still fit a file name). The staged
// dump's parts are "<staging name>.partN".
std::string staging_name(const std::string& dump_name);
// The staging path for "<dir>/<name>": "<dir>/" and the staging name.
std::string staging_path(const std::string& final_path);

// The longest dump name whose part names fit a file name of the directory
// (its NAME_MAX less the longest part suffix when the dump is split).
std::size_t longest_dump_name(const std::string& directory, bool split);

// Puts the dump this run staged as staging_path(final_path) in place of
// final_path (sizes: the staged files' sizes in dump order): the commit of
// dump_commit.h on final_path's directory. 0 once the new dump is in place
// and on disk; -1 after reporting, with the older dump of that name in place
// (or kept for the next run's recovery) and the staged files gone.
int commit_staged_dump(const std::string& staged_path, const std::string& final_path,
                       const std::vector<std::uint64_t>& sizes);

// Removes every file of a staged dump (nothing is reported).
void discard_staged_dump(const std::string& staged_path);

// Finishes or undoes the commits that runs which are gone left half done in
// directory, and removes the other files such runs staged there.
void remove_staging_leftovers(const std::string& directory);
