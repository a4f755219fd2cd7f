// A remote repository as this tool uses it: one directory of files on some
// kind of store. The commands and the dump-level logic (remote_dump) speak
// only this interface; each kind of store lives in a file of its own, and
// open_remote_store is the one place that chooses among them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sitevault/byte_stream.h"

// --ftp-server, --ftp-path and the credentials, taken apart once. scheme is
// lower case: "ftp" (also for a server given without one), "ftpes", "ftps",
// "sftp", "s3" (an object store over HTTPS), "s3+http". server keeps the
// text as given, for the messages and the write-test utility.
struct RemoteLocation {
  std::string scheme;
  std::string authority;  // host[:port]
  std::string path;       // the repository directory; relative: to the login directory
                          // (an object store: BUCKET[/PREFIX])
  std::string login;
  std::string password;
  std::string server;
};

// nullopt after reporting a server text whose scheme is none the tool knows.
std::optional<RemoteLocation> parse_remote_location(std::string_view server, std::string path,
                                                    std::string login, std::string password);

// One name of a listing; size and modification time (seconds since the
// epoch) when the listing tells them.
struct RemoteFile {
  std::string name;
  std::optional<std::uint64_t> size;
  std::optional<std::int64_t> mtime = std::nullopt;
};

// What a store can do, as data: callers ask these, never which scheme it is.
struct StoreFeatures {
  // A plain listing holds the names that begin with a dot.
  bool lists_dot_names = true;
  // Most names one deletion request may carry; 0: any number.
  std::size_t delete_batch = 0;
  // Largest file the store takes; 0: no limit.
  std::uint64_t max_object = 0;
};

// Whether a name that is not there fails a call.
enum class Missing { fails, allowed };
// Which names a listing must hold.
enum class DotNames { may_be_left_out, included };
// How a deletion is bounded: an ordinary command, or the clean-up after a
// failed transfer, which must not cost a frozen server's full limits again.
enum class Urgency { command, cleanup };
// How a batch of renames ended. unanswered: the server gave no answer, and a
// rename sent may still be carried out later.
enum class Renamed { done, refused, unanswered };

// Every failure is reported (report_error) before a call
// returns, and its text kept as last_failure() for the operation's mail.
// Names are plain file names in the repository directory.
class RemoteStore {
 public:
  virtual ~RemoteStore() = default;
  virtual const StoreFeatures& features() const = 0;

  // Stores the source's bytes as name (created or replaced) and checks that
  // the stored file is as long as what was sent. The bytes stored, or
  // nullopt after reporting (a file of that name may then exist).
  virtual std::optional<std::uint64_t> put(const std::string& name, const ByteSource& source) = 0;
  // Hands the file's bytes to the sink in order. false after reporting (or
  // when the sink stopped the transfer).
  virtual bool get(const std::string& name, const ByteSink& sink) = 0;
  // The last bytes of the file (all of it when it is shorter), read without
  // fetching the rest; nullopt after reporting.
  virtual std::optional<std::string> tail(const std::string& name, std::size_t bytes) = 0;
  // The names that begin with prefix, in the order the store gives them,
  // "." and ".." never; with DotNames::included those beginning with a dot
  // are there even on a store that leaves them out of a plain listing.
  // nullopt after reporting.
  virtual std::optional<std::vector<RemoteFile>> list(std::string_view prefix,
                                                      DotNames dot_names) = 0;
  // Deletes the files. true on success; a missing file fails only with
  // Missing::fails.
  virtual bool remove(const std::vector<std::string>& names, Missing missing, Urgency urgency) = 0;
  // Renames in the order given, stopping at the first refusal. No target
  // exists beforehand (the commit moves an older file aside first).
  virtual Renamed rename(const std::vector<std::pair<std::string, std::string>>& moves) = 0;
  // The size of a file; nullopt after reporting, unreported with
  // Missing::allowed.
  virtual std::optional<std::uint64_t> size(const std::string& name, Missing missing) = 0;
  // The size and, where the store can tell it, the modification time of a
  // file, as a listing entry carries them; nullopt, unreported, when the
  // file is not there or cannot be asked about. The default asks size()
  // and knows no time.
  virtual std::optional<RemoteFile> file_info(const std::string& name);
  // Stores a small text as name (a commit record, a probe), bounded like a
  // command rather than a data transfer. true, or false after reporting. The
  // default puts it through put().
  virtual bool put_text(const std::string& name, std::string_view text);
  // The content of a small file (a commit record), refused beyond max_bytes;
  // nullopt after reporting. The default gets it through get().
  virtual std::optional<std::string> get_text(const std::string& name, std::size_t max_bytes);
  // Proves that the directory takes new files. basedir is the directory part
  // of the dump file name as dirname gives it ("." for a bare name), which a
  // store that asks the panel's write-test utility passes on. true, or false
  // after reporting.
  virtual bool probe_writable(const std::string& basedir) = 0;

  // Ends the unfinished uploads under names that begin with prefix and that
  // abandoned accepts, on a store that keeps uploads in progress apart from
  // its files (a multipart upload of object storage): those of runs that
  // were killed, or whose clean-up could not reach the server. true, or
  // false after reporting. The default has none to end.
  virtual bool end_abandoned_uploads(std::string_view prefix,
                                     const std::function<bool(const std::string&)>& abandoned);

  // The text of the last failure reported, "" when none was.
  const std::string& last_failure() const { return last_failure_; }

 protected:
  // Reports a failure (report_error) and keeps its text.
  void report(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Keeps a text already reported elsewhere.
  void remember_failure(std::string text) { last_failure_ = std::move(text); }

 private:
  std::string last_failure_;
};

// The store for the location's scheme, nullptr after reporting when it
// cannot be set up.
std::unique_ptr<RemoteStore> open_remote_store(const RemoteLocation& where);
