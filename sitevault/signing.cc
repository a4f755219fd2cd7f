#include "signing.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "c_handles.h"
#include "dump_files.h"
#include "dump_utilities.h"
#include "fd_io.h"
#include "messages.h"
#include "openssl_handles.h"
#include "server_keys.h"
#include "shell_child.h"
#include "unique_fd.h"

UploadState upload_state;

namespace {

// Blocks in which the writer's stream is moved. A pipe holds 64 KiB, so
// every read takes what the writer has produced so far.
constexpr std::size_t kStreamBlock = 256 * 1024;
constexpr int kPipeSize = 1 << 20;

constexpr std::size_t kSha1Size = 20;

bool is_hex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
}

// Never asks for a pass phrase: an encrypted key simply fails to load.
int no_passphrase(char*, int, int, void*) { return -1; }

MdCtxPtr new_sha1_context() {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) == 1) return ctx;
  return nullptr;
}

std::optional<std::string> finish_digest(EVP_MD_CTX* ctx) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx, md, &len) != 1) return std::nullopt;
  return hex_encode(md, static_cast<long>(len));
}

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

std::optional<std::string> signature_lines(const std::string& digest, std::string* failure) {
  auto key = get_server_private_key();
  if (!key) {
    *failure = "Can't get server's private key";
    return std::nullopt;
  }
  auto signature = count_signature(digest.c_str(), key->c_str());
  if (!signature) {
    *failure = "Can't count dump signature";
    return std::nullopt;
  }
  return "Magic1: " + digest + "\nMagic2: " + *signature + "\n";
}

// State of readHandler besides upload_state: the running digest and the part
// of the signature lines the transfer has not taken yet.
struct HandlerState {
  MdCtxPtr digest;
  std::string pending;
};
HandlerState handler_state;

std::size_t handler_failure(const char* text) {
  upload_state.read_error = true;
  upload_state.read_error_text = std::string(text).substr(0, 1000);
  return 0;
}

std::size_t hand_over_pending(char* buffer, std::size_t room) {
  auto& pending = handler_state.pending;
  const std::size_t n = std::min(room, pending.size());
  std::memcpy(buffer, pending.data(), n);
  pending.erase(0, n);
  if (pending.empty()) upload_state.signature_sent = true;
  return n;
}

// The dump writer: a shell child in a group of its own whose standard output
// is read here. Until finished, going out of scope closes the pipe (the
// writer's next write fails) and reaps the child.
struct WriterChild {
  pid_t pid = -1;
  FilePtr stream;

  bool start(const std::string& shell_line, int error_fd) {
    auto pipe = make_pipe(O_CLOEXEC);
    if (!pipe) return false;
    pid = start_shell_child(shell_line, -1, pipe->write.get(), error_fd);
    if (pid < 0) return false;
    pipe->write.reset();
    // A larger pipe lets the writer run ahead instead of waiting for every
    // 64 KiB; the default size is kept when the system refuses.
    ::fcntl(pipe->read.get(), F_SETPIPE_SZ, kPipeSize);
    stream.reset(::fdopen(pipe->read.get(), "r"));
    if (stream) (void)pipe->read.release();
    return static_cast<bool>(stream);
  }
  int finish() {
    stream.reset();
    const int status = wait_shell_child(pid);
    pid = -1;
    return status;
  }
  ~WriterChild() {
    if (pid > 0) finish();
  }
};

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
  std::uint64_t part_limit = 0;      // bytes of a full part; 0: one file
  UniqueFd fd;                       // the file being written
  std::vector<std::uint64_t> sizes;  // bytes written to each file so far
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

// Moves the writer's stream into the output, digesting it on the way. A full
// part holds exactly part_limit bytes; when the stream ends right at a part
// boundary, the next part is opened and receives only the signature lines.
// 0, or 1 after reporting.
int copy_stream(FILE* pipe, EVP_MD_CTX* digest, DumpOutput& out) {
  std::vector<char> buf(kStreamBlock);
  bool stream_end = false;
  for (int part = 1; !stream_end; ++part) {
    if (open_part(out, part) != 0) return 1;
    std::uint64_t in_part = 0;
    while (out.part_limit == 0 || in_part < out.part_limit) {
      std::size_t want = buf.size();
      if (out.part_limit != 0)
        want = static_cast<std::size_t>(std::min<std::uint64_t>(want, out.part_limit - in_part));
      const std::size_t n = std::fread(buf.data(), 1, want, pipe);
      if (n > 0) {
        if (EVP_DigestUpdate(digest, buf.data(), n) != 1) {
          report_openssl_errors();
          return fail("Error counting digest");
        }
        if (!write_all(out.fd.get(), buf.data(), n))
          return fail("Error writing dump to file", nullptr, true);
        in_part += n;
      }
      if (n < want) {
        if (std::ferror(pipe)) return fail("Error reading dump stream from hvxdump", nullptr, true);
        stream_end = true;
        break;
      }
    }
    out.sizes.push_back(in_part);
  }
  return 0;
}

// Ends the digest, appends the signature lines to the last file and closes
// it. 0, or 1 after reporting.
int append_signature(EVP_MD_CTX* digest, DumpOutput& out) {
  const auto hex = finish_digest(digest);
  if (!hex) {
    report_openssl_errors();
    return fail("Can't extract digest from BIO chain");
  }
  std::string failure;
  const auto lines = signature_lines(*hex, &failure);
  if (!lines) return fail("%s", failure.c_str());
  if (!write_all(out.fd.get(), lines->data(), lines->size()) ||
      (::close(out.fd.release()) != 0 && errno != EINTR)) {
    return fail("Error writing dump to file", nullptr, true);
  }
  out.sizes.back() += lines->size();
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
  out.part_limit = out.to_stdout ? 0 : split_size;
  if (out.to_stdout && open_stdout(out) != 0) return 1;

  // The shell hands its process over to the writer, so that a writer ended
  // by a signal is seen as such rather than as the shell's exit status.
  WriterChild writer;
  if (!writer.start("exec " + command, error_fd))
    return fail("Can't run '%s'", command.c_str(), true);

  MdCtxPtr digest = new_sha1_context();
  if (!digest) {
    report_openssl_errors();
    return fail("Can't initialize BIO stream");
  }
  if (copy_stream(writer.stream.get(), digest.get(), out) != 0) return 1;

  // The writer's verdict comes before the signature: a stream that its
  // writer did not finish must never carry valid signature lines, wherever
  // it went (a consumer of standard output keeps what it received).
  const int status = writer.finish();
  if (status < 0 || !WIFEXITED(status)) return fail("Abnormal hvxdump termination");
  if (WEXITSTATUS(status) != 0) return fail("Error during hvxdump execution");

  if (append_signature(digest.get(), out) != 0) return 1;
  if (part_sizes != nullptr) *part_sizes = std::move(out.sizes);
  return 0;
}

std::size_t readHandler(char* buffer, std::size_t size, std::size_t count, void* stream) {
  auto& st = upload_state;
  if (st.signature_sent) return 0;
  if (buffer == nullptr || size == 0 || count == 0) return 0;
  const std::size_t room =
      count > static_cast<std::size_t>(-1) / size ? static_cast<std::size_t>(-1) : size * count;
  if (!handler_state.pending.empty()) return hand_over_pending(buffer, room);
  if (st.split_size != 0 && st.part_bytes >= st.split_size) {
    st.part_full = true;
    return 0;
  }
  if (!handler_state.digest) {
    handler_state.digest = new_sha1_context();
    if (!handler_state.digest) {
      report_openssl_errors();
      return handler_failure("Can't initialize BIO stream");
    }
  }

  auto* input = static_cast<FILE*>(stream);
  std::size_t want = room;
  if (st.split_size != 0) {
    want = static_cast<std::size_t>(std::min<std::uint64_t>(want, st.split_size - st.part_bytes));
  }
  const std::size_t n = input ? std::fread(buffer, 1, want, input) : 0;
  if (n > 0) {
    if (EVP_DigestUpdate(handler_state.digest.get(), buffer, n) != 1) {
      report_openssl_errors();
      return handler_failure("Can't count digest for dump");
    }
    st.part_bytes += n;
    if (n < want && std::feof(input)) st.stream_ended = true;
    return n;
  }
  if (input == nullptr || std::ferror(input)) {
    return handler_failure("error during reading input stream from hvxdump\n");
  }

  // End of the stream: the signature lines follow in the part now open.
  st.stream_ended = true;
  auto hex = finish_digest(handler_state.digest.get());
  handler_state.digest.reset();
  if (!hex) {
    report_openssl_errors();
    return handler_failure("Can't extract digest from BIO chain");
  }
  std::string failure;
  auto lines = signature_lines(*hex, &failure);
  if (!lines) return handler_failure(failure.c_str());
  st.signature = *lines;
  handler_state.pending = std::move(*lines);
  return hand_over_pending(buffer, room);
}

void reset_upload_state() {
  upload_state = UploadState{};
  handler_state = HandlerState{};
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
