// The FTP store (plain FTP, FTP over explicit and implicit TLS, SFTP) against
// the real servers of the test run: transfers into and out of the caller's
// streams, listings with and without dot-names, deletions, renames, sizes,
// the tail of a file, records and the write probe, and the failures the
// dump-level logic relies on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sitevault/remote/ftp_store.h"
#include "sitevault/remote/remote_store.h"
#include "tests/support/ftp_test_server.h"
#include "tests/support/test_support.h"

namespace {

using ftp_test::FtpAccount;
using ftp_test::names_in;
using testing_support::file_exists;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

[[maybe_unused]] testing::Environment* const sandbox_environment =
    testing::AddGlobalTestEnvironment(new testing_support::SandboxEnvironment);

// A source that hands out text in pieces of at most piece bytes.
ByteSource source_of(const std::string& text, std::size_t piece = 100000) {
  auto offset = std::make_shared<std::size_t>(0);
  return [&text, piece, offset](std::span<char> buffer) -> std::optional<std::size_t> {
    const std::size_t n = std::min({piece, buffer.size(), text.size() - *offset});
    std::memcpy(buffer.data(), text.data() + *offset, n);
    *offset += n;
    return n;
  };
}

// Bytes that differ at every offset a block boundary may fall on.
std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

std::optional<std::string> fetch(RemoteStore& store, const std::string& name) {
  std::string got;
  const ByteSink sink = [&got](std::span<const char> bytes) {
    got.append(bytes.data(), bytes.size());
    return true;
  };
  if (!store.get(name, sink)) return std::nullopt;
  return got;
}

std::set<std::string> names_of(const std::optional<std::vector<RemoteFile>>& files) {
  std::set<std::string> names;
  if (files) {
    for (const RemoteFile& file : *files) names.insert(file.name);
  }
  return names;
}

TEST(RemoteLocationTest, SchemesAreTakenApartOnceWithoutCase) {
  struct Case {
    const char* server;
    const char* scheme;
    const char* authority;
  };
  for (const Case& c :
       {Case{"backup.example:2121", "ftp", "backup.example:2121"}, Case{"Ftp://h/", "ftp", "h"},
        Case{"FTPES://h:21//", "ftpes", "h:21"}, Case{"ftps://h:990", "ftps", "h:990"},
        Case{"sFTP://h:22/", "sftp", "h:22"}}) {
    const auto where = parse_remote_location(c.server, "dumps/d", "us:er", "pa ss");
    ASSERT_TRUE(where.has_value()) << c.server;
    EXPECT_EQ(where->scheme, c.scheme) << c.server;
    EXPECT_EQ(where->authority, c.authority) << c.server;
    EXPECT_EQ(where->server, c.server) << "the text as given, for farstore and the messages";
    EXPECT_EQ(where->path, "dumps/d");
    EXPECT_EQ(where->login, "us:er");
    EXPECT_EQ(where->password, "pa ss");
    const auto store = open_remote_store(*where);
    ASSERT_NE(store, nullptr) << c.server;
    EXPECT_EQ(store->features().lists_dot_names, where->scheme == "sftp") << c.server;
  }
}

TEST(RemoteLocationTest, UnknownSchemeIsRefusedWithTheSetupMessage) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(parse_remote_location("scp://h", "", "", "").has_value());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("error: cURL setup failed: --ftp-server \"scp://h\" names none of the "
                     "schemes ftp, ftpes, ftps, sftp, s3, s3+http\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("System error"), std::string::npos) << err;

  // The reason is cut where libcurl's error buffer cuts it.
  const std::string long_server = "x://" + std::string(300, 'h');
  testing::internal::CaptureStderr();
  EXPECT_FALSE(parse_remote_location(long_server, "", "", "").has_value());
  err = testing::internal::GetCapturedStderr();
  const std::string reason = ("--ftp-server \"" + long_server).substr(0, 255);
  EXPECT_NE(err.find("error: cURL setup failed: " + reason + "\n"), std::string::npos) << err;

  RemoteLocation made{"gopher", "h", "", "", "", "gopher://h"};
  testing::internal::CaptureStderr();
  EXPECT_EQ(open_remote_store(made), nullptr);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("--ftp-server \"gopher://h\" names none of the schemes"), std::string::npos)
      << err;
}

// A store of files in memory that has only put and get, to show what the
// interface's text forms make of them.
class PutGetOnly final : public RemoteStore {
 public:
  const StoreFeatures& features() const override { return features_; }
  std::optional<std::uint64_t> put(const std::string& name, const ByteSource& source) override {
    std::string& file = files[name];
    file.clear();
    char buffer[3];  // small: the text arrives in several calls
    for (;;) {
      const auto n = source(buffer);
      if (!n) return std::nullopt;
      if (*n == 0) return file.size();
      file.append(buffer, *n);
    }
  }
  bool get(const std::string& name, const ByteSink& sink) override {
    const auto found = files.find(name);
    if (found == files.end()) return false;
    const std::string& file = found->second;
    for (std::size_t at = 0; at < file.size(); at += 2) {
      if (!sink(
              std::span<const char>(file).subspan(at, std::min<std::size_t>(2, file.size() - at))))
        return false;
    }
    return true;
  }
  std::optional<std::string> tail(const std::string&, std::size_t) override { return {}; }
  std::optional<std::vector<RemoteFile>> list(std::string_view, DotNames) override { return {}; }
  bool remove(const std::vector<std::string>&, Missing, Urgency) override { return false; }
  Renamed rename(const std::vector<std::pair<std::string, std::string>>&) override {
    return Renamed::refused;
  }
  std::optional<std::uint64_t> size(const std::string&, Missing) override { return {}; }
  bool probe_writable(const std::string&) override { return false; }

  std::map<std::string, std::string> files;

 private:
  StoreFeatures features_;
};

TEST(RemoteStoreTest, TextFormsGoThroughPutAndGetWithinTheirBound) {
  PutGetOnly store;
  EXPECT_TRUE(store.put_text("record", "parts 2\nsizes 7 9\n"));
  EXPECT_EQ(store.files["record"], "parts 2\nsizes 7 9\n");
  EXPECT_EQ(store.get_text("record", 18), std::optional<std::string>("parts 2\nsizes 7 9\n"));
  EXPECT_FALSE(store.get_text("record", 17).has_value()) << "one byte beyond the bound";
  EXPECT_TRUE(store.put_text("empty", ""));
  EXPECT_EQ(store.get_text("empty", 0), std::optional<std::string>(""));
}

std::vector<std::string> feed(FtpNameList& listing, const std::vector<std::string>& chunks) {
  for (const std::string& chunk : chunks) EXPECT_TRUE(listing.feed(chunk));
  return listing.finish();
}

TEST(FtpNameListTest, JoinsLinesAcrossChunksAndKeepsNamesWhole) {
  // A name split over chunks is one name; bare line feeds keep the last
  // character; a chunk of nothing but line feeds is accepted.
  FtpNameList a("p_");
  EXPECT_EQ(
      feed(a, {"p_2005.01.01_1", "0.00\np_2005.01.02_10.00\r", "\n", "\n\n",
               "other.txt\np_2005.01.03_10.00"}),
      (std::vector<std::string>{"p_2005.01.01_10.00", "p_2005.01.02_10.00", "p_2005.01.03_10.00"}));

  // Only a real carriage return is dropped; a server answering with paths
  // gives the bare names.
  FtpNameList b("");
  EXPECT_EQ(feed(b, {"abc\r\nxyz\nsub/dir/name.part2\n"}),
            (std::vector<std::string>{"abc", "xyz", "name.part2"}));
}

// Every transport through the one store: what the dump-level logic counts
// on, whichever row of the dialect table serves the scheme.
class FtpStoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    account =
        GetParam() == "ftp" ? ftp_test::shared_account() : ftp_test::secure_account(GetParam());
    ASSERT_FALSE(account.home.empty()) << "the servers fixture did not publish the servers";
    dir = ftp_test::make_test_dir(account);
  }
  void TearDown() override {
    unsetenv("HVX_FTP_CA_FILE");
    unsetenv("HVX_SSH_KNOWN_HOSTS");
    unsetenv("HVX_FTP_MAX_RATE");
  }
  std::string local(const std::string& name) const { return account.home + "/" + dir + "/" + name; }
  void put_local(const std::string& name, const std::string& content) {
    write_file(local(name), content);
    if (account.uid >= 0) {
      ASSERT_EQ(::chown(local(name).c_str(), account.uid, account.uid), 0);
    }
  }
  std::unique_ptr<RemoteStore> store(const std::string& path) const {
    const auto where = parse_remote_location(account.server, path, account.login, account.password);
    EXPECT_TRUE(where.has_value());
    return where ? open_remote_store(*where) : nullptr;
  }
  std::unique_ptr<RemoteStore> store() const { return store(dir); }

  FtpAccount account;
  std::string dir;
};

TEST_P(FtpStoreTest, UploadsAndDownloadsStreamsUnderEscapedNames) {
  // Blanks, '#' and '%' in the path and the names reach the right files.
  dir = ftp_test::make_test_dir(account, " with #hash");
  const auto remote = store();
  ASSERT_NE(remote, nullptr);
  const std::string first = pattern(3 * 1024 * 1024 + 17);
  const std::string second = "second file\n";
  testing::internal::CaptureStdout();
  // Uploads in a row share their handle; a download in between ends it.
  EXPECT_EQ(remote->put("my dump#1 100%", source_of(first)), first.size());
  EXPECT_EQ(remote->put("my dump#1 100%.part2", source_of(second, 5)), second.size());
  const auto got = fetch(*remote, "my dump#1 100%");
  EXPECT_EQ(remote->put("other", source_of(first.substr(0, 1000))), 1000u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "nothing of libcurl's on stdout";
  EXPECT_EQ(read_file(local("my dump#1 100%")), first);
  EXPECT_EQ(read_file(local("my dump#1 100%.part2")), second);
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(*got == first) << "the bytes arrive whole and in order";
  EXPECT_EQ(remote->size("my dump#1 100%", Missing::fails), first.size());

  // An upload replaces a file of the same name.
  EXPECT_EQ(remote->put("other", source_of(second)), second.size());
  EXPECT_EQ(read_file(local("other")), second);
  EXPECT_EQ(remote->last_failure(), "");

  // libcurl tells no size of an empty file over SFTP, so there an empty
  // upload cannot be checked; a dump's files are never empty.
  if (GetParam() != "sftp") {
    EXPECT_EQ(remote->put("empty", source_of("")), 0u);
    EXPECT_EQ(read_file(local("empty")), "");
  }
}

TEST_P(FtpStoreTest, SourceFailureAndSinkStopFailTheTransfer) {
  const auto remote = store();
  ASSERT_NE(remote, nullptr);
  // A source that fails has reported why; the store adds nothing.
  int calls = 0;
  const ByteSource failing = [&calls](std::span<char> buffer) -> std::optional<std::size_t> {
    if (++calls > 2) return std::nullopt;
    std::memset(buffer.data(), 'x', 1000);
    return 1000;
  };
  testing::internal::CaptureStderr();
  EXPECT_FALSE(remote->put("broken", failing).has_value());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  // A sink that stops ends the download as a failure.
  put_local("big", pattern(2 * 1024 * 1024));
  std::size_t taken = 0;
  const ByteSink stopping = [&taken](std::span<const char> bytes) {
    taken += bytes.size();
    return false;
  };
  testing::internal::CaptureStderr();
  EXPECT_FALSE(remote->get("big", stopping));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_GT(taken, 0u);
  EXPECT_LT(taken, 2u * 1024 * 1024);
  EXPECT_NE(err.find("error: cURL execution failed: "), std::string::npos) << err;
  EXPECT_EQ(remote->last_failure().rfind("error: cURL execution failed: ", 0), 0u);

  // A file that is not there.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(fetch(*remote, "absent").has_value());
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
}

TEST_P(FtpStoreTest, UploadWhoseStoredSizeDiffersFails) {
  // Bytes that reach the file besides the upload's (another writer on the
  // server) make it longer than what was sent.
  const auto remote = store();
  ASSERT_NE(remote, nullptr);
  const std::string text = "0123456789";
  const std::string path = local("grown");
  bool appended = false;
  const ByteSource source = [&](std::span<char> buffer) -> std::optional<std::size_t> {
    if (appended) return 0;
    appended = true;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    EXPECT_GE(fd, 0) << "the server creates the file before it reads the data";
    if (fd >= 0) {
      EXPECT_EQ(::write(fd, std::string(100, 'y').data(), 100), 100);
      ::close(fd);
    }
    std::memcpy(buffer.data(), text.data(), text.size());
    return text.size();
  };
  testing::internal::CaptureStderr();
  EXPECT_FALSE(remote->put("grown", source).has_value());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("The part \"grown\" on the FTP server holds 100 bytes, 10 were sent\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(remote->last_failure(),
            "The part \"grown\" on the FTP server holds 100 bytes, 10 were sent\n");

  // A file that cannot be stored at all (its directory is missing).
  const auto nowhere = store(dir + "/no/such/dir");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(nowhere->put("d", source_of(text)).has_value());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(nowhere->last_failure().rfind("error: cURL execution failed: ", 0), 0u)
      << nowhere->last_failure();
}

TEST_P(FtpStoreTest, ListsByPrefixWithDotNamesWhenAsked) {
  for (const char* name : {"d", "d.part2", ".hvxtmp.x.d", ".hidden", "other"}) {
    put_local(name, "x\n");
  }
  const auto remote = store();
  ASSERT_NE(remote, nullptr);
  testing::internal::CaptureStdout();
  const auto all = remote->list("", DotNames::included);
  const auto staged = remote->list(".hvxtmp.", DotNames::included);
  const auto dump = remote->list("d", DotNames::may_be_left_out);
  const auto plain = remote->list("", DotNames::may_be_left_out);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(names_of(all),
            (std::set<std::string>{"d", "d.part2", ".hvxtmp.x.d", ".hidden", "other"}))
      << "\".\" and \"..\" never";
  EXPECT_EQ(names_of(staged), std::set<std::string>{".hvxtmp.x.d"});
  EXPECT_EQ(names_of(dump), (std::set<std::string>{"d", "d.part2"}));
  ASSERT_TRUE(plain.has_value());
  EXPECT_TRUE(names_of(plain).count("other"));
  if (remote->features().lists_dot_names) {
    EXPECT_EQ(names_of(plain), names_of(all));
  }

  // A directory that is not there fails the listing.
  const auto missing = store(dir + "/missing");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(missing->list("", DotNames::included).has_value());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("error: cURL execution failed: "), std::string::npos) << err;
  EXPECT_EQ(missing->last_failure().rfind("error: cURL execution failed: ", 0), 0u);
}

TEST_P(FtpStoreTest, DeletesWithMissingFilesFailingOrAllowed) {
  for (const char* name : {"a", "b", "c", "keep"}) put_local(name, "x\n");
  const auto remote = store();
  ASSERT_NE(remote, nullptr);
  EXPECT_TRUE(remote->remove({}, Missing::fails, Urgency::command));
  EXPECT_TRUE(remote->remove({"a", "never there", "b"}, Missing::allowed, Urgency::cleanup));
  EXPECT_EQ(names_in(account, dir), (std::set<std::string>{"c", "keep"}));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(remote->remove({"never there", "c"}, Missing::fails, Urgency::command));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(names_in(account, dir).count("c"), 1u) << "the batch stops at the refusal";

  // Names and paths that would end a command line early or leave the
  // directory are refused before anything is sent.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(remote->remove({"x\r\nDELE keep"}, Missing::allowed, Urgency::command));
  EXPECT_FALSE(remote->remove({"../" + dir + "/keep"}, Missing::allowed, Urgency::command));
  EXPECT_FALSE(store(dir + "\nDELE " + dir)->remove({"keep"}, Missing::allowed, Urgency::command));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Unable to delete files: invalid file name \"x\r\nDELE keep\""),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Unable to delete files: invalid FTP path"), std::string::npos) << err;
  EXPECT_EQ(names_in(account, dir).count("keep"), 1u);
}

TEST_P(FtpStoreTest, RenamesInOrderAndStopsAtARefusal) {
  put_local("d", "base\n");
  put_local("d.part2", "second\n");
  put_local(".hvxtmp.x.d", "staged\n");
  const auto remote = store();
  ASSERT_NE(remote, nullptr);
  EXPECT_EQ(remote->rename({{"d.part2", ".hvxtmp.x~old.d.part2"}, {".hvxtmp.x.d", "n"}}),
            Renamed::done);
  EXPECT_EQ(names_in(account, dir), (std::set<std::string>{"d", ".hvxtmp.x~old.d.part2", "n"}));
  EXPECT_EQ(read_file(local("n")), "staged\n");

  // A source that is not there is refused by every server, and the renames
  // after it are not sent.
  testing::internal::CaptureStderr();
  EXPECT_EQ(remote->rename({{"absent", "x"}, {"n", "later"}}), Renamed::refused);
  EXPECT_EQ(remote->rename({{"n", "bad\nname"}}), Renamed::refused);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(names_in(account, dir).count("later"), 0u);
  EXPECT_EQ(names_in(account, dir).count("n"), 1u);
  if (GetParam() == "sftp") {
    // SFTP never replaces a file.
    testing::internal::CaptureStderr();
    EXPECT_EQ(remote->rename({{"n", "d"}}), Renamed::refused);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(read_file(local("d")), "base\n");
  }
}

TEST_P(FtpStoreTest, SizesAndMissingFiles) {
  put_local("d.part2", "second\n");
  const auto remote = store();
  ASSERT_NE(remote, nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(remote->size("d.part2", Missing::fails), std::optional<std::uint64_t>(7));
  EXPECT_FALSE(remote->size("absent", Missing::allowed).has_value());
  const std::string quiet = testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no FTP pseudo headers on stdout";
  EXPECT_EQ(quiet, "") << "a missing file is no failure of its own";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(remote->size("absent", Missing::fails).has_value());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      remote->last_failure().rfind("Unable to learn the size of \"absent\" on the FTP server: ", 0),
      0u)
      << remote->last_failure();
}

TEST_P(FtpStoreTest, TailReadsTheEndWithoutTheRest) {
  // Under a rate cap the whole file would take half a minute to arrive.
  const std::string content = pattern(8 * 1024 * 1024) + "Magic1: abc\nMagic2: def\n";
  put_local("big", content);
  put_local("short", "Magic1: x\n");
  put_local("empty", "");
  setenv("HVX_FTP_MAX_RATE", "256K", 1);
  const auto remote = store();
  ASSERT_NE(remote, nullptr);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(remote->tail("big", 100), content.substr(content.size() - 100));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(remote->tail("short", 100), "Magic1: x\n");
  EXPECT_EQ(remote->tail("short", 3), " x\n");
  EXPECT_EQ(remote->tail("empty", 100), "");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(remote->tail("absent", 100).has_value());
  testing::internal::GetCapturedStderr();
}

TEST_P(FtpStoreTest, TextRecordsAreBounded) {
  const auto remote = store();
  ASSERT_NE(remote, nullptr);
  EXPECT_TRUE(remote->put_text(".hvxtmp.x~commit.d", "parts 2\n"));
  EXPECT_EQ(read_file(local(".hvxtmp.x~commit.d")), "parts 2\n");
  EXPECT_EQ(remote->get_text(".hvxtmp.x~commit.d", 1024), std::optional<std::string>("parts 2\n"));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(remote->get_text(".hvxtmp.x~commit.d", 4).has_value()) << "longer than a record";
  EXPECT_FALSE(remote->get_text("absent", 1024).has_value());
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
}

TEST_P(FtpStoreTest, WriteProbeLeavesNothingBehind) {
  const std::string log = std::string(std::getenv("HVX_ROOT")) + "/var/sandbox/farstore.log";
  std::filesystem::remove(log);
  const auto remote = store();
  ASSERT_NE(remote, nullptr);
  EXPECT_TRUE(remote->probe_writable(dir));
  EXPECT_TRUE(names_in(account, dir).empty());
  EXPECT_EQ(std::getenv("FTP_LOGIN"), nullptr);
  EXPECT_EQ(std::getenv("FTP_PASSWORD"), nullptr);
  if (GetParam() == "ftp") {
    // Plain FTP asks the panel's utility, with the server text as given.
    EXPECT_EQ(read_file(log),
              "--writing-test --server " + account.server + " --basedir " + dir + "\n");
    const std::string fail = std::string(std::getenv("HVX_ROOT")) + "/var/sandbox/farstore-fail";
    write_file(fail, "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(remote->probe_writable(dir));
    testing::internal::GetCapturedStderr();
    std::filesystem::remove(fail);
  } else {
    EXPECT_FALSE(file_exists(log)) << "farstore speaks plain FTP only";
    const auto nowhere = store(dir + "/missing");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(nowhere->probe_writable(dir));
    testing::internal::GetCapturedStderr();
  }
}

TEST_P(FtpStoreTest, MissingVerificationFileFailsBeforeConnecting) {
  if (GetParam() == "ftp") GTEST_SKIP() << "plain FTP checks nothing";
  TempDir scratch;
  const std::string missing = scratch / "missing.pem";
  const char* variable = GetParam() == "sftp" ? "HVX_SSH_KNOWN_HOSTS" : "HVX_FTP_CA_FILE";
  const std::string kept = std::getenv(variable);
  for (const std::string& value : {missing, scratch.path()}) {
    setenv(variable, value.c_str(), 1);
    testing::internal::CaptureStderr();
    const auto remote = store();
    EXPECT_FALSE(remote->list("", DotNames::included).has_value());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(remote->last_failure().rfind(std::string("error: cURL setup failed: ") + variable +
                                               " names no readable file: \"" + value + "\"",
                                           0),
              0u)
        << err;
  }
  setenv(variable, kept.c_str(), 1);
}

INSTANTIATE_TEST_SUITE_P(Transports, FtpStoreTest,
                         ::testing::Values("ftp", "ftpes", "ftps", "sftp"));

std::unique_ptr<RemoteStore> private_store(const FtpAccount& account, const std::string& path) {
  const auto where = parse_remote_location(account.server, path, account.login, account.password);
  return where ? open_remote_store(*where) : nullptr;
}

// Short limits for a server that stops answering; restored when the case
// ends.
class ShortLimits {
 public:
  ShortLimits() {
    setenv("HVX_FTP_STALL_TIMEOUT", "2", 1);
    setenv("HVX_FTP_CONNECT_TIMEOUT", "2", 1);
  }
  ~ShortLimits() {
    unsetenv("HVX_FTP_STALL_TIMEOUT");
    unsetenv("HVX_FTP_CONNECT_TIMEOUT");
  }
};

// A listing of every name needs both NLST and "NLST -a": a server that never
// answers the second fails the listing within the limits (a commit record
// may be among the names it would have given), while the plain listing
// alone is not affected.
TEST(FtpStoreFrozen, UnansweredHiddenListingFailsInsteadOfLeavingNamesOut) {
  TempDir state;
  ftp_test::PrivateFtpServer server(state.path(), "lister", "secret");
  const FtpAccount& account = server.account();
  write_file(account.home + "/d", "data\n");
  write_file(account.home + "/.hvxtmp.record", "record\n");
  const ShortLimits limits;
  const auto remote = private_store(account, ".");
  EXPECT_EQ(names_of(remote->list("", DotNames::included)),
            (std::set<std::string>{"d", ".hvxtmp.record"}));

  server.freeze_at("NLST -a", 1, "session");
  const auto started = std::chrono::steady_clock::now();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(remote->list("", DotNames::included).has_value());
  testing::internal::GetCapturedStderr();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_TRUE(file_exists(state.path() + "/freeze.fired"));
  EXPECT_EQ(remote->last_failure().rfind("error: cURL execution failed: ", 0), 0u)
      << remote->last_failure();

  server.freeze_at("NLST -a", 1, "session");
  EXPECT_TRUE(names_of(remote->list("", DotNames::may_be_left_out)).count("d"));
}

// A rename the server took but never answered may still be carried out:
// that is told apart from a refusal.
TEST(FtpStoreFrozen, UnansweredRenameIsNoRefusal) {
  TempDir state;
  ftp_test::PrivateFtpServer server(state.path(), "renamer", "secret");
  const FtpAccount& account = server.account();
  write_file(account.home + "/a", "a\n");
  write_file(account.home + "/b", "b\n");
  const ShortLimits limits;
  const auto remote = private_store(account, ".");
  server.freeze_at("RNTO", 1, "session");
  testing::internal::CaptureStderr();
  EXPECT_EQ(remote->rename({{"a", "a2"}}), Renamed::unanswered);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(file_exists(state.path() + "/freeze.fired"));
  EXPECT_EQ(remote->rename({{"b", "b2"}}), Renamed::done);
}

TEST(FtpStoreLogin, CredentialsWithColonsAndBlanksLogIn) {
  TempDir state;
  ftp_test::PrivateFtpServer server(state.path(), "us:er", "pa:ss word");
  FtpAccount account = server.account();
  write_file(account.home + "/d", "data\n");
  EXPECT_EQ(names_of(private_store(account, ".")->list("d", DotNames::may_be_left_out)),
            std::set<std::string>{"d"});
  account.password = "wrong";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(private_store(account, ".")->list("d", DotNames::may_be_left_out).has_value());
  testing::internal::GetCapturedStderr();
}

}  // namespace
