// Files of a dump, signature fields, the recomputed digest and hex coding.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "common/product_conf.h"
#include "sitevault/dump_files.h"
#include "sitevault/repository_dir.h"
#include "tests/support/signed_dump_helpers.h"
#include "tests/support/test_support.h"

namespace {

using namespace signing_test;
using testing_support::TempDir;

class DumpFiles : public ::testing::Test {
 protected:
  TempDir dir;
};

using FilePtr = std::unique_ptr<FILE, int (*)(FILE*)>;
FilePtr open_read(const std::string& path) { return {std::fopen(path.c_str(), "r"), &std::fclose}; }

TEST_F(DumpFiles, ListsBaseThenPartsByNumberAndNothingElse) {
  for (const char* name :
       {"d.part10", "d.part2", "d", "d.part12", "d.part9", "d.part11", "d.part", "d.partX",
        "d.part3x", "d.tmp", "d2", "dd.part2", "e", "d.part3", "backup_restore.log"}) {
    write_file(dir / name, "x");
  }
  auto files = get_dump_files_in(dir.path(), "/elsewhere/entirely/d");
  ASSERT_TRUE(files.has_value());
  std::vector<std::string> want;
  for (const char* name :
       {"d", "d.part", "d.part2", "d.part3", "d.part9", "d.part10", "d.part11", "d.part12"}) {
    want.push_back(dir / name);
  }
  EXPECT_EQ(*files, want);

  EXPECT_FALSE(get_dump_files_in(dir.path(), "absent").has_value());
  EXPECT_FALSE(get_dump_files_in(dir.path(), "backup_restore.log").has_value());
  EXPECT_FALSE(get_dump_files_in(dir.path(), "..").has_value());
  testing::internal::CaptureStdout();
  EXPECT_FALSE(get_dump_files_in(dir / "no-such-dir", "d").has_value());
  EXPECT_NE(testing::internal::GetCapturedStdout().find("unable to locate repository"),
            std::string::npos);
}

TEST_F(DumpFiles, SignedDumpsRoundTripAtTheEdges) {
  const KeyPair keys = make_key_pair(dir.path());
  struct Case {
    const char* name;
    std::string stream;
    std::size_t split;
    int files;
  };
  const std::string lines = "line one\nline two\n";
  const Case cases[] = {
      {"empty", "", 0, 1},
      {"empty-split", "", 100, 1},
      {"text", lines, 0, 1},
      // The last part receives only the signature lines (shorter than any
      // search window that starts 511 bytes before the end).
      {"boundary", std::string(300, 'a'), 100, 4},
      {"twelve", std::string(1150, 'b'), 100, 12},
      {"binary", binary_bytes(5000), 1024, 5},
      {"no-final-newline", "tail without newline", 0, 1},
      // Content that looks like signature fields, also right before them.
      {"fake-fields",
       "Magic1: 0123\nMagic2: abcd\n" + lines + "Magic1: " + std::string(40, 'f') +
           "\nMagic2: 00\n",
       0, 1},
      {"fake-fields-split", "Magic1: x\n" + std::string(200, 'c') + "\nMagic2: y\nMagic1: z\n", 64,
       4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = dir / c.name;
    EXPECT_EQ(write_signed_dump(base, c.stream, c.split, keys.private_pem), c.files);
    auto files = get_dump_files_in(dir.path(), c.name);
    ASSERT_TRUE(files.has_value());
    ASSERT_EQ(files->size(), static_cast<std::size_t>(c.files));
    EXPECT_EQ(files->back(), part_path(base, c.files));

    auto digest = count_digest_in(dir.path(), base.c_str());
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(*digest, sha1_hex(c.stream));
    EXPECT_EQ(check_dump_digest_in(dir.path(), c.name), 1);

    auto last = open_read(files->back());
    EXPECT_EQ(find_dump_field("Magic1: ", last.get()).value_or(""), sha1_hex(c.stream));
    EXPECT_EQ(find_dump_field("Magic2: ", last.get()).value_or("").size(), 256u);
    EXPECT_TRUE(verify_dump_signature_in(dir.path(), c.name, keys.public_pem.c_str()));
  }
}

TEST_F(DumpFiles, DetectsAlteredContentAndBadFields) {
  const KeyPair keys = make_key_pair(dir.path());
  const std::string stream = "alpha\nbeta\ngamma\n";

  // Content changed, fields kept: the signature still holds, the digest not.
  write_signed_dump(dir / "changed", stream, 8, keys.private_pem);
  write_file(dir / "changed.part2", "BETA\ngam" + read_file(dir / "changed.part2").substr(8));
  EXPECT_TRUE(verify_dump_signature_in(dir.path(), "changed", keys.public_pem.c_str()));
  EXPECT_EQ(check_dump_digest_in(dir.path(), "changed"), 0);

  // The stored digest in upper case is not the digest.
  const std::string digest = sha1_hex(stream);
  std::string upper = digest;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  write_dump_files(dir / "upper", stream, 0, "Magic1: " + upper + "\nMagic2: 00\n");
  EXPECT_EQ(check_dump_digest_in(dir.path(), "upper"), 0);

  // No signature lines at all.
  write_file(dir / "plain", stream);
  testing::internal::CaptureStdout();
  EXPECT_EQ(check_dump_digest_in(dir.path(), "plain"), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Can't find field Magic1:  in dump"),
            std::string::npos);
  auto f = open_read(dir / "plain");
  EXPECT_FALSE(find_dump_field("Magic2: ", f.get()).has_value());
}

TEST_F(DumpFiles, UnreadableLastFileIsAFailureNotAnExit) {
  write_file(dir / "d", "data\n");
  ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "d.part2").c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(check_dump_digest_in(dir.path(), "d"), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Can't open file "), std::string::npos);
  // While digesting, an unopenable file is reported and the digest fails.
  testing::internal::CaptureStdout();
  EXPECT_FALSE(count_digest_in(dir.path(), "d").has_value());
  EXPECT_NE(testing::internal::GetCapturedStdout().find("for output"), std::string::npos);
}

// A domain's repository (a directory right below DUMP_D) replaced by a link
// is no repository: nothing behind the link is listed, opened or digested.
// One held open stays the directory it was, whatever takes its name later.
TEST(RepositoryLinks, ALinkedRepositoryIsNeverEntered) {
  TempDir dumps, outside;
  const std::string root = dumps / "dumps";
  std::filesystem::create_directories(root + "/real");
  const char* saved = product_conf.DUMP_D;
  product_conf.DUMP_D = root.c_str();
  const KeyPair keys = make_key_pair(dumps.path());
  write_signed_dump(root + "/real/d", binary_bytes(3000), 1000, keys.private_pem);
  write_signed_dump(outside / "d", binary_bytes(3000), 1000, keys.private_pem);
  std::filesystem::create_directory_symlink(outside.path(), root + "/linked");

  EXPECT_FALSE(RepositoryDir::open_domain("linked").has_value());
  EXPECT_EQ(errno, ENOTDIR);
  testing::internal::CaptureStdout();
  EXPECT_EQ(check_dump_digest_in(root + "/./linked/", "d"), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("unable to locate repository"),
            std::string::npos);
  // A link outside DUMP_D is the administrator's and is followed.
  std::filesystem::create_directory_symlink(outside.path(), dumps / "admin-link");
  EXPECT_EQ(check_dump_digest_in(dumps / "admin-link", "d"), 1);

  auto held = RepositoryDir::open_domain("real");
  ASSERT_TRUE(held.has_value());
  std::filesystem::rename(root + "/real", root + "/moved");
  std::filesystem::create_directory_symlink(outside.path(), root + "/real");
  EXPECT_EQ(check_dump_digest_at(*held, "d"), 1);
  const auto files = get_dump_files_at(*held, "d");
  ASSERT_TRUE(files.has_value());
  EXPECT_EQ(files->at(1), root + "/real/d.part2");  // the path messages print
  // A part replaced by a link inside a repository is refused, not followed.
  std::filesystem::remove(root + "/moved/d.part2");
  std::filesystem::create_symlink(outside / "d.part2", root + "/moved/d.part2");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(open_dump_files_at(*held, *files).has_value());
  EXPECT_NE(testing::internal::GetCapturedStdout().find("d.part2' for output"), std::string::npos);
  product_conf.DUMP_D = saved;
}

// The one rule of well-formed signature lines, as a remote tail is judged:
// the two lines last, Magic1 found by position even after content without
// a final line feed, and nothing else taken for them.
TEST(SignatureTail, TakesOnlyTwoFinalLines) {
  const auto fields = parse_signature_tail("dump bytesMagic1: abc\nMagic2: def\n");
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->magic1, "abc");
  EXPECT_EQ(fields->magic2, "def");
  EXPECT_EQ(fields->length, std::string("Magic1: abc\nMagic2: def\n").size());
  // Content that looks like a field before the real ones is content.
  const auto later = parse_signature_tail("Magic1: old\nMagic2: old\nMagic1: new\nMagic2: x\n");
  ASSERT_TRUE(later.has_value());
  EXPECT_EQ(later->magic1, "new");

  for (const char* broken : {"", "\n", "Magic1: a\nMagic2: b", "Magic1: a\nMagic2: b\nmore\n",
                             "Magic1: a\nx\nMagic2: b\n", "Magic2: b\n", "cut short\n"}) {
    EXPECT_FALSE(parse_signature_tail(broken).has_value()) << broken;
  }
}

TEST(HexCoding, EncodesAndDecodes) {
  const unsigned char bytes[] = {0x00, 0xff, 0x1a};
  EXPECT_EQ(hex_encode(bytes, 2), "00ff");
  EXPECT_EQ(hex_encode(bytes, 0), "");
  EXPECT_EQ(hex_encode(bytes, -1), "");

  EXPECT_EQ(hex_decode("abc"), (std::vector<unsigned char>{0x0a, 0xbc}));
  EXPECT_EQ(hex_decode("00FF1a"), (std::vector<unsigned char>{0x00, 0xff, 0x1a}));
  EXPECT_FALSE(hex_decode("").has_value());
  EXPECT_FALSE(hex_decode(nullptr).has_value());
  // Conversion of a pair stops at its first non-digit.
  EXPECT_EQ(hex_decode("3zz4"), (std::vector<unsigned char>{0x03, 0x00}));
}

TEST(ReportErrno, WritesPerrorStyleOnlyWhenErrnoIsSet) {
  testing::internal::CaptureStderr();
  errno = 0;
  report_errno("plain %d", 7);
  errno = ENOENT;
  report_errno("Can't open file %s: ", "x");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "plain 7Can't open file x: : No such file or directory\n");
}

}  // namespace
