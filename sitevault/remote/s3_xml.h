// The XML replies of an S3 endpoint, read with expat: error documents
// (which may come with a 200 status), listings, the upload id of a new
// multipart upload and the per-key failures of a batch deletion. Element
// names are matched without their namespace; a document type declaration is
// refused, so no entity is declared and nothing outside the reply is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace s3 {

// An <Error> document: its Code and Message (either may be empty), and for a
// key of a batch deletion the Key.
struct ErrorReply {
  std::string code;
  std::string message;
  std::string key;
};

// The error a body carries when its root element is <Error>; nullopt for any
// other body, an empty one or one that is no XML.
std::optional<ErrorReply> parse_error(std::string_view body);

// The root element's local name; empty when the body is no XML document.
std::string root_name(std::string_view body);

// One page of ListObjectsV2. Keys are decoded when the reply says they were
// URL-encoded.
struct ListedObject {
  std::string key;
  std::uint64_t size = 0;
  // LastModified in seconds since the epoch; nullopt when it is not a time.
  std::optional<std::int64_t> last_modified = std::nullopt;
};
struct ListPage {
  std::vector<ListedObject> objects;
  bool truncated = false;
  std::string next_token;
};
// nullopt when the body is no ListBucketResult, a key does not decode or a
// size is no number.
std::optional<ListPage> parse_list_page(std::string_view body);
// An ISO 8601 UTC time as the listings write it ("2026-12-09T10:00:00.000Z",
// the fraction optional) in seconds since the epoch; nullopt otherwise.
std::optional<std::int64_t> parse_utc_time(std::string_view text);

// One page of ListMultipartUploads: the key and id of each unfinished
// upload, and where the next page starts.
struct OpenUpload {
  std::string key;
  std::string upload_id;
};
struct UploadsPage {
  std::vector<OpenUpload> uploads;
  bool truncated = false;
  std::string next_key_marker;
  std::string next_upload_id_marker;
};
// nullopt when the body is no ListMultipartUploadsResult, a key does not
// decode, or a truncated page tells no next marker.
std::optional<UploadsPage> parse_uploads_page(std::string_view body);

// The UploadId of an InitiateMultipartUploadResult; nullopt when there is
// none.
std::optional<std::string> parse_upload_id(std::string_view body);

// The failures of a DeleteResult, one per key not deleted; nullopt when the
// body is no DeleteResult.
std::optional<std::vector<ErrorReply>> parse_delete_result(std::string_view body);

}  // namespace s3
