#include "sitevault/dump_check.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/messages.h"
#include "sitevault/dump_files.h"
#include "sitevault/dump_series.h"
#include "sitevault/progress_line.h"
#include "sitevault/remote/remote_store.h"
#include "sitevault/remote_dump.h"
#include "sitevault/repository_dir.h"
#include "sitevault/run_report.h"
#include "sitevault/server_keys.h"

int dump_check_verdict(const char* dump, bool digest_matches, const SignatureJudge& judge) {
  if (!digest_matches) {
    report_error("Dump %s is corrupted - checksum mismatch", dump);
    return 1;
  }
  const auto key = get_server_public_key();
  if (!key) {
    errno = 0;
    report_error("Can't get public key to verify dump signature\n");
    return 1;
  }
  const SignatureCheck verdict = judge(key->c_str());
  if (verdict == SignatureCheck::good) return 0;
  errno = 0;
  report_error("Dump %s is %s", dump, signature_check_text(verdict));
  return 1;
}

int check_local_dump(const std::string& directory_path, const std::string& dump) {
  // The dump's directory is held for the whole check: a repository replaced
  // by a link is no repository, as if it were missing.
  const auto directory = RepositoryDir::open_directory(directory_path);
  if (!directory)
    report_error("Unable to find files: unable to locate repository in specified path\n");
  const int digest = directory ? check_dump_digest_at(*directory, dump.c_str()) : 0;
  // A last file that is listed but cannot be opened gives no verdict.
  if (digest < 0) return -1;
  return dump_check_verdict(dump.c_str(), digest == 1, [&](const char* public_pem) {
    const auto files = get_dump_files_at(*directory, dump.c_str());
    const auto opened = files ? open_dump_files_at(*directory, *files) : std::nullopt;
    return opened ? check_dump_signature_fd(opened->back().fd.get(), public_pem)
                  : SignatureCheck::damaged;
  });
}

std::optional<StreamedDump> stream_remote_dump(RemoteStore& store, const std::string& dump_name) {
  const auto files = remote_dump_files(store, dump_name);
  if (!files) return std::nullopt;
  errno = 0;
  if (files->empty()) {
    report_error("Unable to find the dump \"%s\" on the FTP server\n", dump_name.c_str());
    return std::nullopt;
  }
  if (const unsigned long missing = first_missing_part(*files, dump_name); missing != 0) {
    report_error("The dump \"%s\" on the FTP server is incomplete: its part %lu is missing\n",
                 dump_name.c_str(), missing);
    return std::nullopt;
  }
  // The whole size is asked for only when someone watches it grow.
  std::uint64_t total = 0;
  if (progress_line_enabled()) {
    for (const std::string& name : *files) total += store.size(name, Missing::allowed).value_or(0);
  }
  progress_stage("verifying", total);
  ArrivingDigest digest;
  std::uint64_t received = 0;
  for (const std::string& name : *files) {
    digest.start_file(&name == &files->back());
    bool digested = true;
    const ByteSink sink = [&](std::span<const char> bytes) {
      progress_add(bytes.size());
      received += bytes.size();
      digested = digest.feed(bytes.data(), bytes.size());
      return digested;
    };
    if (!store.get(name, sink)) {
      if (!digested) {
        errno = 0;
        report_error("Can't count digest for dump");
      }
      return std::nullopt;
    }
  }
  // The signature lines are looked for where a local check looks: within
  // the last kSignatureTailWindow bytes of the last file.
  run_report_counts(files->size(), received);
  std::string_view tail = digest.held_tail();
  if (tail.size() > kSignatureTailWindow) tail.remove_prefix(tail.size() - kSignatureTailWindow);
  StreamedDump streamed;
  streamed.fields = parse_signature_tail(tail);
  if (streamed.fields) streamed.digest = digest.finish(streamed.fields->length);
  return streamed;
}

int check_remote_dump(RemoteStore& store, const std::string& dump_name) {
  const std::optional<StreamedDump> streamed = stream_remote_dump(store, dump_name);
  if (!streamed) return -1;
  const std::optional<SignatureFields>& fields = streamed->fields;
  errno = 0;
  if (!fields) report_error("Can't find field %s in dump", "Magic1: ");
  errno = 0;
  return dump_check_verdict(
      dump_name.c_str(), streamed->digest_matches(), [&](const char* public_pem) {
        return check_signature_fields(fields->magic1, fields->magic2, public_pem);
      });
}
