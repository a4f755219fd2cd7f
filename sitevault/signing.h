// Making signed dumps from hvxdump's output and checking their signatures.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "sitevault/dump_files.h"

// Runs hvxdump with the argument text, writes the stream to output (a path,
// or "-" for standard output), split into parts of split_size bytes (0: one
// file), and appends the signature lines: the files a SignedDumpStream
// yields. 0 on success, 1 on failure.
int make_signed_dump(const char* arguments, const char* output, std::uint64_t split_size);
// The same; on success part_sizes receives the size of every file written,
// in dump order (signature lines included in the last). Files are created
// with mode (before the umask); a link or a file that is not a regular one
// is never written through. The writer's standard error goes to error_fd
// (-1: inherited).
int make_signed_dump(const char* arguments, const char* output, std::uint64_t split_size,
                     std::vector<std::uint64_t>* part_sizes, mode_t mode, int error_fd);

// Magic2's value: the hex RSA signature of a hex SHA-1 digest; nullopt
// after reporting.
std::optional<std::string> count_signature(const char* hex_digest, const char* private_pem);
// Whether the signature lines at the end of the open last file verify under
// the public key.
bool verify_dump_fields(FILE* last_file, const char* public_pem);

// What a dump's signature lines say under the server's public key.
enum class SignatureCheck {
  good,         // Magic2 is the key's signature of the digest in Magic1
  damaged,      // a line is missing or holds no well-formed value
  mismatch,     // made with the key, but for another digest
  foreign_key,  // well formed, but not made with this key
  bad_key,      // the public key cannot be read
};
SignatureCheck check_signature_fields(const std::string& magic1, const std::string& magic2,
                                      const char* public_pem);
// The check on the signature lines at the end of an open last file.
SignatureCheck check_dump_signature_fd(int last_fd, const char* public_pem);
// The same on the "Magic1: ...\nMagic2: ...\n" text of a dump's end.
SignatureCheck check_signature_text(const std::string& lines, const char* public_pem);
// How a verdict reads after "Dump <name> is ": "corrupted - ..." or
// "signed by another key".
const char* signature_check_text(SignatureCheck verdict);

// The whole check of a dump held open: its signature lines under the public
// key, then its content against the signed digest. The empty text when both
// hold, else the reason as it reads after "Dump <name> is ".
std::string check_open_dump(const open_dump& files, const char* public_pem);
// verify_dump_fields on the last file of a dump looked up as
// get_dump_files_in does; false when it cannot be found or opened.
bool verify_dump_signature_in(const std::string& directory, const char* dump,
                              const char* public_pem);
