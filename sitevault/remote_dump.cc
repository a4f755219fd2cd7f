#include "sitevault/remote_dump.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <span>

#include "common/fd_io.h"
#include "common/messages.h"
#include "common/path_names.h"
#include "common/text_format.h"
#include "common/unique_fd.h"
#include "sitevault/dump_files.h"
#include "sitevault/dump_series.h"
#include "sitevault/dump_staging.h"
#include "sitevault/progress_line.h"
#include "sitevault/run_report.h"
#include "sitevault/server_keys.h"
#include "sitevault/signed_stream.h"
#include "sitevault/signing.h"

namespace {

// A commit record names a dump and its parts; anything longer is not one.
constexpr std::size_t kMaxRecordBytes = 1 << 20;
// Longest text of a failure kept for the mail.
constexpr std::size_t kReasonSize = 4096;

// Reports a failure (report_error) and keeps its text as the
// reason for the mail.
void fail(std::string& reason, const char* format, ...) __attribute__((format(printf, 2, 3)));
void fail(std::string& reason, const char* format, ...) {
  va_list args;
  va_start(args, format);
  reason = vformat_text_cut(kReasonSize - 1, format, args);
  va_end(args);
  errno = 0;  // the text says what failed
  report_error("%s", reason.c_str());
}

}  // namespace

std::optional<std::vector<std::string>> RemoteCommitStore::names(std::string_view prefix) {
  auto listed = store_.list(prefix, DotNames::included);
  if (!listed) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(listed->size());
  for (RemoteFile& file : *listed) names.push_back(std::move(file.name));
  return names;
}

std::optional<std::uint64_t> RemoteCommitStore::size(const std::string& name) {
  return store_.size(name, Missing::allowed);
}

int RemoteCommitStore::rename(const std::vector<std::pair<std::string, std::string>>& moves) {
  switch (store_.rename(moves)) {
    case Renamed::done:
      return 0;
    case Renamed::unanswered:
      changes_in_doubt_ = true;
      return -1;
    case Renamed::refused:
      break;
  }
  return -1;
}

int RemoteCommitStore::remove(const std::vector<std::string>& names) {
  return remove_remote_files(store_, names, Missing::allowed, Urgency::command) ? 0 : -1;
}

int RemoteCommitStore::put_record(const std::string& name, std::string_view text) {
  return store_.put_text(name, text) ? 0 : -1;
}

std::optional<std::string> RemoteCommitStore::get_record(const std::string& name) {
  return store_.get_text(name, kMaxRecordBytes);
}

int RemoteCommitStore::make_durable(const std::vector<std::string>&) { return 0; }

bool remove_remote_files(RemoteStore& store, const std::vector<std::string>& names, Missing missing,
                         Urgency urgency) {
  if (names.empty()) return true;
  const std::size_t batch = store.features().delete_batch;
  if (batch == 0 || names.size() <= batch) return store.remove(names, missing, urgency);
  for (std::size_t start = 0; start < names.size(); start += batch) {
    const auto first = names.begin() + static_cast<std::ptrdiff_t>(start);
    const auto last =
        names.begin() + static_cast<std::ptrdiff_t>(std::min(start + batch, names.size()));
    if (!store.remove(std::vector<std::string>(first, last), missing, urgency)) return false;
  }
  return true;
}

bool recover_remote_commits(RemoteStore& store, const std::string& path, std::string* reason) {
  RemoteCommitStore commits(store);
  if (recover_commits(commits) == 0) {
    // Uploads that gone runs of this host left unfinished hold nothing a
    // dump needs; one that cannot be ended now is tried again next time.
    const auto abandoned = [](const std::string& name) {
      const auto run = staging_run(name);
      return run && run_state(*run) == RunState::gone;
    };
    (void)store.end_abandoned_uploads(kStagingMarker, abandoned);
    return true;
  }
  // The mail gives the store's reason (a server that cannot be reached, a
  // refused login) before what could not be done.
  const std::string why = store.last_failure();
  const std::string failed = format_text_cut(
      kReasonSize, "Unable to finish or undo an earlier commit on the FTP server in \"%s\"\n",
      path.c_str());
  errno = 0;
  report_error("%s", failed.c_str());
  if (reason != nullptr) *reason = why + failed;
  return false;
}

std::optional<std::vector<std::string>> remote_dump_files(RemoteStore& store,
                                                          const std::string& dump_name) {
  auto listed = store.list(dump_name, DotNames::may_be_left_out);
  if (!listed) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(listed->size());
  for (RemoteFile& file : *listed) names.push_back(std::move(file.name));
  return dump_files_in_order(std::move(names), dump_name);
}

bool rotate_remote_dumps(RemoteStore& store, const std::string& prefix, int keep,
                         const std::string& protect, bool report_unsigned) {
  RetentionRules rules;
  rules.last = keep;
  return rotate_remote_dumps(store, prefix, rules, protect, report_unsigned);
}

bool rotate_remote_dumps(RemoteStore& store, const std::string& prefix, const RetentionRules& rules,
                         const std::string& protect, bool report_unsigned) {
  auto listed = store.list(prefix, DotNames::may_be_left_out);
  if (!listed) return false;
  std::vector<std::string> names;
  names.reserve(listed->size());
  for (RemoteFile& file : *listed) names.push_back(std::move(file.name));
  // Only the tail of a dump's last file is read; one that cannot be read
  // (reported) is taken for unsigned, so it is neither counted nor deleted.
  const EndsSigned ends_signed = [&store](const std::string& last) {
    const auto tail = store.tail(last, kSignatureTailWindow);
    return tail && parse_signature_tail(*tail).has_value();
  };
  const std::vector<std::string> victims =
      rotation_victims(std::move(names), prefix, rules, protect, ends_signed, report_unsigned);
  return remove_remote_files(store, victims, Missing::fails, Urgency::command);
}

void use_upload_wording(SignedDumpStream& stream, std::string& reason) {
  stream.set_reporter([&reason](const SignedDumpStream& failed) {
    using Failure = SignedDumpStream::Failure;
    std::string text = failed.failure();
    switch (failed.failure_kind()) {
      case Failure::start:
        fail(reason, "Error: %s\n", std::strerror(failed.failure_errno()));
        return;
      case Failure::digest_update:
        text = "Can't count digest for dump";
        break;
      case Failure::read:
        text = "error during reading input stream from hvxdump\n";
        break;
      case Failure::writer_failed:
        text = "Error during hvxdump execution (exit status " +
               std::to_string(failed.writer_exit_status()) + ")";
        break;
      default:
        break;
    }
    errno = failed.failure_errno();
    report_error("error in readHandler: %s\n", text.c_str());
  });
}

namespace {

// Removes the staged files 1 to files after a failed upload, so that nothing
// of a truncated dump is left. They are named, not listed: many servers
// leave names that begin with a dot out of their listings.
void remove_failed_upload(RemoteStore& store, const std::string& staged, std::size_t files) {
  std::vector<std::string> names;
  for (std::size_t part = 1; part <= files; ++part) names.push_back(dump_part_name(staged, part));
  if (!remove_remote_files(store, names, Missing::allowed, Urgency::cleanup)) {
    errno = 0;
    report_error("Unable to remove the incomplete dump \"%s\" from the FTP server\n",
                 staged.c_str());
  }
}

// Before the upload is put in place: the signature lines sent must verify
// against the server's public key. The digest was made on the way out, so
// nothing is read back from the server.
bool signature_sent_verifies(const SignedDumpStream& stream, std::string& reason) {
  const auto key = get_server_public_key();
  if (!key) {
    fail(reason, "Can't get public key to verify dump signature\n");
    return false;
  }
  const SignatureCheck verdict = check_signature_text(stream.signature_lines(), key->c_str());
  if (verdict == SignatureCheck::good) return true;
  fail(reason, "Checking dump signature failed: the dump sent is %s\n",
       signature_check_text(verdict));
  return false;
}

}  // namespace

bool upload_signed_dump(RemoteStore& store, SignedDumpStream& stream, const std::string& dump_name,
                        std::string& reason) {
  // The files go up under a staging name and take the dump's name only once
  // the whole dump is there and verified; an older dump of that name stays
  // intact until then.
  const std::string staged = staged_dump_name(this_run(), dump_name);
  std::vector<std::uint64_t> sizes;
  std::size_t files = 0;
  bool sent_all = true;
  // A failure the store reports during the upload is the mail's reason; one
  // it reported before (a probe, a recovery) is not.
  const std::string earlier_failure = store.last_failure();
  while (stream.more_files()) {
    const std::string name = dump_part_name(staged, files + 1);
    // Even an empty or refused file may have been created on the server.
    ++files;
    const std::optional<std::uint64_t> stored = store.put(name, stream.next_file());
    if (!stored) {
      sent_all = false;
      break;
    }
    sizes.push_back(*stored);
  }
  if (sent_all && stream.complete()) {
    if (!signature_sent_verifies(stream, reason)) {
      remove_failed_upload(store, staged, files);
      return false;
    }
    RemoteCommitStore commits(store);
    if (commit_dump(commits, dump_name, sizes) == 0) return true;
    // The commit cleaned up itself, or left what the next run's recovery
    // needs.
    fail(reason, "Unable to put the dump \"%s\" in place on the FTP server\n", dump_name.c_str());
    return false;
  }
  // The writer is stopped, and what reached the server of this dump is
  // removed; the mail says why the transfer failed.
  reason = store.last_failure() != earlier_failure || stream.failure().empty()
               ? store.last_failure()
               : stream.failure();
  stream.abandon();
  remove_failed_upload(store, staged, std::max<std::size_t>(files, 1));
  return false;
}

namespace {

// Opens the local file a download writes: a regular file, never reached
// through a link and never a FIFO waited on (the repository belongs to the
// panel user).
UniqueFd open_download_target(const std::string& path) {
  UniqueFd fd(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
  struct stat st {};
  if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
    fd.reset();
    errno = EINVAL;
  }
  if (fd) ::fcntl(fd.get(), F_SETFL, O_RDWR);
  return fd;
}

// Fetches the remote files of the dump under the staging name in the
// repository; the sizes of the files written in dump order, or nullopt.
std::optional<std::vector<std::uint64_t>> fetch_staged(
    RemoteStore& store, const std::vector<std::string>& files, const std::string& dump_name,
    const std::string& staged_path, ArrivingDigest& digest, std::string& reason) {
  std::vector<std::uint64_t> sizes;
  // The whole size is asked for only when someone watches it grow.
  std::uint64_t total = 0;
  if (progress_line_enabled()) {
    for (const std::string& name : files) total += store.size(name, Missing::allowed).value_or(0);
  }
  progress_stage("downloading", total);
  for (const std::string& name : files) {
    // "<dump>.partN" becomes "<staged>.partN".
    const std::string local_path = staged_path + name.substr(dump_name.size());
    const UniqueFd fd = open_download_target(local_path);
    if (!fd) {
      const int saved = errno;
      fail(reason, "Error opening file \"%s\": %s\n", local_path.c_str(), std::strerror(saved));
      return std::nullopt;
    }
    digest.start_file(&name == &files.back());
    bool written = true;
    const ByteSink sink = [&](std::span<const char> bytes) {
      if (!write_all(fd.get(), bytes.data(), bytes.size())) {
        const int saved = errno;
        fail(reason, "Error writing file \"%s\": %s\n", local_path.c_str(), std::strerror(saved));
        written = false;
        return false;
      }
      progress_add(bytes.size());
      return digest.feed(bytes.data(), bytes.size());
    };
    if (!store.get(name, sink)) {
      if (written) reason = store.last_failure();
      return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
      const int saved = errno;
      fail(reason, "Unable to read \"%s\": %s\n", local_path.c_str(), std::strerror(saved));
      return std::nullopt;
    }
    sizes.push_back(static_cast<std::uint64_t>(st.st_size));
  }
  return sizes;
}

// Checks the staged download: the signature lines at the end of its last
// file under the server's key, and the digest taken as the files arrived
// against the signed one. The empty text when it is good, else why not.
std::string check_staged(const std::string& repository, const std::string& staged_path,
                         ArrivingDigest& digest) {
  const auto key = get_server_public_key();
  if (!key) return "Can't get public key to verify dump signature";
  const auto files = get_dump_files_in(repository, path_basename(staged_path).c_str());
  const auto opened = files ? open_dump_files(*files) : std::nullopt;
  if (!opened) return "the downloaded files cannot be read";
  const int last = opened->back().fd.get();
  const SignatureCheck verdict = check_dump_signature_fd(last, key->c_str());
  if (verdict != SignatureCheck::good) return signature_check_text(verdict);
  const auto fields = read_signature_fields(last);
  const auto received = fields ? digest.finish(fields->length) : std::nullopt;
  if (!received || *received != fields->magic1) return "corrupted - checksum mismatch";
  return "";
}

}  // namespace

bool download_remote_dump(RemoteStore& store, const std::string& path,
                          const std::string& repository, const std::string& dump_name,
                          std::string& reason) {
  // A commit on the server that a killed run left half done is finished or
  // undone first: the files listed are then a whole dump.
  if (!recover_remote_commits(store, path, &reason)) return false;
  const auto files = remote_dump_files(store, dump_name);
  if (!files) {
    reason = store.last_failure();
    return false;
  }
  if (files->empty()) {
    fail(reason, "Unable to find the dump \"%s\" on the FTP server\n", dump_name.c_str());
    return false;
  }

  // The files arrive under a staging name; a good local dump of the same
  // name is replaced only once the new one has passed its checks.
  const std::string staged_path = repository + "/" + staging_name(dump_name);
  ArrivingDigest digest;
  const auto sizes = fetch_staged(store, *files, dump_name, staged_path, digest, reason);
  if (!sizes) {
    discard_staged_dump(staged_path);
    return false;
  }

  const std::string verdict = check_staged(repository, staged_path, digest);
  if (verdict.empty()) {
    if (commit_staged_dump(staged_path, repository + "/" + dump_name, *sizes) == 0) {
      std::uint64_t bytes = 0;
      for (const std::uint64_t size : *sizes) bytes += size;
      run_report_counts(sizes->size(), bytes);
      return true;
    }
    reason = "Unable to put the dump " + dump_name + " in place in the repository";
    return false;
  }

  discard_staged_dump(staged_path);
  errno = 0;
  report_error("Dump %s is %s\n", dump_name.c_str(), verdict.c_str());
  reason = "Dump signature verification failed for " + dump_name;
  errno = 0;
  report_error("%s", reason.c_str());
  return false;
}
