// Signed dump format: the files of a dump and their order, signature fields,
// digest recomputation, hex coding and the signing code's reporter.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// Paths of a dump's files in dump order: the base file, then the part files
// by part number. The last one holds the signature lines.
using file_list = std::vector<std::string>;

// Looks the dump up in dump_dir (only the last path component of the argument
// is used). nullopt when the directory cannot be opened (reported) or no file
// of the dump exists (not reported).
std::optional<file_list> get_dump_files(const char* dump);

// Part number of a dump file name relative to its base name: 1 for the base
// file, N for "<base>.partN", 0 when the name does not belong to the dump.
unsigned long dump_part_number(const std::string& base, const std::string& name);

// Value of "Magic1: " / "Magic2: " in the last lines of the open last file.
std::optional<std::string> find_dump_field(const char* field, FILE* file);
std::optional<std::string> count_digest(const char* dump);
// 1 when the stored digest equals the recomputed one, else 0. Ends the
// process with status 1 when the last file exists but cannot be opened.
int check_dump_digest(const char* dump);

std::string hex_encode(const unsigned char* bytes, long count);
std::optional<std::vector<unsigned char>> hex_decode(const char* text);

void report_errno(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes OpenSSL's error queue to standard error, one line each.
void report_openssl_errors();
