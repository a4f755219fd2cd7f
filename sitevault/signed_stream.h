// A signed dump as it is made: hvxdump's stream, digested on the way, cut
// into the dump's files (parts of split_size bytes) and ended with the
// signature lines once the writer has finished well. The local backup writes
// the files it yields, the remote upload sends them: both make the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sitevault/byte_stream.h"

class SignedDumpStream {
 public:
  // What made the stream fail, for a user that words the failure itself.
  enum class Failure {
    none,
    start,                 // the writer could not be started (failure_errno())
    digest_init,           // the digest could not be set up
    digest_update,         // the digest could not take the stream's bytes
    read,                  // the writer's stream could not be read (failure_errno())
    writer_abnormal,       // the writer was ended by a signal or could not be waited for
    writer_failed,         // the writer exited with writer_exit_status() other than 0
    digest_final,          // the digest could not be ended
    private_key,           // the server's private key could not be had
    signing,               // the signature could not be made
    file_left_unfinished,  // next_file() before the file in hand was taken to its end
  };
  // Reports a failure once, when it happens. The default one prints
  // failure() as the local backup words it (with the system's reason for
  // start and read).
  using Reporter = std::function<void(const SignedDumpStream&)>;

  SignedDumpStream();
  ~SignedDumpStream();  // a writer still running is ended (its pipe closed) and reaped
  SignedDumpStream(const SignedDumpStream&) = delete;
  SignedDumpStream& operator=(const SignedDumpStream&) = delete;

  // Replaces the default reporter; set it before start.
  void set_reporter(Reporter reporter);

  // Starts the writer: command is a shell line (hvxdump_command), with the
  // writer's standard error on error_fd (-1: inherited). split_size 0: the
  // dump is one file. false after reporting.
  bool start(const std::string& command, int error_fd, std::uint64_t split_size);

  // Whether another file of the dump is to come: true until the file that
  // carried the signature lines has been taken to its end, false after a
  // failure.
  bool more_files() const;
  // The source of the dump's next file. It hands out at most split_size
  // bytes of the writer's stream, and in the last file the signature lines
  // after them (when the stream ends right at a part boundary, the next file
  // holds only the signature lines). It fills the whole buffer unless its
  // file or the stream ends first. It ends (0) at the end of its file; it
  // fails (nullopt, reported once) when the writer's stream cannot be read,
  // the writer failed or was ended by a signal, or the signature cannot be
  // made. Signature lines are handed out only after the writer has exited
  // with status 0, so a stream its writer did not finish never carries valid
  // ones. The source stays valid while the stream does; a source of an
  // earlier file, or one taken once the dump is complete, yields 0 at once.
  ByteSource next_file();

  // The signature lines handed out ("Magic1: <digest>\nMagic2: <sig>\n"),
  // empty until then.
  const std::string& signature_lines() const;
  // Bytes of every file handed out so far, in dump order (the signature
  // lines counted in the last).
  const std::vector<std::uint64_t>& file_sizes() const;
  // Whether the whole signed dump has been handed out.
  bool complete() const;
  // Why the stream failed ("" when it did not), in the local backup's words.
  const std::string& failure() const;
  Failure failure_kind() const;
  // errno of a start or read failure, else 0.
  int failure_errno() const;
  // The writer's exit status once it has exited, else -1.
  int writer_exit_status() const;
  // The writer's shell line, as given to start.
  const std::string& command() const;
  // Ends the writer early (its next write fails) and reaps it.
  void abandon();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
