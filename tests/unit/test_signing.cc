// Making signed dumps from the writer's stream (file, parts, standard output),
// the signed dump stream both backups read, signatures and their independent
// verification.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/product_conf.h"
#include "sitevault/dump_files.h"
#include "sitevault/dump_utilities.h"
#include "sitevault/server_keys.h"
#include "sitevault/signed_stream.h"
#include "sitevault/signing.h"
#include "tests/support/signed_dump_helpers.h"
#include "tests/support/test_support.h"

namespace {

using namespace signing_test;
using testing_support::TempDir;

// One sandbox with a server key pair for the whole file. Its hvxdump is
// replaced by a script that writes the file named by SIGNTEST_STREAM and
// exits with SIGNTEST_STATUS (or kills itself with SIGNTEST_SIGNAL).
class Signing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sandbox = new TempDir();
    testing_support::apply_env(testing_support::sandbox_up(sandbox->path()));
    reset_product_conf_for_tests();
    load_product_conf();
    const std::string script = std::string(product_conf.PRODUCT_ROOT_D) + "/bin/hvxdump";
    write_file(script,
               "#!/bin/sh\n"
               "cat \"$SIGNTEST_STREAM\"\n"
               "[ -n \"$SIGNTEST_SIGNAL\" ] && kill -\"$SIGNTEST_SIGNAL\" $$\n"
               "exit ${SIGNTEST_STATUS:-0}\n");
    chmod(script.c_str(), 0755);
    ASSERT_EQ(gen_server_keys(), 1);
    public_pem = get_server_public_key().value_or("");
  }
  static void TearDownTestSuite() {
    reset_server_key_connections();
    // Stops a private database server when the suite runs outside ctest.
    run_command({testing_support::source_dir() + "/testbed/sandbox", "down", sandbox->path()});
    delete sandbox;
  }
  void SetUp() override {
    unsetenv("SIGNTEST_STATUS");
    unsetenv("SIGNTEST_SIGNAL");
  }

  // Makes a dump of stream through make_signed_dump.
  int make(const std::string& stream, const std::string& name, std::uint64_t split) {
    write_file(dir / "stream.in", stream);
    setenv("SIGNTEST_STREAM", (dir / "stream.in").c_str(), 1);
    return make_signed_dump(" -f - --domain-name example.com", (dir / name).c_str(), split);
  }

  static TempDir* sandbox;
  static std::string public_pem;
  TempDir dir;
};
TempDir* Signing::sandbox = nullptr;
std::string Signing::public_pem;

TEST_F(Signing, MakesSignedDumpsSplitExactlyAtPartSize) {
  struct Case {
    const char* name;
    std::string stream;
    std::uint64_t split;
    int files;
  };
  const Case cases[] = {
      {"empty", "", 0, 1},
      {"single", "one\ntwo\nMagic1: content\n", 0, 1},
      {"boundary", std::string(3000, 'x'), 1000, 4},
      {"twelve", binary_bytes(11500), 1000, 12},
      // Parts larger than one read block, stream not a multiple of it.
      {"large", binary_bytes(1300000), 300000, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(make(c.stream, c.name, c.split), 0);
    auto files = get_dump_files_in(dir.path(), c.name);
    ASSERT_TRUE(files.has_value());
    ASSERT_EQ(files->size(), static_cast<std::size_t>(c.files));
    std::string all;
    for (std::size_t i = 0; i < files->size(); ++i) {
      const std::string data = read_file((*files)[i]);
      if (i + 1 < files->size()) {
        EXPECT_EQ(data.size(), c.split);
      }
      all += data;
    }
    ASSERT_GE(all.size(), c.stream.size());
    EXPECT_EQ(all.substr(0, c.stream.size()), c.stream);
    EXPECT_EQ(all.substr(c.stream.size(), 49), "Magic1: " + sha1_hex(c.stream) + "\n");
    EXPECT_EQ(all.size(), c.stream.size() + 49 + 265);
    EXPECT_EQ(check_dump_digest_in(dir.path(), c.name), 1);
    EXPECT_TRUE(verify_dump_signature_in(dir.path(), c.name, public_pem.c_str()));
  }
}

TEST_F(Signing, StandardOutputGetsTheWholeStreamWithoutParts) {
  const std::string stream = binary_bytes(5000);
  const int saved = dup(STDOUT_FILENO);
  const int out = open((dir / "captured").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(out, STDOUT_FILENO);
  write_file(dir / "stream.in", stream);
  setenv("SIGNTEST_STREAM", (dir / "stream.in").c_str(), 1);
  const int rc = make_signed_dump(" -f - --x", "-", 1000);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(out);
  ASSERT_EQ(rc, 0);
  const std::string got = read_file(dir / "captured");
  EXPECT_EQ(got.substr(0, stream.size()), stream);
  EXPECT_EQ(got.size(), stream.size() + 49 + 265);
  EXPECT_FALSE(testing_support::file_exists(dir / "-.part2"));
}

TEST_F(Signing, ReportsBadArgumentsAndWriterFailures) {
  write_file(dir / "stream.in", "data\n");
  setenv("SIGNTEST_STREAM", (dir / "stream.in").c_str(), 1);
  const std::string out = dir / "d";
  for (const char* good : {" -f - --domain-name x", " --domain-name x -f -"}) {
    EXPECT_EQ(make_signed_dump(good, out.c_str(), 0), 0) << good;
  }
  struct Bad {
    const char* args;
    const char* output;
    const char* message;
  };
  const Bad bad[] = {
      {" -f -y", "d", "hvxdump call don't contains output to stdout! ' -f -y'"},
      {"-f - --x", "d", "don't contains output to stdout"},
      {" -f -", "", "Filename not specified!"},
  };
  for (const Bad& b : bad) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(make_signed_dump(b.args, b.output, 0), 1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(b.message), std::string::npos) << b.args;
  }

  setenv("SIGNTEST_STATUS", "3", 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(make_signed_dump(" -f -", out.c_str(), 0), 1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Error during hvxdump execution"),
            std::string::npos);
  unsetenv("SIGNTEST_STATUS");
  setenv("SIGNTEST_SIGNAL", "KILL", 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(make_signed_dump(" -f -", out.c_str(), 0), 1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Abnormal hvxdump termination"),
            std::string::npos);

  testing::internal::CaptureStdout();
  EXPECT_EQ(make_signed_dump(" -f -", (dir / "missing-dir/d").c_str(), 0), 1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Can't open file '"), std::string::npos);
}

// Every file a stream yields, read through a buffer of buffer_size bytes
// the way its consumers read it: each file to its end (0), the next while
// more are to come.
struct Drained {
  std::vector<std::string> files;
  bool failed = false;
};
Drained drain(SignedDumpStream& stream, std::size_t buffer_size) {
  Drained out;
  std::vector<char> buffer(buffer_size + 8, '#');
  for (int guard = 0; stream.more_files() && guard < 1000; ++guard) {
    ByteSource source = stream.next_file();
    std::string file;
    for (;;) {
      const auto n = source(std::span<char>(buffer.data(), buffer_size));
      if (!n) {
        out.failed = true;
        break;
      }
      if (*n == 0) break;
      EXPECT_LE(*n, buffer_size);
      EXPECT_EQ(buffer[buffer_size], '#') << "written past the buffer";
      file.append(buffer.data(), *n);
    }
    out.files.push_back(file);
    if (out.failed) break;
  }
  return out;
}

std::string writer_command() { return "exec " + hvxdump_command(" -f - --x", false); }

TEST_F(Signing, StreamYieldsTheFilesMakeSignedDumpWrites) {
  struct Case {
    const char* name;
    std::string stream;
    std::uint64_t split;
    std::size_t buffer;
    std::size_t files;
  };
  const Case cases[] = {
      {"binary", binary_bytes(10000), 0, 4096, 1},
      // Signature lines handed out over several calls.
      {"small-buffer", "line\nMagic1: x\n" + binary_bytes(999), 0, 100, 1},
      {"split", binary_bytes(2500), 1000, 300, 3},
      // The stream ends right at a boundary: a last file of signature lines.
      {"boundary", std::string(2000, 'z'), 1000, 65536, 3},
      {"empty-split", "", 1000, 7, 1},
      {"empty", "", 0, 4096, 1},
      // More than the pipe holds, in libcurl's block size.
      {"large", binary_bytes(1300000), 300000, 512 * 1024, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir / "stream.in", c.stream);
    setenv("SIGNTEST_STREAM", (dir / "stream.in").c_str(), 1);
    SignedDumpStream stream;
    ASSERT_TRUE(stream.start(writer_command(), -1, c.split));
    const Drained got = drain(stream, c.buffer);
    ASSERT_FALSE(got.failed) << stream.failure();
    ASSERT_EQ(got.files.size(), c.files);
    EXPECT_TRUE(stream.complete());
    EXPECT_FALSE(stream.more_files());
    EXPECT_EQ(stream.failure(), "");

    std::string all;
    std::vector<std::uint64_t> sizes;
    for (std::size_t i = 0; i < got.files.size(); ++i) {
      if (i + 1 < got.files.size()) {
        EXPECT_EQ(got.files[i].size(), c.split);
      }
      all += got.files[i];
      sizes.push_back(got.files[i].size());
    }
    EXPECT_EQ(stream.file_sizes(), sizes);
    EXPECT_EQ(all.substr(0, c.stream.size()), c.stream);
    EXPECT_EQ(all.substr(c.stream.size()), stream.signature_lines());
    EXPECT_EQ(stream.signature_lines().substr(0, 49), "Magic1: " + sha1_hex(c.stream) + "\n");

    // make_signed_dump writes the very same files, and they check out.
    std::vector<std::uint64_t> written;
    ASSERT_EQ(make_signed_dump(" -f - --x", (dir / c.name).c_str(), c.split, &written, 0600, -1),
              0);
    EXPECT_EQ(written, sizes);
    for (std::size_t i = 0; i < got.files.size(); ++i) {
      EXPECT_EQ(read_file(part_path(dir / c.name, static_cast<int>(i) + 1)), got.files[i])
          << "file " << i + 1;
    }
    EXPECT_FALSE(testing_support::file_exists(
        part_path(dir / c.name, static_cast<int>(got.files.size()) + 1)));
    EXPECT_EQ(check_dump_digest_in(dir.path(), c.name), 1);
    EXPECT_TRUE(verify_dump_signature_in(dir.path(), c.name, public_pem.c_str()));

    // Once the signature is out, nothing more: not from a new file, not
    // from the last one.
    char b[16];
    EXPECT_EQ(stream.next_file()(std::span<char>(b, sizeof b)), std::optional<std::size_t>(0));
    EXPECT_EQ(stream.file_sizes().size(), c.files);
  }
}

TEST_F(Signing, StreamOfAFailedWriterNeverCarriesSignatureLines) {
  struct Case {
    const char* name;
    const char* status;
    const char* signal;
    std::uint64_t split;
    SignedDumpStream::Failure kind;
    const char* message;
  };
  using Failure = SignedDumpStream::Failure;
  const Case cases[] = {
      {"status", "3", nullptr, 0, Failure::writer_failed, "Error during hvxdump execution"},
      // The failure is found when the next file begins.
      {"status-at-boundary", "3", nullptr, 1000, Failure::writer_failed,
       "Error during hvxdump execution"},
      {"signal", nullptr, "KILL", 0, Failure::writer_abnormal, "Abnormal hvxdump termination"},
      {"signal-split", nullptr, "TERM", 700, Failure::writer_abnormal,
       "Abnormal hvxdump termination"},
  };
  const std::string data(3000, 'x');
  write_file(dir / "stream.in", data);
  setenv("SIGNTEST_STREAM", (dir / "stream.in").c_str(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.status) setenv("SIGNTEST_STATUS", c.status, 1);
    if (c.signal) setenv("SIGNTEST_SIGNAL", c.signal, 1);
    int reports = 0;
    SignedDumpStream stream;
    stream.set_reporter([&reports](const SignedDumpStream&) { ++reports; });
    ASSERT_TRUE(stream.start(writer_command(), -1, c.split));
    const Drained got = drain(stream, 4096);
    EXPECT_TRUE(got.failed);
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(stream.failure_kind(), c.kind);
    EXPECT_EQ(stream.failure(), c.message);
    EXPECT_EQ(stream.writer_exit_status(), c.status ? std::atoi(c.status) : -1);
    EXPECT_FALSE(stream.complete());
    EXPECT_FALSE(stream.more_files());
    EXPECT_EQ(stream.signature_lines(), "");
    // Everything the writer wrote went out, and nothing after it.
    std::string all;
    for (const std::string& file : got.files) all += file;
    EXPECT_EQ(all, data);
    char b[16];
    EXPECT_FALSE(stream.next_file()(std::span<char>(b, sizeof b)).has_value());
    EXPECT_EQ(reports, 1);

    // make_signed_dump leaves what it wrote unsigned and says why.
    testing::internal::CaptureStdout();
    EXPECT_EQ(make_signed_dump(" -f - --x", (dir / c.name).c_str(), c.split), 1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(c.message), std::string::npos);
    const std::string last = read_file(part_path(dir / c.name, static_cast<int>(got.files.size())));
    EXPECT_EQ(last.find("Magic1: "), std::string::npos);
    unsetenv("SIGNTEST_STATUS");
    unsetenv("SIGNTEST_SIGNAL");
  }
}

TEST_F(Signing, StreamLeftEarlyEndsItsWriter) {
  // A writer that never ends by itself: leaving the stream must end it
  // (its pipe closed) rather than wait for it.
  {
    SignedDumpStream stream;
    ASSERT_TRUE(stream.start("exec yes", -1, 0));
    char b[4096];
    ByteSource source = stream.next_file();
    EXPECT_EQ(source(std::span<char>(b, sizeof b)), std::optional<std::size_t>(sizeof b));
    stream.abandon();
    EXPECT_FALSE(stream.more_files());
    EXPECT_FALSE(source(std::span<char>(b, sizeof b)).has_value());
    EXPECT_EQ(stream.signature_lines(), "");
  }
  {
    SignedDumpStream stream;  // never read: the destructor ends it
    ASSERT_TRUE(stream.start("exec yes", -1, 0));
  }
  // A new file before the one in hand reached its end would cut the parts
  // in the wrong places: the stream fails instead.
  SignedDumpStream stream;
  std::string reported;
  stream.set_reporter([&reported](const SignedDumpStream& s) { reported = s.failure(); });
  ASSERT_TRUE(stream.start("exec yes", -1, 100000));
  char b[10];
  EXPECT_TRUE(stream.next_file()(std::span<char>(b, sizeof b)).has_value());
  EXPECT_FALSE(stream.next_file()(std::span<char>(b, sizeof b)).has_value());
  EXPECT_EQ(stream.failure_kind(), SignedDumpStream::Failure::file_left_unfinished);
  EXPECT_EQ(reported, stream.failure());
}

TEST_F(Signing, SignaturesInteroperateWithTheOpensslCommandLine) {
  const KeyPair keys = make_key_pair(dir.path());
  const std::string stream = binary_bytes(4321);
  write_file(dir / "stream", stream);

  // Our signature over the digest sha1sum computes is byte for byte the one
  // openssl makes (RSASSA-PKCS1-v1_5 is deterministic).
  auto sum = testing_support::run_shell("sha1sum < " + (dir / "stream"));
  const std::string digest = sum.out.substr(0, 40);
  auto signature = count_signature(digest.c_str(), keys.private_pem.c_str());
  ASSERT_TRUE(signature.has_value());
  auto dig_bytes = hex_decode(digest.c_str()).value();
  write_file(dir / "digest.bin", std::string(dig_bytes.begin(), dig_bytes.end()));
  ASSERT_EQ(run_command({"openssl", "pkeyutl", "-sign", "-inkey", dir / "priv.pem", "-pkeyopt",
                         "digest:sha1", "-in", dir / "digest.bin", "-out", dir / "osig.bin"})
                .status,
            0);
  const std::string osig = read_file(dir / "osig.bin");
  EXPECT_EQ(hex_encode(reinterpret_cast<const unsigned char*>(osig.data()),
                       static_cast<long>(osig.size())),
            *signature);

  // Verification accepts both public key forms and no other key.
  write_dump_files(dir / "d", stream, 1000, "Magic1: " + digest + "\nMagic2: " + *signature + "\n");
  EXPECT_TRUE(verify_dump_signature_in(dir.path(), "d", keys.public_pem.c_str()));
  EXPECT_TRUE(verify_dump_signature_in(dir.path(), "d", keys.spki_pem.c_str()));
  EXPECT_FALSE(verify_dump_signature_in(dir.path(), "d", public_pem.c_str()));  // another key

  // An altered stored digest no longer matches its signature.
  std::string altered = digest;
  altered[0] = altered[0] == '0' ? '1' : '0';
  write_dump_files(dir / "a", stream, 0, "Magic1: " + altered + "\nMagic2: " + *signature + "\n");
  EXPECT_FALSE(verify_dump_signature_in(dir.path(), "a", keys.public_pem.c_str()));

  testing::internal::CaptureStderr();
  EXPECT_FALSE(count_signature(digest.c_str(), "not a key").has_value());
  EXPECT_FALSE(count_signature("", keys.private_pem.c_str()).has_value());
  EXPECT_NE(
      testing::internal::GetCapturedStderr().find("Can't initialize values in count_signature()"),
      std::string::npos);
}

}  // namespace
