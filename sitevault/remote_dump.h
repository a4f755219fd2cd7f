// Dump-level work on a remote repository, over any RemoteStore: the
// directory as the journalled commit sees it and the recovery of earlier
// commits, a dump's files, rotation of a series, the staged upload of a
// signed dump and the checked download of one into the local repository.
// Every failure is reported before a call returns; where a caller mails the
// outcome, reason receives the text that says why.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sitevault/dump_commit.h"
#include "sitevault/remote/remote_store.h"
#include "sitevault/retention.h"

class SignedDumpStream;

// The store's directory as dump_commit needs it: every name (those
// beginning with a dot included), quiet size queries, renames that never
// replace, deletions that allow a missing file, records as small texts.
class RemoteCommitStore final : public CommitStore {
 public:
  explicit RemoteCommitStore(RemoteStore& store) : store_(store) {}

  std::optional<std::vector<std::string>> names(std::string_view prefix) override;
  std::optional<std::uint64_t> size(const std::string& name) override;
  int rename(const std::vector<std::pair<std::string, std::string>>& moves) override;
  int remove(const std::vector<std::string>& names) override;
  int put_record(const std::string& name, std::string_view text) override;
  std::optional<std::string> get_record(const std::string& name) override;
  // The server decides when its files are on disk: nothing to do.
  int make_durable(const std::vector<std::string>& names) override;
  // Since a rename went unanswered.
  bool changes_in_doubt() const override { return changes_in_doubt_; }

 private:
  RemoteStore& store_;
  bool changes_in_doubt_ = false;
};

// Deletes the files in batches the store takes. true, or false after
// reporting (the batches after a failed one are not sent).
bool remove_remote_files(RemoteStore& store, const std::vector<std::string>& names, Missing missing,
                         Urgency urgency);

// Finishes or undoes the half-done commits of this host's runs that are gone
// in the repository directory (path: its name for the message) and removes
// their other staging files, before a run reads, counts or deletes there.
// true, or false after reporting, with the store's failure and the message
// in reason when one is given.
bool recover_remote_commits(RemoteStore& store, const std::string& path,
                            std::string* reason = nullptr);

// The dump's files on the store in dump order (base file, then the parts by
// number). nullopt when the listing failed (reported); empty when none is
// there (not reported).
std::optional<std::vector<std::string>> remote_dump_files(RemoteStore& store,
                                                          const std::string& dump_name);

// Deletes the dumps of series prefix beyond the newest keep (never those of
// protect) by the rule of rotation_victims; a dump's last file is judged by
// its tail, read without fetching the rest. report_unsigned: each dump left
// because it is unsigned is reported. true, or false after reporting.
bool rotate_remote_dumps(RemoteStore& store, const std::string& prefix, int keep,
                         const std::string& protect, bool report_unsigned);
// The same under retention rules; report: the unsigned dumps and, under a
// calendar rule, every dump's fate.
bool rotate_remote_dumps(RemoteStore& store, const std::string& prefix, const RetentionRules& rules,
                         const std::string& protect, bool report);

// Has the stream report its failures as an upload words them: after "error
// in readHandler: ", with the writer's exit status; a writer that cannot be
// started as "Error: <reason>", which is also kept in reason. Set before
// the stream starts; reason must outlive it.
void use_upload_wording(SignedDumpStream& stream, std::string& reason);

// Uploads the stream's files (the stream started) under this run's staging
// name, each checked by the store, verifies the signature lines sent under
// the server's public key and puts the dump in place as dump_name through
// the journalled commit. A failure before the commit removes the staged
// files by name. true, or false after reporting with the reason in reason.
bool upload_signed_dump(RemoteStore& store, SignedDumpStream& stream, const std::string& dump_name,
                        std::string& reason);

// Fetches dump_name into the local repository (a directory path) under the
// staging name, feeding the digest as the files arrive, checks signature and
// digest, and only then puts it in place of a local dump of that name. The
// remote commits are recovered first (path: the remote directory's name for
// the messages). true, or false after reporting with the reason in reason.
bool download_remote_dump(RemoteStore& store, const std::string& path,
                          const std::string& repository, const std::string& dump_name,
                          std::string& reason);
