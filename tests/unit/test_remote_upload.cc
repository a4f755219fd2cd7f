// The staged upload of a signed dump (remote_dump) to the real FTP server
// through its store: part layout, the signature checked by independent tools
// on what curl fetches back, the clean-up after a writer that fails, and a
// server that never replaces a file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/product_conf.h"
#include "sitevault/dump_files.h"
#include "sitevault/dump_utilities.h"
#include "sitevault/remote/remote_store.h"
#include "sitevault/remote_dump.h"
#include "sitevault/server_keys.h"
#include "sitevault/signed_stream.h"
#include "tests/support/ftp_test_server.h"
#include "tests/support/test_support.h"

namespace {

using ftp_test::FtpAccount;
using ftp_test::names_in;
using testing_support::read_file;
using testing_support::run_command;
using testing_support::TempDir;
using testing_support::write_file;

constexpr std::uint64_t kMiB = 1024 * 1024;

class FtpUpload : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sandbox = new TempDir();
    testing_support::apply_env(testing_support::sandbox_up(sandbox->path()));
    reset_product_conf_for_tests();
    load_product_conf();
    std::filesystem::create_directories(std::string(product_conf.DUMP_D) + "/example.com");
    ASSERT_EQ(gen_server_keys(), 1);
    // The public half in SubjectPublicKeyInfo form, for the openssl command.
    const std::string private_pem = get_server_private_key().value_or("");
    write_file(*sandbox / "private.pem", private_pem);
    ASSERT_EQ(run_command({"openssl", "pkey", "-in", *sandbox / "private.pem", "-pubout", "-out",
                           *sandbox / "public.pem"})
                  .status,
              0);
  }
  static void TearDownTestSuite() {
    reset_server_key_connections();
    delete sandbox;
  }
  void SetUp() override {
    account = ftp_test::shared_account();
    ASSERT_FALSE(account.home.empty());
    dir = ftp_test::make_test_dir(account);
    unsetenv("HVXDUMP_PAD_MIB");
    unsetenv("HVXDUMP_FAIL_AFTER_MIB");
  }

  int upload(const std::string& name, std::uint64_t split) {
    const std::string arguments = hvxdump_arguments("example.com", nullptr);
    error_text.clear();
    const auto where = parse_remote_location(account.server, dir, account.login, account.password);
    const auto store = where ? open_remote_store(*where) : nullptr;
    if (!store) return -1;
    SignedDumpStream stream;
    use_upload_wording(stream, error_text);
    if (!stream.start(hvxdump_command(arguments, true), -1, split)) return -1;
    return upload_signed_dump(*store, stream, name, error_text) ? 0 : -1;
  }

  // Fetches a file with the curl command line, independently of libcurl's
  // use here.
  std::string curl_fetch(const std::string& name) {
    TempDir tmp;
    auto r = run_command({"curl", "-sS", "-u", account.login + ":" + account.password, "-o",
                          tmp / "f", "ftp://" + account.server + "/" + dir + "/" + name});
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(tmp / "f");
  }

  // Checks the concatenation: stream digest with sha1sum, signature with the
  // openssl command line. Returns the stream without the signature lines.
  std::string check_signed(const std::string& whole) {
    const std::size_t magic1 = whole.rfind("Magic1: ");
    EXPECT_NE(magic1, std::string::npos);
    if (magic1 == std::string::npos) return {};
    const std::string stream = whole.substr(0, magic1);
    const std::string tail = whole.substr(magic1);
    const std::size_t magic2 = tail.find("\nMagic2: ");
    EXPECT_NE(magic2, std::string::npos);
    const std::string digest = tail.substr(8, magic2 - 8);
    const std::string signature = tail.substr(magic2 + 9, tail.size() - magic2 - 10);
    EXPECT_EQ(tail.back(), '\n');

    TempDir tmp;
    write_file(tmp / "stream", stream);
    auto sum = run_command({"sha1sum", tmp / "stream"});
    EXPECT_EQ(sum.out.substr(0, 40), digest);
    const auto bytes = hex_decode(signature.c_str());
    EXPECT_TRUE(bytes.has_value());
    if (bytes) write_file(tmp / "sig", std::string(bytes->begin(), bytes->end()));
    auto verify = run_command({"openssl", "dgst", "-sha1", "-verify", *sandbox / "public.pem",
                               "-signature", tmp / "sig", tmp / "stream"});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    return stream;
  }

  static TempDir* sandbox;
  FtpAccount account;
  std::string dir;
  std::string error_text;
};
TempDir* FtpUpload::sandbox = nullptr;

TEST_F(FtpUpload, SplitStreamArrivesInFullPartsAndVerifiesIndependently) {
  // A part of an earlier dump of the same name beyond the new last part
  // must not survive to be taken as part of the new dump.
  write_file(account.home + "/" + dir + "/d.part9", "stale\n");
  setenv("HVXDUMP_PAD_MIB", "3", 1);
  ASSERT_EQ(upload("d", kMiB), 0) << error_text;

  const auto names = names_in(account, dir);
  EXPECT_EQ(names.count("d.part9"), 0u);
  std::string whole;
  int parts = 0;
  for (int part = 1; names.count(part == 1 ? "d" : "d.part" + std::to_string(part)); ++part) {
    const std::string content = curl_fetch(part == 1 ? "d" : "d.part" + std::to_string(part));
    whole += content;
    parts = part;
    if (names.count("d.part" + std::to_string(part + 1))) {
      EXPECT_EQ(content.size(), kMiB);
    }
  }
  EXPECT_EQ(parts, 3);
  EXPECT_EQ(names.size(), static_cast<std::size_t>(parts));
  const std::string stream = check_signed(whole);
  EXPECT_EQ(stream.rfind("# hvxdump stream 1\nDomain: example.com\n", 0), 0u);
  EXPECT_EQ(stream.substr(stream.size() - 12), "End-of-dump\n");
}

TEST_F(FtpUpload, WithoutSplittingOneFileEndsWithTheSignature) {
  ASSERT_EQ(upload("single dump #1", 0), 0) << error_text;
  EXPECT_EQ(names_in(account, dir), std::set<std::string>{"single dump #1"});
  check_signed(read_file(account.home + "/" + dir + "/single dump #1"));
}

TEST_F(FtpUpload, FailingWriterLeavesNoDumpOnTheServer) {
  write_file(account.home + "/" + dir + "/unrelated", "keep\n");
  setenv("HVXDUMP_FAIL_AFTER_MIB", "2", 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(upload("broken", kMiB), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("error in readHandler: Error during hvxdump execution (exit status 3)"),
            std::string::npos)
      << err;
  EXPECT_EQ(names_in(account, dir), std::set<std::string>{"unrelated"});
}

TEST_F(FtpUpload, TransferFailureIsCopiedForTheMail) {
  // The repository path does not exist: the first STOR is refused.
  dir += "/no/such/dir";
  EXPECT_EQ(upload("d", 0), -1);
  EXPECT_EQ(error_text.rfind("error: cURL execution failed: ", 0), 0u) << error_text;
}

TEST_F(FtpUpload, ServerThatNeverReplacesGetsTheNewDumpAndKeepsNoOlderFile) {
  // Many servers answer RNTO onto an existing name with 550: the older
  // dump's files are moved aside first, so no rename meets one.
  TempDir state;
  ftp_test::PrivateFtpServer server(state.path(), "u", "p");
  account = server.account();
  dir = ftp_test::make_test_dir(account);
  server.refuse_replace(true);
  for (const char* suffix : {"", ".part2", ".part3", ".part4"}) {
    write_file(account.home + "/" + dir + "/d" + suffix, "older\n");
  }
  setenv("HVXDUMP_PAD_MIB", "2", 1);
  testing::internal::CaptureStdout();
  const int uploaded = upload("d", kMiB);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "nothing of libcurl's on stdout";
  ASSERT_EQ(uploaded, 0) << error_text;
  EXPECT_EQ(names_in(account, dir), (std::set<std::string>{"d", "d.part2"}));
  std::string whole;
  for (const char* suffix : {"", ".part2"}) {
    whole += read_file(account.home + "/" + dir + "/d" + suffix);
  }
  check_signed(whole);
}

}  // namespace
