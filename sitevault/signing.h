// Making signed dumps from hvxdump's output and checking their signatures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

// Runs hvxdump with the argument text, writes the stream to output (a path,
// or "-" for standard output), split into parts of split_size bytes (0: one
// file), and appends the signature lines. 0 on success, 1 on failure.
int make_signed_dump(const char* arguments, const char* output, std::uint64_t split_size);

// State shared between readHandler and the FTP upload loop.
struct UploadState {
  std::uint64_t split_size = 0;
  std::uint64_t part_bytes = 0;
  bool part_full = false;
  bool read_error = false;
  std::string read_error_text;
  bool signature_sent = false;
  bool stream_ended = false;  // the input stream reached its end
};
extern UploadState upload_state;

// Transfer-library read handler: fills buffer from the hvxdump pipe (a FILE*
// passed as stream), digesting what it hands over; at the end of the stream
// hands over the signature lines. 0 = no more data for this file.
std::size_t readHandler(char* buffer, std::size_t size, std::size_t count, void* stream);
// Forgets upload_state and the handler's digest and pending bytes, so that a
// process (a test) can run another upload.
void reset_upload_state();

std::optional<std::string> count_signature(const char* hex_digest, const char* private_pem);
int verify_dump_fields(FILE* last_file, const char* public_pem);
int verify_dump_signature(const char* dump, const char* public_pem);
