#include "sitevault/dump_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "common/c_handles.h"
#include "common/messages.h"
#include "common/path_names.h"
#include "common/text_format.h"
#include "common/unique_fd.h"
#include "sitevault/dump_series.h"
#include "sitevault/openssl_handles.h"
#include "sitevault/progress_line.h"
#include "sitevault/repository_dir.h"
#include "sitevault/run_report.h"

namespace {

constexpr std::string_view kMagic1 = "Magic1: ";
constexpr std::string_view kMagic2 = "Magic2: ";

// Names that live in a dump repository but never belong to a dump.
constexpr const char* kReservedNames[] = {"backup_restore.err_log", "backup_restore.log",
                                          "backup_restore.lock", "description.tmp"};

constexpr std::size_t kDigestBlock = 1 << 20;

std::string last_component(const char* path) {
  std::string_view p(path ? path : "");
  auto slash = p.rfind('/');
  if (slash != std::string_view::npos) p.remove_prefix(slash + 1);
  if (p.size() > 4096) p = p.substr(0, 4096);
  return std::string(p);
}

bool is_reserved(const std::string& name) {
  return std::any_of(std::begin(kReservedNames), std::end(kReservedNames),
                     [&](const char* r) { return name == r; });
}

// Reads the bytes [offset, offset+len) of fd completely; false on error or
// when the file is shorter.
bool pread_all(int fd, char* out, std::size_t len, off_t offset) {
  while (len > 0) {
    ssize_t n = ::pread(fd, out, len, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    len -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

// Feeds the bytes [0, limit) of fd to the digest, reading at explicit
// offsets so that the descriptor's own offset is left alone.
bool digest_fd(EVP_MD_CTX* ctx, int fd, std::uint64_t limit, std::vector<char>& buf) {
  std::uint64_t offset = 0;
  while (offset < limit) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(limit - offset, buf.size()));
    const ssize_t n = ::pread(fd, buf.data(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // an error, or the file shrank since it was opened
    if (EVP_DigestUpdate(ctx, buf.data(), static_cast<std::size_t>(n)) != 1) return false;
    offset += static_cast<std::uint64_t>(n);
    progress_add(static_cast<std::uint64_t>(n));
  }
  return true;
}

}  // namespace

unsigned long dump_part_number(const std::string& base, const std::string& name) {
  if (base.empty() || base == "." || base == "..") return 0;
  if (name == base) return 1;
  const std::string prefix = base + ".part";
  if (name.size() < prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return 0;
  unsigned long number = 0;
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    const char c = name[i];
    if (c < '0' || c > '9') return 0;
    const unsigned long digit = static_cast<unsigned long>(c - '0');
    number = number > (~0UL - digit) / 10 ? ~0UL : number * 10 + digit;
  }
  // "<base>.part", ".part0" and ".part1" are never written but belong to the
  // dump; they sort right after the base file.
  return std::max(number, 1UL);
}

bool is_reserved_dump_name(const std::string& name) { return is_reserved(name); }

std::optional<file_list> get_dump_files_in(const std::string& directory, const char* dump) {
  const auto held = RepositoryDir::open_directory(directory);
  if (!held) {
    report_error("Unable to find files: unable to locate repository in specified path\n");
    return std::nullopt;
  }
  return get_dump_files_at(*held, dump);
}

std::optional<file_list> get_dump_files_at(const RepositoryDir& directory, const char* dump) {
  const std::string base = last_component(dump);
  DirPtr dir = directory.stream();
  if (!dir) {
    report_error("Unable to find files: unable to locate repository in specified path\n");
    return std::nullopt;
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string name(entry->d_name);
    if (!is_reserved(name) && dump_part_number(base, name) != 0) names.push_back(std::move(name));
  }
  std::vector<std::string> found = dump_files_in_order(std::move(names), base);
  if (found.empty()) return std::nullopt;
  file_list files;
  files.reserve(found.size());
  for (const std::string& name : found) files.push_back(directory.path_of(name));
  return files;
}

std::optional<std::string> find_dump_field(const char* field, FILE* file) {
  std::optional<SignatureFields> tail;
  if (file != nullptr) {
    std::fflush(file);
    tail = read_signature_fields(fileno(file));
  }
  if (tail) {
    std::string_view f(field ? field : "");
    if (f == kMagic1) return tail->magic1;
    if (f == kMagic2) return tail->magic2;
  }
  errno = 0;
  report_error("Can't find field %s in dump", field ? field : "");
  return std::nullopt;
}

std::optional<SignatureFields> read_signature_fields(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size <= 0) return std::nullopt;
  const auto size = static_cast<std::size_t>(st.st_size);
  const std::size_t window = std::min(size, kSignatureTailWindow);
  std::string tail(window, '\0');
  if (!pread_all(fd, tail.data(), window, static_cast<off_t>(size - window))) {
    return std::nullopt;
  }
  return parse_signature_tail(tail);
}

std::optional<SignatureFields> parse_signature_tail(std::string_view tail) {
  // The tail reads "...Magic1: X\nMagic2: Y\n". The lines are found by
  // position, so dump content that happens to look like a signature field is
  // never mistaken for one. The stream need not end with a line feed, so the
  // "Magic1: " field is the last occurrence of its name before the final line
  // rather than the start of a line.
  if (tail.empty() || tail.back() != '\n') return std::nullopt;
  std::string_view t = tail;
  t.remove_suffix(1);
  auto nl2 = t.rfind('\n');
  if (nl2 == std::string_view::npos) return std::nullopt;
  std::string_view line2 = t.substr(nl2 + 1);
  std::string_view before = t.substr(0, nl2);
  auto start1 = before.rfind(kMagic1);
  if (start1 == std::string_view::npos || before.find('\n', start1) != std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view line1 = before.substr(start1);
  if (!line2.starts_with(kMagic2)) return std::nullopt;
  SignatureFields out;
  out.magic1 = std::string(line1.substr(kMagic1.size()));
  out.magic2 = std::string(line2.substr(kMagic2.size()));
  out.length = tail.size() - start1;
  return out;
}

namespace {

// Opens the listed files in order, each through open_one. Only regular
// files are taken (a FIFO never blocks the open).
template <typename Open>
std::optional<open_dump> open_listed(const file_list& files, Open open_one) {
  open_dump opened;
  opened.reserve(files.size());
  for (const std::string& path : files) {
    // Non-blocking only for the open itself: a FIFO would wait for a writer.
    UniqueFd fd(open_one(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd && ::fstat(fd.get(), &st) == 0 && !S_ISREG(st.st_mode)) {
      fd.reset();
      errno = EINVAL;
    }
    if (!fd) {
      report_error("Can't open file '%s' for output", path.c_str());
      return std::nullopt;
    }
    ::fcntl(fd.get(), F_SETFL, O_RDONLY);
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    opened.push_back({path, std::move(fd), static_cast<std::uint64_t>(st.st_size)});
  }
  return opened;
}

}  // namespace

std::optional<open_dump> open_dump_files(const file_list& files) {
  return open_listed(
      files, [](const std::string& path, int flags) { return ::open(path.c_str(), flags); });
}

std::optional<open_dump> open_dump_files_at(const RepositoryDir& directory,
                                            const file_list& files) {
  return open_listed(files, [&](const std::string& path, int flags) {
    return ::openat(directory.fd(), path_basename(path).c_str(), flags | directory.file_flags());
  });
}

std::optional<std::string> digest_open_dump(const open_dump& files) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) {
    report_openssl_errors();
    errno = 0;
    report_error("Can't initialize BIO stream");
    return std::nullopt;
  }
  std::vector<char> buf(kDigestBlock);
  std::uint64_t total = 0;
  for (const OpenDumpFile& file : files) total += file.size;
  progress_stage("verifying", total);
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::uint64_t limit = files[i].size;
    // The stream ends where the signature lines of the last file begin.
    if (i + 1 == files.size()) {
      if (auto tail = read_signature_fields(files[i].fd.get())) limit -= tail->length;
    }
    if (!digest_fd(ctx.get(), files[i].fd.get(), limit, buf)) {
      report_openssl_errors();
      report_error("Can't count digest for dump");
      return std::nullopt;
    }
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), md, &md_len) != 1) {
    report_openssl_errors();
    errno = 0;
    report_error("Can't extract digest from BIO chain");
    return std::nullopt;
  }
  run_report_counts(files.size(), total);
  return hex_encode(md, static_cast<long>(md_len));
}

struct ArrivingDigest::Context {
  MdCtxPtr md;
};

ArrivingDigest::ArrivingDigest() : context_(std::make_shared<Context>()) {
  context_->md.reset(EVP_MD_CTX_new());
  failed_ = !context_->md || EVP_DigestInit_ex(context_->md.get(), EVP_sha1(), nullptr) != 1;
}

bool ArrivingDigest::feed(const char* data, std::size_t size) {
  if (failed_) return false;
  if (!last_) {
    failed_ = EVP_DigestUpdate(context_->md.get(), data, size) != 1;
    return !failed_;
  }
  // The signature lines lie within the last window of the file: everything
  // before it is digested as it comes.
  held_.append(data, size);
  if (held_.size() >= 2 * kSignatureTailWindow) {
    const std::size_t ready = held_.size() - kSignatureTailWindow;
    failed_ = EVP_DigestUpdate(context_->md.get(), held_.data(), ready) != 1;
    held_.erase(0, ready);
  }
  return !failed_;
}

std::optional<std::string> ArrivingDigest::finish(std::uint64_t signature_length) {
  if (failed_ || signature_length > held_.size()) return std::nullopt;
  const std::size_t rest = held_.size() - static_cast<std::size_t>(signature_length);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  if (EVP_DigestUpdate(context_->md.get(), held_.data(), rest) != 1 ||
      EVP_DigestFinal_ex(context_->md.get(), md, &md_len) != 1) {
    report_openssl_errors();
    return std::nullopt;
  }
  return hex_encode(md, static_cast<long>(md_len));
}

std::optional<std::string> count_digest_in(const std::string& directory, const char* dump) {
  const auto held = RepositoryDir::open_directory(directory);
  if (!held) {
    report_error("Unable to find files: unable to locate repository in specified path\n");
    return std::nullopt;
  }
  return count_digest_at(*held, dump);
}

std::optional<std::string> count_digest_at(const RepositoryDir& directory, const char* dump) {
  auto files = get_dump_files_at(directory, dump);
  if (!files) return std::nullopt;
  auto opened = open_dump_files_at(directory, *files);
  if (!opened) return std::nullopt;
  return digest_open_dump(*opened);
}

int check_dump_digest_in(const std::string& directory, const char* dump) {
  const auto held = RepositoryDir::open_directory(directory);
  if (!held) {
    report_error("Unable to find files: unable to locate repository in specified path\n");
    return 0;
  }
  return check_dump_digest_at(*held, dump);
}

int check_dump_digest_at(const RepositoryDir& directory, const char* dump) {
  auto files = get_dump_files_at(directory, dump);
  if (!files) return 0;
  const std::string& last = files->back();
  UniqueFd fd(::openat(directory.fd(), path_basename(last).c_str(),
                       O_RDONLY | O_CLOEXEC | directory.file_flags()));
  std::unique_ptr<FILE, int (*)(FILE*)> file(fd ? ::fdopen(fd.get(), "re") : nullptr, &std::fclose);
  if (!file) {
    report_errno("Can't open file %s: ", last.c_str());
    return -1;
  }
  fd.release();  // the stream owns it now
  auto stored = find_dump_field("Magic1: ", file.get());
  if (!stored) return 0;
  auto digest = count_digest_at(directory, dump);
  if (!digest) return 0;
  return *stored == *digest ? 1 : 0;
}

std::string hex_encode(const unsigned char* bytes, long count) {
  std::string out;
  if (bytes == nullptr || count <= 0) return out;
  // Two digits a byte and the terminating NUL that OpenSSL writes.
  out.resize(static_cast<std::size_t>(count) * 2 + 1);
  std::size_t written = 0;
  if (OPENSSL_buf2hexstr_ex(out.data(), out.size(), &written, bytes,
                            static_cast<std::size_t>(count), '\0') != 1)
    return {};
  out.pop_back();
  // OpenSSL writes upper-case digits; dumps carry lower case.
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return out;
}

// Hand-written rather than OPENSSL_hexstr2buf_ex, which refuses a text with
// a non-digit: here a pair converts like strtol and stops at its first
// non-digit, and an odd-length text is read with a leading zero.
std::optional<std::vector<unsigned char>> hex_decode(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::string padded(text);
  if (padded.size() % 2 != 0) padded.insert(padded.begin(), '0');
  std::vector<unsigned char> out(padded.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = OPENSSL_hexchar2int(static_cast<unsigned char>(padded[2 * i]));
    const int lo = OPENSSL_hexchar2int(static_cast<unsigned char>(padded[2 * i + 1]));
    int byte = 0;
    if (hi >= 0) byte = lo >= 0 ? hi * 16 + lo : hi;
    out[i] = static_cast<unsigned char>(byte);
  }
  return out;
}

void report_errno(const char* format, ...) {
  const int saved = errno;
  va_list args;
  va_start(args, format);
  const std::string text = vformat_text_cut(4095, format, args);
  va_end(args);
  if (saved == 0) {
    write_error_text(text.c_str());
  } else {
    write_error_text((text + ": " + std::strerror(saved) + "\n").c_str());
  }
  errno = saved;
}

void report_openssl_errors() {
  char text[256];
  while (unsigned long e = ERR_get_error()) {
    ERR_error_string_n(e, text, sizeof text);
    write_error_text((std::string(text) + "\n").c_str());
  }
}
