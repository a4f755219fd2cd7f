// The S3 store's own request building and reply reading, without a server:
// the canonical encodings the signature covers (a wrong byte is a 403 from
// every server), the bucket and prefix of a repository path, the bodies of
// batch deletion and completion, the part plan, the XML replies (errors
// inside a 200, listings in pages, per-key deletion failures), and the
// store's refusals of a location it cannot use.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sitevault/remote/remote_store.h"
#include "sitevault/remote/s3_request.h"
#include "sitevault/remote/s3_store.h"
#include "sitevault/remote/s3_xml.h"

namespace {

TEST(S3Encoding, KeysAndQueriesInCanonicalForm) {
  // Only the unreserved bytes stay; hex in upper case; '/' only in keys.
  EXPECT_EQ(s3::uri_encode("AZaz09-_.~", false), "AZaz09-_.~");
  EXPECT_EQ(s3::uri_encode("a b+c/d%e*f=g&h", false), "a%20b%2Bc%2Fd%25e%2Af%3Dg%26h");
  EXPECT_EQ(s3::uri_encode("a b+c/d", true), "a%20b%2Bc/d");
  EXPECT_EQ(s3::uri_encode("b\xc3\xbc"
                           "cher\n",
                           true),
            "b%C3%BCcher%0A");
  EXPECT_EQ(s3::object_path("bkt", "dir one/x+y"), "/bkt/dir%20one/x%2By");
  EXPECT_EQ(s3::object_path("bkt", ""), "/bkt");
  // Dot segments are kept as they are: they are part of the key.
  EXPECT_EQ(s3::object_path("bkt", "../a/./b"), "/bkt/../a/./b");

  // Sorted by the encoded name in byte order (upper case first), every
  // parameter with '=', values encoded like any other.
  EXPECT_EQ(s3::canonical_query({}), "");
  EXPECT_EQ(s3::canonical_query({{"uploads", ""}}), "?uploads=");
  EXPECT_EQ(s3::canonical_query({{"uploadId", "2~a/b+c="}, {"partNumber", "10"}}),
            "?partNumber=10&uploadId=2~a%2Fb%2Bc%3D");
  EXPECT_EQ(s3::canonical_query({{"prefix", "dumps/x y"},
                                 {"list-type", "2"},
                                 {"delimiter", "/"},
                                 {"continuation-token", "1/ab=="},
                                 {"encoding-type", "url"},
                                 {"Zeta", ""}}),
            "?Zeta=&continuation-token=1%2Fab%3D%3D&delimiter=%2F&encoding-type=url&list-type=2&"
            "prefix=dumps%2Fx%20y");

  EXPECT_EQ(s3::uri_decode("a%20b%2Fc%C3%BC+"), "a b/c\xc3\xbc+");
  EXPECT_FALSE(s3::uri_decode("a%2").has_value());
  EXPECT_FALSE(s3::uri_decode("a%zz").has_value());
}

TEST(S3Encoding, BucketPrefixAndKeys) {
  auto where = s3::split_bucket_path("/bkt//nightly/site one/b\xc3\xbc//");
  ASSERT_TRUE(where.has_value());
  EXPECT_EQ(where->bucket, "bkt");
  EXPECT_EQ(where->prefix, "nightly/site one/b\xc3\xbc");
  EXPECT_EQ(s3::object_key(*where, "d.part2"), "nightly/site one/b\xc3\xbc/d.part2");

  where = s3::split_bucket_path("bkt");
  ASSERT_TRUE(where.has_value());
  EXPECT_EQ(where->prefix, "");
  EXPECT_EQ(s3::object_key(*where, "d"), "d");

  EXPECT_FALSE(s3::split_bucket_path("").has_value());
  EXPECT_FALSE(s3::split_bucket_path("//").has_value());
}

TEST(S3Encoding, RequestBodiesAndDigests) {
  // Keys with XML's special characters and control bytes stay keys.
  const std::string body = s3::delete_request_body({"p/a&b", "p/<c>\"'", "p/\x01"});
  EXPECT_EQ(body,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Delete><Quiet>true</Quiet>"
            "<Object><Key>p/a&amp;b</Key></Object>"
            "<Object><Key>p/&lt;c&gt;&quot;&apos;</Key></Object>"
            "<Object><Key>p/&#x01;</Key></Object></Delete>");
  EXPECT_EQ(s3::complete_request_body({"\"e1\"", "\"e2\""}),
            "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>&quot;e1&quot;</ETag>"
            "</Part><Part><PartNumber>2</PartNumber><ETag>&quot;e2&quot;</ETag></Part>"
            "</CompleteMultipartUpload>");
  EXPECT_EQ(s3::md5_base64(""), "1B2M2Y8AsgTpgAmY7PhCfg==");
  EXPECT_EQ(s3::md5_base64("The quick brown fox jumps over the lazy dog"),
            "nhB9nTcrtoJr2B01QqQZ1g==");
  EXPECT_EQ(s3::sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(S3Encoding, PartPlanHoldsTheLargestObject) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  // Never under the server's minimum, and 10,000 parts always hold the
  // largest object.
  EXPECT_EQ(s3::part_size_for(kMiB, s3::kMaxObjectSize), s3::kMinPartSize);
  EXPECT_EQ(s3::part_size_for(8 * kMiB, s3::kMaxObjectSize), 8 * kMiB);
  const std::uint64_t huge = std::uint64_t{100} << 30;
  const std::uint64_t part = s3::part_size_for(8 * kMiB, huge);
  EXPECT_GE(part * s3::kMaxParts, huge);
  EXPECT_LT((part - 1) * s3::kMaxParts, huge);
}

TEST(S3Replies, ErrorsAreFoundInAnyStatus) {
  const auto error = s3::parse_error(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>SignatureDoesNotMatch</Code>"
      "<Message>The request signature we calculated does not match</Message>"
      "<RequestId>tx1</RequestId></Error>");
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code, "SignatureDoesNotMatch");
  EXPECT_EQ(error->message, "The request signature we calculated does not match");
  // A completion that answered 200 and failed later.
  const auto late = s3::parse_error("<Error><Code>InternalError</Code><Message/></Error>");
  ASSERT_TRUE(late.has_value());
  EXPECT_EQ(late->code, "InternalError");
  EXPECT_EQ(late->message, "");
  // A result, an empty body and what is no XML are no error documents.
  EXPECT_FALSE(
      s3::parse_error("<CopyObjectResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
                      "<ETag>x</ETag></CopyObjectResult>")
          .has_value());
  EXPECT_FALSE(s3::parse_error("").has_value());
  EXPECT_FALSE(s3::parse_error("<Error><Code>x</Code>").has_value());
  // A document nested beyond any reply is refused, not recursed into.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  EXPECT_FALSE(s3::parse_error("<Error>" + deep).has_value());
  // No entity from outside the document is read.
  EXPECT_FALSE(s3::parse_error("<!DOCTYPE Error [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
                               "<Error><Code>&x;</Code></Error>")
                   .value_or(s3::ErrorReply{"none", "", ""})
                   .code.starts_with("root:"));
}

TEST(S3Replies, ListingPagesAndDeletionResults) {
  const char* page_text =
      "<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
      "<Name>bkt</Name><Prefix>p%2F</Prefix><EncodingType>url</EncodingType>"
      "<IsTruncated>true</IsTruncated><NextContinuationToken>tok/1=</NextContinuationToken>"
      "<Contents><Key>p/a%20b%26c</Key><LastModified>2026-12-31T23:59:58.123Z</LastModified>"
      "<Size>5368709120</Size></Contents>"
      "<Contents><Key>p/.hvxtmp.x</Key><Size>0</Size></Contents>"
      "<CommonPrefixes><Prefix>p/sub/</Prefix></CommonPrefixes></ListBucketResult>";
  auto page = s3::parse_list_page(page_text);
  ASSERT_TRUE(page.has_value());
  EXPECT_TRUE(page->truncated);
  EXPECT_EQ(page->next_token, "tok/1=");
  ASSERT_EQ(page->objects.size(), 2U);
  EXPECT_EQ(page->objects[0].key, "p/a b&c");
  EXPECT_EQ(page->objects[0].size, std::uint64_t{5} << 30);
  EXPECT_EQ(page->objects[1].key, "p/.hvxtmp.x");
  // The inventory's time of a dump without a stamp: LastModified, in UTC.
  EXPECT_EQ(page->objects[0].last_modified, std::int64_t{1798761598});
  EXPECT_FALSE(page->objects[1].last_modified.has_value());
  EXPECT_EQ(s3::parse_utc_time("2000-02-29T00:00:00Z"), std::int64_t{951782400});
  EXPECT_FALSE(s3::parse_utc_time("2000-02-29 00:00:00Z").has_value());
  EXPECT_FALSE(s3::parse_utc_time("2000-13-01T00:00:00Z").has_value());
  EXPECT_FALSE(s3::parse_utc_time("2000-02-29T00:00:00.Z").has_value());

  // Keys not URL-encoded are taken as they are; a '%' in them stays.
  page = s3::parse_list_page(
      "<ListBucketResult><IsTruncated>false</IsTruncated>"
      "<Contents><Key>p/100%</Key><Size>1</Size></Contents></ListBucketResult>");
  ASSERT_TRUE(page.has_value());
  EXPECT_EQ(page->objects.at(0).key, "p/100%");
  // A truncated page without a token would list forever; a size that is no
  // number and an error document are no listing.
  EXPECT_FALSE(s3::parse_list_page("<ListBucketResult><IsTruncated>true</IsTruncated>"
                                   "</ListBucketResult>")
                   .has_value());
  EXPECT_FALSE(s3::parse_list_page("<ListBucketResult><Contents><Key>a</Key><Size>-1</Size>"
                                   "</Contents></ListBucketResult>")
                   .has_value());
  EXPECT_FALSE(s3::parse_list_page("<Error><Code>NoSuchBucket</Code></Error>").has_value());

  EXPECT_EQ(s3::parse_upload_id("<InitiateMultipartUploadResult><Bucket>b</Bucket><Key>k</Key>"
                                "<UploadId>2~xyz</UploadId></InitiateMultipartUploadResult>"),
            "2~xyz");
  EXPECT_FALSE(s3::parse_upload_id("<InitiateMultipartUploadResult/>").has_value());

  // Unfinished uploads: keys as they come unless the reply says they are
  // encoded (a gateway may encode them without saying so when asked, so
  // the store does not ask).
  auto uploads = s3::parse_uploads_page(
      "<ListMultipartUploadsResult><IsTruncated>true</IsTruncated>"
      "<NextKeyMarker>p/b c</NextKeyMarker><NextUploadIdMarker>2~b</NextUploadIdMarker>"
      "<Upload><Key>p/.hvxtmp.t.a b%</Key><UploadId>2~a</UploadId></Upload>"
      "<Upload><Key>p/b c</Key><UploadId>2~b</UploadId></Upload></ListMultipartUploadsResult>");
  ASSERT_TRUE(uploads.has_value());
  ASSERT_EQ(uploads->uploads.size(), 2U);
  EXPECT_EQ(uploads->uploads[0].key, "p/.hvxtmp.t.a b%");
  EXPECT_EQ(uploads->uploads[0].upload_id, "2~a");
  EXPECT_TRUE(uploads->truncated);
  EXPECT_EQ(uploads->next_key_marker, "p/b c");
  EXPECT_EQ(uploads->next_upload_id_marker, "2~b");
  EXPECT_FALSE(s3::parse_uploads_page("<ListMultipartUploadsResult><IsTruncated>true"
                                      "</IsTruncated></ListMultipartUploadsResult>")
                   .has_value());

  auto failures = s3::parse_delete_result(
      "<DeleteResult><Deleted><Key>a</Key></Deleted><Error><Key>p/b</Key>"
      "<Code>AccessDenied</Code><Message>Access Denied</Message></Error></DeleteResult>");
  ASSERT_TRUE(failures.has_value());
  ASSERT_EQ(failures->size(), 1U);
  EXPECT_EQ(failures->at(0).key, "p/b");
  EXPECT_EQ(failures->at(0).code, "AccessDenied");
  EXPECT_TRUE(s3::parse_delete_result("<DeleteResult/>").value().empty());
  EXPECT_FALSE(s3::parse_delete_result("<Error><Code>MalformedXML</Code></Error>").has_value());
}

TEST(S3Location, SchemesAndWhatTheStoreRefuses) {
  for (const char* server : {"s3://gw.example:7480", "S3+HTTP://127.0.0.1:8000/"}) {
    auto where = parse_remote_location(server, "bkt/p", "key", "secret");
    ASSERT_TRUE(where.has_value()) << server;
    EXPECT_TRUE(where->scheme == "s3" || where->scheme == "s3+http") << where->scheme;
    auto store = open_remote_store(*where);
    ASSERT_NE(store, nullptr) << server;
    // What the dump-level logic and the split rule ask of it.
    EXPECT_TRUE(store->features().lists_dot_names);
    EXPECT_EQ(store->features().delete_batch, 1000U);
    EXPECT_EQ(store->features().max_object, std::uint64_t{5} << 30);
  }

  const auto refused = [](const char* path, const char* region, const char* sign) {
    if (region != nullptr) ::setenv("HVX_S3_REGION", region, 1);
    if (sign != nullptr) ::setenv("HVX_S3_SIGN_PAYLOAD", sign, 1);
    const auto where = parse_remote_location("s3+http://127.0.0.1:1", path, "k", "topsecret");
    testing::internal::CaptureStderr();
    const bool opened = open_remote_store(*where) != nullptr;
    const std::string err = testing::internal::GetCapturedStderr();
    ::unsetenv("HVX_S3_REGION");
    ::unsetenv("HVX_S3_SIGN_PAYLOAD");
    EXPECT_EQ(err.find("topsecret"), std::string::npos) << err;
    return opened ? std::string("opened") : err;
  };
  EXPECT_NE(refused("/", nullptr, nullptr).find("names no bucket"), std::string::npos);
  EXPECT_NE(refused("bkt", "us-east-1:x", nullptr).find("HVX_S3_REGION"), std::string::npos);
  EXPECT_NE(refused("bkt", nullptr, "yes").find("HVX_S3_SIGN_PAYLOAD"), std::string::npos);
  EXPECT_EQ(refused("bkt", "eu-central-1", "1"), "opened");
}

}  // namespace
