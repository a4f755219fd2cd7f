// Putting a staged dump in place as one transaction, in a local directory or
// a remote repository alike. A dump is several files and one rename moves
// one, so the commit is journalled:
//
//   1. the staged files are checked against the sizes written and made
//      durable;
//   2. a commit record naming the dump, the new parts with their sizes and
//      the older parts is written and made durable;
//   3. every file of an older dump of that name is moved aside under this
//      run's aside name (so no rename ever has to replace a file);
//   4. the staged files take the dump's name, the last part first and the
//      base file last;
//   5. the new files are made durable and checked, then the older files
//      and the record are removed.
//
// At every moment either the older dump or the new one can be recovered:
// whoever finds a record of a run that is gone rolls the commit forward when
// the new files are all there with their sizes, and back otherwise, before
// anything reads, counts or deletes under that name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/run_identity.h"

// The few file operations a commit needs, on one directory of a local or
// remote repository. Each reports its own failures and answers 0/-1 or
// nullopt; names are plain file names in that directory.
class CommitStore {
 public:
  virtual ~CommitStore() = default;
  // The names in the directory that begin with prefix, names beginning with
  // a dot included. nullopt after reporting.
  virtual std::optional<std::vector<std::string>> names(std::string_view prefix) = 0;
  // The size of a regular file; nullopt when it cannot be learnt (missing
  // included; not reported).
  virtual std::optional<std::uint64_t> size(const std::string& name) = 0;
  // Renames in the order given; no target exists beforehand. Stops at the
  // first failure (those before it done). 0, or -1 after reporting.
  virtual int rename(const std::vector<std::pair<std::string, std::string>>& moves) = 0;
  // Removes the files; a missing one is no failure. 0, or -1 after reporting.
  virtual int remove(const std::vector<std::string>& names) = 0;
  // Writes a small new file and makes it durable. 0, or -1 after reporting.
  virtual int put_record(const std::string& name, std::string_view text) = 0;
  // The content of a small file; nullopt after reporting.
  virtual std::optional<std::string> get_record(const std::string& name) = 0;
  // Makes the named files and the directory's entries durable (a remote
  // store has nothing to do). 0, or -1 after reporting.
  virtual int make_durable(const std::vector<std::string>& names) = 0;
  // Whether a rename this store sent may still take effect: a server that
  // did not answer may carry it out later (a local store never).
  virtual bool changes_in_doubt() const { return false; }
};

// Names of one run's files for a dump (all begin with the staging marker and
// the run's token; the dump's name is cut so that every part name fits a
// file name, the record keeps it whole):
//   staged  ".hvxtmp.<token>.<name>"         and its ".partN"
//   aside   ".hvxtmp.<token>~old.<name>"     and its ".partN"
//   record  ".hvxtmp.<token>~commit.<name>"
std::string staged_dump_name(const RunIdentity& run, const std::string& dump_name);
std::string aside_dump_name(const RunIdentity& run, const std::string& dump_name);
std::string commit_record_name(const RunIdentity& run, const std::string& dump_name);

// "<base>" for part 1, "<base>.partN" after it.
std::string dump_part_name(const std::string& base, std::size_t part);

// The run token of a staging-marked name (staged, aside or record);
// nullopt for any other name.
std::optional<RunIdentity> staging_run(std::string_view name);

// Commits the dump staged by this run under staged_dump_name(this_run(),
// dump_name), whose parts hold exactly sizes (in part order). 0 once the new
// dump is in place and durable. -1 after reporting: the older dump is back
// under its name (or, when even that failed, the record stays for the next
// run's recovery) and the staged files are removed unless they are needed
// for that recovery.
int commit_dump(CommitStore& store, const std::string& dump_name,
                const std::vector<std::uint64_t>& sizes);
// The same for the files a given run staged (tests play other runs).
int commit_dump_as(CommitStore& store, const RunIdentity& run, const std::string& dump_name,
                   const std::vector<std::uint64_t>& sizes);

// Finishes or undoes every commit whose record belongs to a run of this host
// that is gone, then removes the other staging files of such runs (another
// host's are never touched). 0, or -1 after reporting when a commit could
// not be recovered (its files stay for the next try).
int recover_commits(CommitStore& store);
