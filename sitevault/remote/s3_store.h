// A remote repository in a bucket of an S3-compatible object store, reached
// through libcurl over HTTPS (verified like FTP over TLS) or plain HTTP, with
// path-style addresses and requests signed by libcurl (AWS signature
// version 4). The repository is the key prefix PREFIX/ of --ftp-path
// BUCKET[/PREFIX]; each file of a dump is one object.
//
// An object of unknown length is read a part at a time into an unlinked
// temporary file (the spool), so memory stays bounded whatever the dump's
// size: one that ends within its first part goes up as one PutObject of
// known length, a longer one as a multipart upload, which is aborted on any
// failure. A rename is a server-side copy and a deletion of the source, so a
// file may be at most 5 GiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/unique_fd.h"
#include "sitevault/remote/curl_session.h"
#include "sitevault/remote/remote_store.h"
#include "sitevault/remote/s3_request.h"

class S3Store final : public RemoteStore {
 public:
  // The store for a parsed location of scheme "s3" (tls) or "s3+http";
  // nullptr after reporting when --ftp-path names no bucket or HVX_S3_REGION
  // or HVX_S3_SIGN_PAYLOAD holds no usable value.
  static std::unique_ptr<S3Store> open(const RemoteLocation& where, bool tls);
  S3Store(const S3Store&) = delete;
  S3Store& operator=(const S3Store&) = delete;
  // Aborts the multipart uploads still open.
  ~S3Store() override;

  const StoreFeatures& features() const override { return features_; }
  std::optional<std::uint64_t> put(const std::string& name, const ByteSource& source) override;
  bool get(const std::string& name, const ByteSink& sink) override;
  // One ranged GET of the last bytes.
  std::optional<std::string> tail(const std::string& name, std::size_t bytes) override;
  // ListObjectsV2 page by page, with "/" as delimiter: the keys below the
  // repository's prefix, not those of deeper "directories".
  std::optional<std::vector<RemoteFile>> list(std::string_view prefix, DotNames dot_names) override;
  // DeleteObjects. A key that is not there counts as deleted: the store
  // tells no difference.
  bool remove(const std::vector<std::string>& names, Missing missing, Urgency urgency) override;
  // CopyObject to the new key, then DeleteObject of the old one, a move at
  // a time.
  Renamed rename(const std::vector<std::pair<std::string, std::string>>& moves) override;
  // HeadObject.
  std::optional<std::uint64_t> size(const std::string& name, Missing missing) override;
  bool put_text(const std::string& name, std::string_view text) override;
  std::optional<std::string> get_text(const std::string& name, std::size_t max_bytes) override;
  // A small probe object is written, looked for in the listing and deleted.
  bool probe_writable(const std::string& basedir) override;
  // ListMultipartUploads under the prefix, and AbortMultipartUpload of each
  // that abandoned accepts.
  bool end_abandoned_uploads(std::string_view prefix,
                             const std::function<bool(const std::string&)>& abandoned) override;

  // Bytes of one part of a multipart upload (and the most an object sent as
  // one PutObject holds).
  std::uint64_t part_size() const { return part_size_; }

 private:
  struct Request;
  struct Reply;

  S3Store(const RemoteLocation& where, bool tls, s3::BucketPath bucket, std::string region,
          bool sign_payload);

  // Sends one request on the store's handle; transport failures and setup
  // failures are in the reply, not reported.
  Reply send(const Request& request);
  // Whether the reply is a success (2xx without an <Error> document); else
  // reports what failed, naming the action and the key.
  bool succeeded(const Request& request, const Reply& reply);
  std::string url(const std::string& key, const std::string& query) const;

  // Reads the source's next part into the spool; the bytes read, or nullopt
  // (reported by the source, or here when the spool fails).
  std::optional<std::uint64_t> fill_spool(const ByteSource& source, std::string* sha256);
  bool open_spool();
  // PUT of the spool's first length bytes as key (a whole object, or with
  // query a part); the part's ETag in etag when given.
  bool put_spool(const std::string& key, const std::string& query, std::uint64_t length,
                 const std::string& sha256, std::string* etag);
  std::optional<std::uint64_t> put_multipart(const std::string& key, const ByteSource& source,
                                             std::uint64_t first_part, std::string first_sha256);
  // false after reporting when the upload could not be aborted.
  bool abort_upload(const std::string& key, const std::string& upload_id);
  std::optional<std::uint64_t> head(const std::string& name, Missing missing);
  bool delete_batch(const std::vector<std::string>& names, remote::TransferUse use);

  RemoteLocation where_;
  remote::CurlTransport transport_;
  const char* url_scheme_;
  s3::BucketPath bucket_;
  std::string region_;
  std::string sigv4_;
  bool sign_payload_;
  StoreFeatures features_;
  std::uint64_t part_size_;
  remote::CurlSession session_;
  UniqueFd spool_;
  std::unique_ptr<char[]> buffer_;
  // Multipart uploads opened and not yet completed or aborted: key and id.
  std::vector<std::pair<std::string, std::string>> open_uploads_;
};
