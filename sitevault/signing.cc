#include "sitevault/signing.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "common/fd_io.h"
#include "common/messages.h"
#include "common/unique_fd.h"
#include "sitevault/dump_files.h"
#include "sitevault/dump_utilities.h"
#include "sitevault/openssl_handles.h"
#include "sitevault/server_keys.h"
#include "sitevault/signed_stream.h"

namespace {

// Blocks in which the writer's stream is written out: each is filled before
// it is written, so the files see few large writes.
constexpr std::size_t kStreamBlock = 256 * 1024;

constexpr std::size_t kSha1Size = 20;

bool is_hex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
}

// Never asks for a pass phrase: an encrypted key simply fails to load.
int no_passphrase(char*, int, int, void*) { return -1; }

// The writer's arguments must send the dump to standard output: " -f - "
// somewhere, or " -f -" closing the text.
bool sends_to_stdout(std::string_view args) {
  if (args.find(" -f - ") != std::string_view::npos) return true;
  auto first = args.find(" -f -");
  return first != std::string_view::npos && first + 5 == args.size();
}

int fail(const char* format, const char* arg = nullptr, bool system_error = false) {
  if (!system_error) errno = 0;
  report_error(format, arg);
  return 1;
}

// Creates or truncates a dump file without following a link; anything but a
// regular file (a FIFO, a device, a directory) is refused, and a FIFO never
// blocks the open.
UniqueFd open_output_file(const std::string& name, mode_t mode) {
  UniqueFd fd(::open(name.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
  struct stat st {};
  if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
    fd.reset();
    errno = EINVAL;
  }
  if (fd) ::fcntl(fd.get(), F_SETFL, O_WRONLY);
  return fd;
}

// Where a dump's stream goes: standard output, or the file output and its
// parts.
struct DumpOutput {
  std::string name;  // the base file, or "-"
  bool to_stdout = false;
  mode_t mode = 0666;
  UniqueFd fd;  // the file being written
};

// A private duplicate of standard output, so that closing it at the end
// reports a failed write. 0, or 1 after reporting.
int open_stdout(DumpOutput& out) {
  std::fflush(stdout);
  out.fd.reset(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  if (!out.fd) return fail("Can't open stdout as output stream", nullptr, true);
  return 0;
}

// Opens the file of part number part (1: the base file) for file output.
// 0, or 1 after reporting.
int open_part(DumpOutput& out, int part) {
  if (out.to_stdout) return 0;
  const std::string name = part == 1 ? out.name : out.name + ".part" + std::to_string(part);
  out.fd = open_output_file(name, out.mode);
  if (!out.fd) return fail("Can't open file '%s' for output", name.c_str(), true);
  return 0;
}

// Writes every file the stream yields, in blocks of kStreamBlock: a full
// part holds exactly the split size, and when the stream ends right at a
// part boundary the next part receives only the signature lines. The last
// file is closed here, so that a failed write of it is seen. 0, or 1 after
// reporting (the stream reports its own failures).
int write_stream(SignedDumpStream& stream, DumpOutput& out) {
  std::vector<char> buf(kStreamBlock);
  for (int part = 1; stream.more_files(); ++part) {
    if (open_part(out, part) != 0) return 1;
    ByteSource source = stream.next_file();
    for (;;) {
      const auto n = source(buf);
      if (!n) return 1;
      if (*n == 0) break;
      if (!write_all(out.fd.get(), buf.data(), *n))
        return fail("Error writing dump to file", nullptr, true);
    }
  }
  if (!stream.complete()) return 1;
  if (::close(out.fd.release()) != 0 && errno != EINTR)
    return fail("Error writing dump to file", nullptr, true);
  return 0;
}

}  // namespace

int make_signed_dump(const char* arguments, const char* output, std::uint64_t split_size) {
  return make_signed_dump(arguments, output, split_size, nullptr, 0666, -1);
}

int make_signed_dump(const char* arguments, const char* output, std::uint64_t split_size,
                     std::vector<std::uint64_t>* part_sizes, mode_t mode, int error_fd) {
  if (output == nullptr || *output == '\0') return fail("Filename not specified!");
  const char* args = arguments ? arguments : "";
  if (!sends_to_stdout(args))
    return fail("hvxdump call don't contains output to stdout! '%s'", args);

  const std::string command = hvxdump_command(args, false);
  DumpOutput out;
  out.name = output;
  out.to_stdout = out.name == "-";
  out.mode = mode;
  if (out.to_stdout && open_stdout(out) != 0) return 1;

  // The shell hands its process over to the writer, so that a writer ended
  // by a signal is seen as such rather than as the shell's exit status. The
  // stream's failures read as its own texts, but for the command shown.
  SignedDumpStream stream;
  stream.set_reporter([&command](const SignedDumpStream& failed) {
    errno = failed.failure_errno();
    if (failed.failure_kind() == SignedDumpStream::Failure::start) {
      fail("Can't run '%s'", command.c_str(), true);
    } else {
      fail("%s", failed.failure().c_str(), errno != 0);
    }
  });
  if (!stream.start("exec " + command, error_fd, out.to_stdout ? 0 : split_size)) return 1;
  if (write_stream(stream, out) != 0) return 1;
  if (part_sizes != nullptr) *part_sizes = stream.file_sizes();
  return 0;
}

std::optional<std::string> count_signature(const char* hex_digest, const char* private_pem) {
  EvpPkeyPtr key;
  if (private_pem != nullptr) {
    BioPtr bio(BIO_new_mem_buf(private_pem, -1));
    if (bio) key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, no_passphrase, nullptr));
  }
  auto digest = hex_decode(hex_digest);
  if (!key || !digest) {
    ERR_clear_error();
    errno = 0;
    report_errno("Can't initialize values in count_signature()\n");
    return std::nullopt;
  }
  // RSASSA-PKCS1-v1_5 over the SHA-1 digest: the DigestInfo of the 20 bytes
  // is padded and signed, as many signature bytes as the modulus has.
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  std::size_t sig_len = 0;
  std::vector<unsigned char> sig;
  bool ok = ctx && EVP_PKEY_sign_init(ctx.get()) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1 &&
            EVP_PKEY_sign(ctx.get(), nullptr, &sig_len, digest->data(), digest->size()) == 1;
  if (ok) {
    sig.resize(sig_len);
    ok = EVP_PKEY_sign(ctx.get(), sig.data(), &sig_len, digest->data(), digest->size()) == 1;
  }
  if (!ok) {
    errno = 0;
    report_errno("Can't sign dump\n");
    report_openssl_errors();
    return std::nullopt;
  }
  return hex_encode(sig.data(), static_cast<long>(sig_len));
}

bool verify_dump_fields(FILE* last_file, const char* public_pem) {
  auto magic1 = find_dump_field("Magic1: ", last_file);
  if (!magic1) return false;
  auto magic2 = find_dump_field("Magic2: ", last_file);
  if (!magic2) return false;
  return check_signature_fields(*magic1, *magic2, public_pem) == SignatureCheck::good;
}

SignatureCheck check_signature_fields(const std::string& magic1, const std::string& magic2,
                                      const char* public_pem) {
  EvpPkeyPtr key = read_public_key(public_pem);
  if (!key) return SignatureCheck::bad_key;
  const auto signature_digits = 2 * static_cast<std::size_t>(EVP_PKEY_get_size(key.get()));
  if (magic1.size() != 2 * kSha1Size || !is_hex(magic1) || magic2.size() != signature_digits ||
      !is_hex(magic2))
    return SignatureCheck::damaged;
  auto digest = hex_decode(magic1.c_str());
  auto signature = hex_decode(magic2.c_str());
  if (!digest || !signature) return SignatureCheck::damaged;

  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1 &&
                  EVP_PKEY_verify(ctx.get(), signature->data(), signature->size(), digest->data(),
                                  digest->size()) == 1;
  // A failed check leaves its reason queued; it is the answer, not an error.
  ERR_clear_error();
  if (ok) return SignatureCheck::good;

  // A signature that opens to a well-padded SHA-1 DigestInfo under this key
  // was made with it, for other content; anything else was not.
  PkeyCtxPtr recover(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  std::vector<unsigned char> recovered(static_cast<std::size_t>(EVP_PKEY_get_size(key.get())));
  std::size_t recovered_len = recovered.size();
  const bool ours = recover && EVP_PKEY_verify_recover_init(recover.get()) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(recover.get(), RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_CTX_set_signature_md(recover.get(), EVP_sha1()) == 1 &&
                    EVP_PKEY_verify_recover(recover.get(), recovered.data(), &recovered_len,
                                            signature->data(), signature->size()) == 1;
  ERR_clear_error();
  return ours ? SignatureCheck::mismatch : SignatureCheck::foreign_key;
}

SignatureCheck check_dump_signature_fd(int last_fd, const char* public_pem) {
  auto fields = read_signature_fields(last_fd);
  if (!fields) return SignatureCheck::damaged;
  return check_signature_fields(fields->magic1, fields->magic2, public_pem);
}

SignatureCheck check_signature_text(const std::string& lines, const char* public_pem) {
  std::string_view text(lines);
  constexpr std::string_view kMagic1 = "Magic1: ", kMagic2 = "\nMagic2: ";
  const auto second = text.find(kMagic2);
  if (!text.starts_with(kMagic1) || second == std::string_view::npos || !text.ends_with('\n'))
    return SignatureCheck::damaged;
  const std::string magic1(text.substr(kMagic1.size(), second - kMagic1.size()));
  const std::size_t value2 = second + kMagic2.size();
  const std::string magic2(text.substr(value2, text.size() - 1 - value2));
  return check_signature_fields(magic1, magic2, public_pem);
}

const char* signature_check_text(SignatureCheck verdict) {
  switch (verdict) {
    case SignatureCheck::good:
      return "signed by the server's key";
    case SignatureCheck::damaged:
      return "corrupted - signature lines damaged";
    case SignatureCheck::mismatch:
      return "corrupted - signature does not match the digest";
    case SignatureCheck::foreign_key:
      return "signed by another key";
    case SignatureCheck::bad_key:
      break;
  }
  return "not verifiable: the server's public key cannot be read";
}

std::string check_open_dump(const open_dump& files, const char* public_pem) {
  if (files.empty()) return signature_check_text(SignatureCheck::damaged);
  const SignatureCheck verdict = check_dump_signature_fd(files.back().fd.get(), public_pem);
  if (verdict != SignatureCheck::good) return signature_check_text(verdict);
  const auto fields = read_signature_fields(files.back().fd.get());
  const auto digest = digest_open_dump(files);
  if (!fields || !digest || fields->magic1 != *digest) return "corrupted - checksum mismatch";
  return "";
}

namespace {

// verify_dump_fields on the last of the files listed; false without a list.
bool verify_listed_dump(const std::optional<file_list>& files, const char* public_pem) {
  if (!files) return false;
  const std::string& last = files->back();
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(last.c_str(), "re"), &std::fclose);
  if (!file) {
    report_errno("Can't open file %s: ", last.c_str());
    return false;
  }
  return verify_dump_fields(file.get(), public_pem);
}

}  // namespace

bool verify_dump_signature_in(const std::string& directory, const char* dump,
                              const char* public_pem) {
  return verify_listed_dump(get_dump_files_in(directory, dump), public_pem);
}
