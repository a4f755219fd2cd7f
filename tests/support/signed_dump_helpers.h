// Helpers for the signing tests: key pairs made with the openssl command line
// and signed dumps laid out the way the writer lays them out.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "sitevault/dump_files.h"
#include "sitevault/signing.h"
#include "tests/support/test_support.h"

namespace signing_test {

using testing_support::read_file;
using testing_support::run_command;
using testing_support::write_file;

struct KeyPair {
  std::string private_pem;  // "RSA PRIVATE KEY"
  std::string public_pem;   // "RSA PUBLIC KEY" (PKCS#1)
  std::string spki_pem;     // "PUBLIC KEY" (SubjectPublicKeyInfo)
};

// A fresh 1024-bit pair from the openssl command line, files kept in dir.
inline KeyPair make_key_pair(const std::string& dir) {
  const std::string priv = dir + "/priv.pem";
  EXPECT_EQ(run_command({"openssl", "genrsa", "-traditional", "-out", priv, "1024"}).status, 0);
  EXPECT_EQ(
      run_command({"openssl", "rsa", "-in", priv, "-RSAPublicKey_out", "-out", dir + "/pub1.pem"})
          .status,
      0);
  EXPECT_EQ(
      run_command({"openssl", "rsa", "-in", priv, "-pubout", "-out", dir + "/pub.pem"}).status, 0);
  return {read_file(priv), read_file(dir + "/pub1.pem"), read_file(dir + "/pub.pem")};
}

inline std::string sha1_hex(const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), md, &len, EVP_sha1(), nullptr);
  return hex_encode(md, static_cast<long>(len));
}

inline std::string part_path(const std::string& base, int part) {
  return part == 1 ? base : base + ".part" + std::to_string(part);
}

// Writes stream as the files of dump `base` (full parts of split bytes, an
// extra part when the stream ends on a boundary) and ends the last file with
// the given signature lines. Returns the number of files.
inline int write_dump_files(const std::string& base, const std::string& stream, std::size_t split,
                            const std::string& signature_lines) {
  std::vector<std::string> parts;
  if (split == 0) {
    parts.push_back(stream);
  } else {
    std::size_t off = 0;
    do {
      parts.push_back(stream.substr(off, split));
      off += split;
    } while (off <= stream.size());
  }
  parts.back() += signature_lines;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    write_file(part_path(base, static_cast<int>(i) + 1), parts[i]);
  }
  return static_cast<int>(parts.size());
}

// A dump signed with the private key, as make_signed_dump would write it.
inline int write_signed_dump(const std::string& base, const std::string& stream, std::size_t split,
                             const std::string& private_pem) {
  const std::string digest = sha1_hex(stream);
  auto signature = count_signature(digest.c_str(), private_pem.c_str());
  EXPECT_TRUE(signature.has_value());
  return write_dump_files(base, stream, split,
                          "Magic1: " + digest + "\nMagic2: " + signature.value_or("") + "\n");
}

// Every byte value, NUL included, and no final line feed inside.
inline std::string binary_bytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
  return s;
}

}  // namespace signing_test
