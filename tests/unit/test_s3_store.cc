// The object store against the real gateway of the test run, over plain
// HTTP and over HTTPS with the test CA: whole objects and multipart uploads
// from a source in pieces, downloads, the tail of an object, listings under
// a prefix with blanks and non-ASCII, renames, batch deletions, the write
// probe; failures that must abort the upload and name the S3 error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sitevault/remote/remote_store.h"
#include "sitevault/remote/s3_store.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::test_env;

struct Endpoint {
  std::string server;
  std::string bucket;
  std::string key;
  std::string secret;
};

Endpoint endpoint(bool tls) {
  if (tls) {
    ::setenv("HVX_FTP_CA_FILE", test_env("HVX_TEST_S3_CA").c_str(), 1);
  } else {
    ::unsetenv("HVX_FTP_CA_FILE");
  }
  return {(tls ? "s3://127.0.0.1:" + test_env("HVX_TEST_S3_HTTPS_PORT")
               : "s3+http://127.0.0.1:" + test_env("HVX_TEST_S3_HTTP_PORT")),
          test_env("HVX_TEST_S3_BUCKET"), test_env("HVX_TEST_S3_ACCESS_KEY"),
          test_env("HVX_TEST_S3_SECRET")};
}

std::unique_ptr<RemoteStore> open_store(const Endpoint& at, const std::string& path,
                                        const std::string& secret) {
  auto where = parse_remote_location(at.server, path, at.key, secret);
  if (!where) return nullptr;
  return open_remote_store(*where);
}

// Bytes that differ at every offset, so a part sent twice or out of order
// shows.
std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  std::uint32_t x = 2463534242U;
  for (char& c : text) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return text;
}

// A source that hands out text in pieces of at most piece bytes, failing
// once fail_at bytes have gone out.
ByteSource source_of(const std::string& text, std::size_t piece = 100000,
                     std::size_t fail_at = std::string::npos) {
  auto offset = std::make_shared<std::size_t>(0);
  return [&text, piece, fail_at, offset](std::span<char> buffer) -> std::optional<std::size_t> {
    if (*offset >= fail_at) return std::nullopt;
    const std::size_t n = std::min({buffer.size(), piece, text.size() - *offset});
    std::copy_n(text.data() + *offset, n, buffer.data());
    *offset += n;
    return n;
  };
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

std::vector<std::string> names(RemoteStore& store, const std::string& prefix = "") {
  std::vector<std::string> listed;
  if (auto files = store.list(prefix, DotNames::included)) {
    for (const RemoteFile& file : *files) listed.push_back(file.name);
  }
  std::sort(listed.begin(), listed.end());
  return listed;
}

// The unfinished uploads under the store's prefix (none is ended).
std::vector<std::string> open_uploads(RemoteStore& store) {
  std::vector<std::string> seen;
  EXPECT_TRUE(store.end_abandoned_uploads("", [&seen](const std::string& name) {
    seen.push_back(name);
    return false;
  }));
  return seen;
}

class S3StoreTest : public testing::TestWithParam<bool> {};

TEST_P(S3StoreTest, ObjectsAndTheRepositoryDirectory) {
  const Endpoint at = endpoint(GetParam());
  const std::string prefix = "unit-" + std::to_string(::getpid()) + (GetParam() ? "-tls" : "") +
                             "/site one/b\xc3\xbc"
                             "cher+x";
  auto store = open_store(at, at.bucket + "/" + prefix, at.secret);
  ASSERT_NE(store, nullptr);
  auto* s3 = dynamic_cast<S3Store*>(store.get());
  ASSERT_NE(s3, nullptr);

  // Below one part: one PutObject; above it a multipart upload whose last
  // part is short. Each read back byte for byte, its size and its tail.
  const std::string small = pattern(70000);
  const std::string large = pattern(2 * s3->part_size() + 12345);
  EXPECT_EQ(store->put("d 1", source_of(small, 4096)), small.size());
  EXPECT_EQ(store->put(".hvxtmp.x.d 1.part2", source_of(large)), large.size());
  EXPECT_EQ(store->put("empty", source_of("")), 0U);
  EXPECT_EQ(fetch(*store, "d 1"), small);
  EXPECT_EQ(fetch(*store, ".hvxtmp.x.d 1.part2"), large);
  EXPECT_EQ(store->size(".hvxtmp.x.d 1.part2", Missing::fails), large.size());
  EXPECT_EQ(store->tail(".hvxtmp.x.d 1.part2", 1000), large.substr(large.size() - 1000));
  EXPECT_EQ(store->tail("d 1", 100000), small);
  EXPECT_EQ(store->tail("empty", 10), "");
  EXPECT_EQ(open_uploads(*store), std::vector<std::string>{});

  // A key deeper than the prefix is not a file of the directory, and a
  // missing one has no size.
  auto deeper = open_store(at, at.bucket + "/" + prefix + "/sub", at.secret);
  ASSERT_TRUE(deeper->put_text("inner", "x"));
  EXPECT_EQ(names(*store), (std::vector<std::string>{".hvxtmp.x.d 1.part2", "d 1", "empty"}));
  EXPECT_EQ(names(*store, "d"), std::vector<std::string>{"d 1"});
  EXPECT_FALSE(store->size("missing", Missing::allowed).has_value());

  // Renames replace nothing and leave no source; records round-trip.
  EXPECT_EQ(store->rename({{".hvxtmp.x.d 1.part2", "d 1.part2"}}), Renamed::done);
  EXPECT_EQ(fetch(*store, "d 1.part2"), large);
  EXPECT_TRUE(store->put_text(".hvxtmp.r", "record & <text>\n"));
  EXPECT_EQ(store->get_text(".hvxtmp.r", 100), "record & <text>\n");
  EXPECT_FALSE(store->get_text(".hvxtmp.r", 3).has_value());
  EXPECT_TRUE(store->probe_writable("."));
  EXPECT_EQ(names(*store), (std::vector<std::string>{".hvxtmp.r", "d 1", "d 1.part2", "empty"}));

  // A batch deletion, a missing name among them.
  EXPECT_TRUE(store->remove({"d 1", "d 1.part2", "empty", ".hvxtmp.r", "never"}, Missing::allowed,
                            Urgency::command));
  EXPECT_TRUE(deeper->remove({"inner"}, Missing::fails, Urgency::command));
  EXPECT_EQ(names(*store), std::vector<std::string>{});
}

TEST_P(S3StoreTest, FailuresAbortTheUploadAndNameTheError) {
  const Endpoint at = endpoint(GetParam());
  const std::string prefix = "unit-fail-" + std::to_string(::getpid()) + (GetParam() ? "-tls" : "");
  auto store = open_store(at, at.bucket + "/" + prefix, at.secret);
  ASSERT_NE(store, nullptr);
  auto* s3 = dynamic_cast<S3Store*>(store.get());

  // A source that fails in its second part: nothing stored, no upload left.
  const std::string large = pattern(2 * s3->part_size());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(store->put("cut", source_of(large, 100000, s3->part_size() + 500000)).has_value());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(open_uploads(*store), std::vector<std::string>{});
  EXPECT_EQ(names(*store), std::vector<std::string>{});

  // A wrong secret and a missing bucket: the S3 code and the HTTP status,
  // never the secret.
  const std::string wrong = "wrong-" + at.secret;
  auto forged = open_store(at, at.bucket + "/" + prefix, wrong);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(forged->put_text("x", "y"));
  EXPECT_FALSE(forged->list("", DotNames::included).has_value());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(forged->last_failure().find("SignatureDoesNotMatch (HTTP status 403)"),
            std::string::npos)
      << forged->last_failure();
  EXPECT_EQ(err.find(wrong), std::string::npos) << err;
  EXPECT_EQ(err.find(at.secret), std::string::npos) << err;

  auto nowhere = open_store(at, "no-such-bucket-" + std::to_string(::getpid()), at.secret);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(nowhere->put(std::string("x"), source_of(large)).has_value());
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("NoSuchBucket (HTTP status 404)"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Transports, S3StoreTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& param) {
                           return std::string(param.param ? "https" : "http");
                         });

}  // namespace
