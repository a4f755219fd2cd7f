// Signed dump format: the files of a dump and their order, signature fields,
// digest recomputation, hex coding and the signing code's reporter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"

class RepositoryDir;

// Paths of a dump's files in dump order: the base file, then the part files
// by part number. The last one holds the signature lines.
using file_list = std::vector<std::string>;

// Looks the dump up in directory (only the last path component of the
// argument is used). nullopt when the directory cannot be opened (reported)
// or no file of the dump exists (not reported).
std::optional<file_list> get_dump_files_in(const std::string& directory, const char* dump);
// The same lookup in a directory held open (no link followed on the way in);
// the paths listed are the directory's path and the file names.
std::optional<file_list> get_dump_files_at(const RepositoryDir& directory, const char* dump);

// True for the four names a repository keeps for itself (logs, lock file,
// description), which never name a dump.
bool is_reserved_dump_name(const std::string& name);

// Part number of a dump file name relative to its base name: 1 for the base
// file, N for "<base>.partN", 0 when the name does not belong to the dump.
unsigned long dump_part_number(const std::string& base, const std::string& name);

// Value of "Magic1: " / "Magic2: " in the last lines of the open last file.
std::optional<std::string> find_dump_field(const char* field, FILE* file);
// SHA-1 hex digest of a dump looked up as get_dump_files_in does; nullopt when
// it cannot be found, opened or read.
std::optional<std::string> count_digest_in(const std::string& directory, const char* dump);
std::optional<std::string> count_digest_at(const RepositoryDir& directory, const char* dump);
// 1 when the stored digest equals the recomputed one, else 0; -1 (reported
// with report_errno) when the last file exists but cannot be opened.
int check_dump_digest_in(const std::string& directory, const char* dump);
int check_dump_digest_at(const RepositoryDir& directory, const char* dump);

// One file of a dump held open, with its size when it was opened. Checking a
// dump and then using it through the same descriptors means nothing can swap
// or shorten the files in between.
struct OpenDumpFile {
  std::string path;
  UniqueFd fd;
  std::uint64_t size = 0;
};
using open_dump = std::vector<OpenDumpFile>;

// Opens the files in order. Only regular files are taken (a FIFO never
// blocks the open). nullopt after reporting "Can't open file '%s' for
// output" with the path that failed.
std::optional<open_dump> open_dump_files(const file_list& files);
// The same for files listed by get_dump_files_at: each is opened by its name
// relative to the directory; in a domain's repository a link in its place is
// refused.
std::optional<open_dump> open_dump_files_at(const RepositoryDir& directory, const file_list& files);

// The values of the two signature lines at the end of a dump's last file and
// the bytes those lines take; nullopt when the file does not end with them.
struct SignatureFields {
  std::string magic1;
  std::string magic2;
  std::uint64_t length = 0;
};
std::optional<SignatureFields> read_signature_fields(int fd);
// How far back from the end of the last file the signature lines are looked
// for. Both lines of a 1024-bit key take 314 bytes; this leaves room for keys
// of up to 64 kbit.
inline constexpr std::size_t kSignatureTailWindow = 32768;
// The same fields from the last bytes of a last file (at most
// kSignatureTailWindow of them, all of a shorter file): the one rule of what
// well-formed signature lines are, for a local file and a remote one alike.
std::optional<SignatureFields> parse_signature_tail(std::string_view tail);

// SHA-1 of the dump stream held by the open files (the signature lines of
// the last one left out), as 40 lower-case hex digits. Reads with pread up
// to each file's recorded size, so the descriptors can be used again.
// nullopt after reporting.
std::optional<std::string> digest_open_dump(const open_dump& files);

// Lower-case hex digits of count bytes (empty for none).
// The SHA-1 of a dump stream taken as its files arrive, in dump order. The
// end of the last file, where the signature lines stand, is held back until
// the file is complete, so nothing has to be read again afterwards.
class ArrivingDigest {
 public:
  ArrivingDigest();
  // Announces the next file; last is true for the dump's last file.
  void start_file(bool last) { last_ = last; }
  // Takes the next bytes of the current file; false once digesting failed.
  bool feed(const char* data, std::size_t size);
  // The digest (40 lower-case hex digits) of the stream without the
  // signature_length bytes that ended the last file; nullopt on failure.
  std::optional<std::string> finish(std::uint64_t signature_length);
  // The end of the last file held back so far (at least its last
  // kSignatureTailWindow bytes, or all of a shorter file): where its
  // signature lines are looked for once it is complete.
  std::string_view held_tail() const { return held_; }

 private:
  struct Context;
  std::shared_ptr<Context> context_;
  std::string held_;
  bool last_ = false;
  bool failed_ = false;
};

std::string hex_encode(const unsigned char* bytes, long count);
// The bytes of a text of hex digit pairs; nullopt when it is not one.
std::optional<std::vector<unsigned char>> hex_decode(const char* text);

// The signing code's reporters, which keep the form their output has always
// had: standard error alone, no program-name prefix (write_error_text).
// report_errno writes the formatted text (cut at 4095 bytes) as it stands,
// or, when errno is set (which it keeps), the text, ": ", errno's text and a
// line feed.
void report_errno(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes OpenSSL's error queue to standard error, one line each.
void report_openssl_errors();
