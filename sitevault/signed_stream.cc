#include "sitevault/signed_stream.h"

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/messages.h"
#include "common/shell_child.h"
#include "common/unique_fd.h"
#include "sitevault/dump_files.h"
#include "sitevault/openssl_handles.h"
#include "sitevault/progress_line.h"
#include "sitevault/server_keys.h"
#include "sitevault/signing.h"

namespace {

// A larger pipe lets the writer run ahead instead of waiting for every
// 64 KiB that its reader takes.
constexpr int kPipeSize = 1 << 20;

using Failure = SignedDumpStream::Failure;

// The texts of the local backup, which are the stream's own.
std::string failure_text(Failure kind, const std::string& command) {
  switch (kind) {
    case Failure::none:
      return "";
    case Failure::start:
      return "Can't run '" + command + "'";
    case Failure::digest_init:
      return "Can't initialize BIO stream";
    case Failure::digest_update:
      return "Error counting digest";
    case Failure::read:
      return "Error reading dump stream from hvxdump";
    case Failure::writer_abnormal:
      return "Abnormal hvxdump termination";
    case Failure::writer_failed:
      return "Error during hvxdump execution";
    case Failure::digest_final:
      return "Can't extract digest from BIO chain";
    case Failure::private_key:
      return "Can't get server's private key";
    case Failure::signing:
      return "Can't count dump signature";
    case Failure::file_left_unfinished:
      break;
  }
  return "A file of the dump was left before its end";
}

void report_in_own_words(const SignedDumpStream& stream) {
  errno = stream.failure_errno();
  report_error("%s", stream.failure().c_str());
}

}  // namespace

struct SignedDumpStream::State {
  SignedDumpStream* owner = nullptr;
  Reporter reporter = report_in_own_words;
  std::string command;
  std::uint64_t split_size = 0;
  bool started = false;
  bool abandoned = false;

  pid_t pid = -1;  // the writer until reaped
  UniqueFd pipe;   // the read end of its standard output
  MdCtxPtr digest;

  std::uint64_t part_bytes = 0;  // stream bytes in the file in hand
  bool stream_ended = false;     // the writer finished well and the lines are made
  std::string lines;             // the signature lines, once made
  std::size_t lines_out = 0;     // of them handed out
  bool complete = false;
  std::vector<std::uint64_t> sizes;

  Failure failure = Failure::none;
  std::string failure_text;
  int failure_errno = 0;
  int wait_status = -1;  // the writer's, once reaped
  int exit_status = -1;  // its exit status, when it exited
  const std::string no_lines;

  // Records the first failure and has it reported. Always false, so that a
  // caller can return its result.
  bool fail(Failure kind, int error = 0) {
    if (failure != Failure::none) return false;
    failure = kind;
    failure_errno = error;
    failure_text = ::failure_text(kind, command);
    if (reporter) reporter(*owner);
    return false;
  }

  void reap() {
    pipe.reset();
    if (pid > 0) {
      const int status = wait_shell_child(pid);
      pid = -1;
      wait_status = status;
      if (status >= 0 && WIFEXITED(status)) exit_status = WEXITSTATUS(status);
    }
  }

  bool file_in_hand_unfinished() const {
    if (sizes.empty() || complete) return false;
    return split_size == 0 || part_bytes < split_size;
  }

  // The stream has ended: the writer's verdict, then the signature lines.
  bool end_of_stream() {
    reap();
    if (wait_status < 0 || !WIFEXITED(wait_status)) return fail(Failure::writer_abnormal);
    if (exit_status != 0) return fail(Failure::writer_failed);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (EVP_DigestFinal_ex(digest.get(), md, &md_len) != 1) {
      report_openssl_errors();
      return fail(Failure::digest_final);
    }
    const std::string hex = hex_encode(md, static_cast<long>(md_len));
    const auto key = get_server_private_key();
    if (!key) return fail(Failure::private_key);
    const auto signature = count_signature(hex.c_str(), key->c_str());
    if (!signature) return fail(Failure::signing);
    lines = "Magic1: " + hex + "\nMagic2: " + *signature + "\n";
    stream_ended = true;
    return true;
  }

  // Fills buffer with the next bytes of file number `file` (1: the first).
  std::optional<std::size_t> pull(std::size_t file, std::span<char> buffer) {
    if (failure != Failure::none || (abandoned && !complete)) return std::nullopt;
    if (file != sizes.size() || complete || buffer.empty()) return 0;
    std::size_t filled = 0;
    while (!stream_ended && filled < buffer.size()) {
      std::size_t want = buffer.size() - filled;
      if (split_size != 0) {
        if (part_bytes >= split_size) break;
        want = static_cast<std::size_t>(std::min<std::uint64_t>(want, split_size - part_bytes));
      }
      const ssize_t n = ::read(pipe.get(), buffer.data() + filled, want);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        fail(Failure::read, errno);
        break;
      }
      if (n == 0) {
        if (!end_of_stream()) break;
        continue;
      }
      if (EVP_DigestUpdate(digest.get(), buffer.data() + filled, static_cast<std::size_t>(n)) !=
          1) {
        report_openssl_errors();
        fail(Failure::digest_update);
        break;
      }
      filled += static_cast<std::size_t>(n);
      progress_add(static_cast<std::uint64_t>(n));
      part_bytes += static_cast<std::uint64_t>(n);
      sizes.back() += static_cast<std::uint64_t>(n);
    }
    // The bytes read before a failure still go out, as the writer made them;
    // the failure is the answer of the next call.
    if (failure != Failure::none) {
      if (filled > 0) return filled;
      return std::nullopt;
    }
    if (stream_ended && filled < buffer.size()) {
      const std::size_t n = std::min(buffer.size() - filled, lines.size() - lines_out);
      std::memcpy(buffer.data() + filled, lines.data() + lines_out, n);
      lines_out += n;
      filled += n;
      sizes.back() += n;
      complete = lines_out == lines.size();
    }
    return filled;
  }
};

SignedDumpStream::SignedDumpStream() : state_(std::make_unique<State>()) { state_->owner = this; }

SignedDumpStream::~SignedDumpStream() { abandon(); }

void SignedDumpStream::set_reporter(Reporter reporter) { state_->reporter = std::move(reporter); }

bool SignedDumpStream::start(const std::string& command, int error_fd, std::uint64_t split_size) {
  State& st = *state_;
  if (st.started) return false;
  st.started = true;
  st.command = command;
  st.split_size = split_size;
  st.digest.reset(EVP_MD_CTX_new());
  if (!st.digest || EVP_DigestInit_ex(st.digest.get(), EVP_sha1(), nullptr) != 1) {
    report_openssl_errors();
    return st.fail(Failure::digest_init);
  }
  // Descriptors other than the standard three stay with this process, so a
  // lock held here never leaks into the writer; a termination request stops
  // the writer's whole process group.
  auto pipe = make_pipe(O_CLOEXEC);
  if (!pipe) return st.fail(Failure::start, errno);
  st.pid = start_shell_child(command, -1, pipe->write.get(), error_fd);
  if (st.pid < 0) return st.fail(Failure::start, errno);
  pipe->write.reset();
  st.pipe = std::move(pipe->read);
  progress_stage("dumping", 0);
  // Best effort: the default size is kept when the system refuses.
  ::fcntl(st.pipe.get(), F_SETPIPE_SZ, kPipeSize);
  return true;
}

bool SignedDumpStream::more_files() const {
  const State& st = *state_;
  return st.started && !st.abandoned && st.failure == Failure::none && !st.complete;
}

ByteSource SignedDumpStream::next_file() {
  State& st = *state_;
  State* state = state_.get();
  if (st.failure != Failure::none || (st.abandoned && !st.complete))
    return [](std::span<char>) -> std::optional<std::size_t> { return std::nullopt; };
  if (!st.started || st.complete)
    return [](std::span<char>) -> std::optional<std::size_t> { return 0; };
  if (st.file_in_hand_unfinished()) {
    st.fail(Failure::file_left_unfinished);
    return [](std::span<char>) -> std::optional<std::size_t> { return std::nullopt; };
  }
  st.sizes.push_back(0);
  st.part_bytes = 0;
  const std::size_t file = st.sizes.size();
  return [state, file](std::span<char> buffer) { return state->pull(file, buffer); };
}

const std::string& SignedDumpStream::signature_lines() const {
  return state_->complete ? state_->lines : state_->no_lines;
}

const std::vector<std::uint64_t>& SignedDumpStream::file_sizes() const { return state_->sizes; }

bool SignedDumpStream::complete() const { return state_->complete; }

const std::string& SignedDumpStream::failure() const { return state_->failure_text; }

SignedDumpStream::Failure SignedDumpStream::failure_kind() const { return state_->failure; }

int SignedDumpStream::failure_errno() const { return state_->failure_errno; }

int SignedDumpStream::writer_exit_status() const { return state_->exit_status; }

const std::string& SignedDumpStream::command() const { return state_->command; }

void SignedDumpStream::abandon() {
  State& st = *state_;
  if (st.started && !st.complete) st.abandoned = true;
  st.reap();
}
