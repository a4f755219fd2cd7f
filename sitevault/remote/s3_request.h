// The parts of an S3 request that this tool writes itself rather than leave
// to libcurl: the bucket and key prefix of a repository path, object keys and
// query strings already in the canonical form that the request signature
// covers (libcurl signs them exactly as written), the XML body of a batch
// deletion, the digests some requests carry, and the size of an upload's
// parts. Pure functions, no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace s3 {

// Largest object a single PutObject or a server-side copy takes, and so the
// largest file of a dump on such a store.
constexpr std::uint64_t kMaxObjectSize = std::uint64_t{5} << 30;
// Bounds of a multipart upload: every part but the last at least
// kMinPartSize, at most kMaxParts parts.
constexpr std::uint64_t kMinPartSize = std::uint64_t{5} << 20;
constexpr std::uint64_t kMaxParts = 10000;
// Most keys one DeleteObjects request may name.
constexpr std::size_t kDeleteBatch = 1000;

// --ftp-path as BUCKET[/PREFIX]: leading slashes dropped, the prefix without
// slashes at either end (it may hold further slashes, blanks and any other
// byte). nullopt when no bucket is named.
struct BucketPath {
  std::string bucket;
  std::string prefix;
};
std::optional<BucketPath> split_bucket_path(std::string_view path);

// The object key of a file name in the repository: "PREFIX/name", or the
// bare name without a prefix.
std::string object_key(const BucketPath& where, std::string_view name);

// Percent-encoding as the signature's canonical form has it: every byte
// other than A-Z a-z 0-9 - _ . ~ as %XY with upper-case hex; with
// keep_slash, '/' stays as it is (a key in the path).
std::string uri_encode(std::string_view text, bool keep_slash);
// The reverse, for keys that a listing returns URL-encoded; nullopt for a
// malformed escape.
std::optional<std::string> uri_decode(std::string_view text);

// "/BUCKET/KEY" encoded for the request line (path-style addressing); with
// an empty key "/BUCKET".
std::string object_path(std::string_view bucket, std::string_view key);

// A query string in canonical form: parameters sorted by name (then value),
// each "name=value" even when the value is empty, both encoded. Empty for
// no parameters, else beginning with '?'.
using QueryParams = std::vector<std::pair<std::string, std::string>>;
std::string canonical_query(QueryParams params);

// Text fit for an XML element's content: & < > " ' escaped, and control
// characters as character references.
std::string xml_escape(std::string_view text);

// The DeleteObjects body for keys (quiet mode: only failures are answered).
std::string delete_request_body(const std::vector<std::string>& keys);
// The CompleteMultipartUpload body for the parts' ETags in part order.
std::string complete_request_body(const std::vector<std::string>& etags);

// Lower-case hex of the SHA-256 of data, base64 of its MD5 (Content-MD5).
// Empty when OpenSSL fails.
std::string sha256_hex(std::string_view data);
std::string md5_base64(std::string_view data);

// The size of each part of a multipart upload of an object of at most
// max_object bytes: at least kMinPartSize and preferred, and large enough
// that kMaxParts parts hold max_object.
std::uint64_t part_size_for(std::uint64_t preferred, std::uint64_t max_object);

}  // namespace s3
