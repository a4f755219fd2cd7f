#include "sitevault/remote/s3_store.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

#include "common/fd_io.h"
#include "common/messages.h"
#include "sitevault/openssl_handles.h"
#include "sitevault/remote/s3_xml.h"

using remote::CurlOptions;
using remote::CurlSlist;
using remote::TransferUse;

namespace {

// Parts are read into the spool in blocks of this size, the only buffer of
// the upload held in memory besides libcurl's own.
constexpr std::size_t kSpoolBlock = 128 * 1024;
// libcurl reads an upload and hands out a download in blocks of this size.
constexpr long kTransferBlock = 128 * 1024;
// Preferred part size: a multipart upload of a 5 GiB object takes 160 parts.
// The part is spooled, not held in memory, and a gateway takes fewer, larger
// parts faster (a 1 GiB upload 10-15% faster at 16 MiB than at 8 MiB, and
// again at 32 MiB than at 16).
constexpr std::uint64_t kPreferredPartSize = std::uint64_t{32} << 20;
// The most of an error document or a reply kept; a listing page of 1,000
// long keys stays under it.
constexpr std::size_t kReplyLimit = 64 * 1024;
constexpr std::size_t kListReplyLimit = 8 << 20;
// The payload of a request that carries none, and the marker of a payload
// left out of the signature.
constexpr const char* kEmptySha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char* kUnsignedPayload = "UNSIGNED-PAYLOAD";

// A region is one word of letters, digits and dashes: it goes into the
// signature's scope between colons.
bool plain_region(std::string_view region) {
  if (region.empty() || region.size() > 64) return false;
  return std::all_of(region.begin(), region.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
  });
}

struct Sha256 {
  MdCtxPtr ctx{EVP_MD_CTX_new()};
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
  void update(const char* data, std::size_t size) {
    ok = ok && EVP_DigestUpdate(ctx.get(), data, size) == 1;
  }
  std::string hex() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(ctx.get(), out, &length) != 1) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
      text += kHex[out[i] >> 4];
      text += kHex[out[i] & 0xF];
    }
    return text;
  }
};

// The state of one transfer that libcurl's callbacks see.
struct Transfer {
  CURL* handle = nullptr;
  const ByteSink* sink = nullptr;  // a 2xx body goes here
  std::string body;                // else up to limit bytes of it here
  std::size_t limit = kReplyLimit;
  bool body_cut = false;
  std::string etag;
  // An upload from memory or from the spool.
  std::string_view memory;
  int spool_fd = -1;
  std::uint64_t spool_offset = 0;
  std::uint64_t spool_end = 0;
  int read_errno = 0;
};

long status_of(CURL* handle) {
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

std::size_t reply_write(char* data, std::size_t size, std::size_t count, void* target) {
  auto* transfer = static_cast<Transfer*>(target);
  const std::size_t bytes = size * count;
  try {
    const long status = status_of(transfer->handle);
    if (transfer->sink != nullptr && status >= 200 && status < 300) {
      return (*transfer->sink)(std::span<const char>(data, bytes)) ? bytes : 0;
    }
    const std::size_t room = transfer->limit - transfer->body.size();
    if (bytes > room) transfer->body_cut = true;
    transfer->body.append(data, std::min(bytes, room));
  } catch (...) {
    return 0;
  }
  return bytes;
}

std::size_t reply_header(char* data, std::size_t size, std::size_t count, void* target) {
  auto* transfer = static_cast<Transfer*>(target);
  const std::size_t bytes = size * count;
  std::string_view line(data, bytes);
  constexpr std::string_view kEtag = "etag:";
  if (line.size() > kEtag.size() && strncasecmp(line.data(), kEtag.data(), kEtag.size()) == 0) {
    line.remove_prefix(kEtag.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) {
      line.remove_suffix(1);
    }
    try {
      transfer->etag = std::string(line);
    } catch (...) {
      return 0;
    }
  }
  return bytes;
}

std::size_t request_read(char* buffer, std::size_t size, std::size_t count, void* target) {
  auto* transfer = static_cast<Transfer*>(target);
  const std::size_t room = size * count;
  if (transfer->spool_fd < 0) {
    const std::size_t n = std::min(room, transfer->memory.size());
    std::memcpy(buffer, transfer->memory.data(), n);
    transfer->memory.remove_prefix(n);
    return n;
  }
  const std::uint64_t left = transfer->spool_end - transfer->spool_offset;
  const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(room, left));
  if (want == 0) return 0;
  for (;;) {
    const ssize_t got =
        ::pread(transfer->spool_fd, buffer, want, static_cast<off_t>(transfer->spool_offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      transfer->read_errno = got < 0 ? errno : EIO;
      return CURL_READFUNC_ABORT;
    }
    transfer->spool_offset += static_cast<std::uint64_t>(got);
    return static_cast<std::size_t>(got);
  }
}

// The progress function of a request that must run even after a
// termination request: the abort of a multipart upload.
int never_stop(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return 0; }

}  // namespace

// One request: what the store sends.
struct S3Store::Request {
  Request(const char* action_name, const char* http_method)
      : action(action_name), method(http_method) {}
  const char* action;  // the S3 operation's name, for messages
  const char* method;
  std::string key;    // empty: the bucket
  std::string query;  // canonical, with its '?'
  TransferUse use = TransferUse::command;
  std::vector<std::string> headers;
  // A body from memory, or spool_length bytes of the spool.
  std::optional<std::string_view> body;
  bool from_spool = false;
  std::uint64_t spool_length = 0;
  // The payload's SHA-256 (or UNSIGNED-PAYLOAD); empty: that of body.
  std::string payload_hash;
  const ByteSink* sink = nullptr;
  std::string range;
  std::size_t reply_limit = kReplyLimit;
  bool head = false;
  // A termination request ends it (not so the abort of an upload).
  bool stoppable = true;
  // The file name in the messages; empty: the key.
  std::string name;
};

// What came back.
struct S3Store::Reply {
  bool set_up = false;  // the handle and options were there (else reported)
  CURLcode code = CURLE_OK;
  std::string reason;  // libcurl's, when code is not CURLE_OK
  long status = 0;
  std::string body;
  std::string etag;
  curl_off_t length = -1;
  int read_errno = 0;
  bool answered() const { return set_up && code == CURLE_OK; }
  bool success() const { return answered() && status >= 200 && status < 300; }
};

std::unique_ptr<S3Store> S3Store::open(const RemoteLocation& where, bool tls) {
  auto bucket = s3::split_bucket_path(where.path);
  if (!bucket) {
    errno = 0;
    report_error("error: --ftp-path \"%s\" names no bucket (BUCKET or BUCKET/PREFIX)\n",
                 where.path.c_str());
    return nullptr;
  }
  const char* region = std::getenv("HVX_S3_REGION");
  std::string region_text = region != nullptr && *region != '\0' ? region : "us-east-1";
  if (!plain_region(region_text)) {
    errno = 0;
    report_error("error: HVX_S3_REGION is not a region name: \"%s\"\n", region_text.c_str());
    return nullptr;
  }
  const char* sign = std::getenv("HVX_S3_SIGN_PAYLOAD");
  const std::string_view sign_text = sign != nullptr ? sign : "";
  if (sign_text != "" && sign_text != "0" && sign_text != "1") {
    errno = 0;
    report_error("error: HVX_S3_SIGN_PAYLOAD is neither 0 nor 1: \"%s\"\n", sign);
    return nullptr;
  }
  return std::unique_ptr<S3Store>(
      new S3Store(where, tls, std::move(*bucket), std::move(region_text), sign_text == "1"));
}

S3Store::S3Store(const RemoteLocation& where, bool tls, s3::BucketPath bucket, std::string region,
                 bool sign_payload)
    : where_(where),
      transport_{tls ? "https" : "http", tls ? remote::CurlAuth::tls : remote::CurlAuth::plain},
      url_scheme_(tls ? "https://" : "http://"),
      bucket_(std::move(bucket)),
      region_(std::move(region)),
      sigv4_("aws:amz:" + region_ + ":s3"),
      sign_payload_(sign_payload),
      part_size_(s3::part_size_for(kPreferredPartSize, s3::kMaxObjectSize)),
      session_([this](const std::string& text) { report("%s", text.c_str()); }) {
  features_.lists_dot_names = true;
  features_.delete_batch = s3::kDeleteBatch;
  features_.max_object = s3::kMaxObjectSize;
}

S3Store::~S3Store() {
  while (!open_uploads_.empty()) {
    const auto [key, id] = open_uploads_.back();
    abort_upload(key, id);
  }
}

std::string S3Store::url(const std::string& key, const std::string& query) const {
  return url_scheme_ + where_.authority + s3::object_path(bucket_.bucket, key) + query;
}

S3Store::Reply S3Store::send(const Request& request) {
  Reply reply;
  if (!session_.valid()) return reply;
  curl_easy_reset(session_.get());
  Transfer transfer;
  transfer.handle = session_.get();
  transfer.sink = request.sink;
  transfer.limit = request.reply_limit;

  std::string payload_hash = request.payload_hash;
  if (payload_hash.empty()) {
    payload_hash = request.body ? s3::sha256_hex(*request.body) : kEmptySha256;
  }
  CurlSlist headers;
  bool headers_ok = true;
  const auto add_header = [&headers, &headers_ok](const std::string& line) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (grown == nullptr) {
      headers_ok = false;
      return;
    }
    (void)headers.release();
    headers.reset(grown);
  };
  add_header("x-amz-content-sha256: " + payload_hash);
  for (const std::string& line : request.headers) add_header(line);

  const std::string address = url(request.key, request.query);
  CurlOptions& options = session_.options(where_, transport_, request.use)
                             .set(CURLOPT_URL, address.c_str())
                             .set(CURLOPT_AWS_SIGV4, sigv4_.c_str())
                             .set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1))
                             .set(CURLOPT_PATH_AS_IS, 1L)
                             // One HTTPS connection serves the requests one
                             // after another (the shared TLS options forbid
                             // it for FTP's data connections only).
                             .set(CURLOPT_FORBID_REUSE, 0L)
                             .set(CURLOPT_HTTPHEADER, headers.get())
                             .set(CURLOPT_WRITEFUNCTION, reply_write)
                             .set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer))
                             .set(CURLOPT_HEADERFUNCTION, reply_header)
                             .set(CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
  if (!headers_ok) options.fail(CURLE_OUT_OF_MEMORY);
  if (!request.stoppable) {
    options.set(CURLOPT_XFERINFOFUNCTION, never_stop);
  }
  const std::string method = request.method;
  if (request.head) {
    options.set(CURLOPT_NOBODY, 1L);
  } else if (method == "PUT") {
    if (request.from_spool) {
      transfer.spool_fd = spool_.get();
      transfer.spool_end = request.spool_length;
    } else {
      transfer.memory = request.body.value_or(std::string_view());
    }
    const std::uint64_t length = request.from_spool ? request.spool_length : transfer.memory.size();
    options.set(CURLOPT_UPLOAD, 1L)
        .set(CURLOPT_READFUNCTION, request_read)
        .set(CURLOPT_READDATA, static_cast<void*>(&transfer))
        .set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length))
        .set(CURLOPT_UPLOAD_BUFFERSIZE, kTransferBlock);
  } else if (method == "POST") {
    const std::string_view body = request.body.value_or(std::string_view());
    // Never a null body: libcurl would read one from standard input.
    options.set(CURLOPT_POST, 1L)
        .set(CURLOPT_POSTFIELDS, body.empty() ? "" : body.data())
        .set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  } else if (method != "GET") {
    options.set(CURLOPT_CUSTOMREQUEST, request.method);
  }
  // A download of a dump's file takes large blocks; every other request
  // keeps libcurl's small receive buffer, which an upload never fills.
  if (request.sink != nullptr && request.use == TransferUse::data) {
    options.set(CURLOPT_BUFFERSIZE, kTransferBlock);
  }
  if (!request.range.empty()) options.set(CURLOPT_RANGE, request.range.c_str());
  if (!session_.options_ok()) return reply;
  reply.set_up = true;
  reply.code = session_.run();
  if (reply.code != CURLE_OK) reply.reason = session_.reason(reply.code);
  reply.status = status_of(session_.get());
  curl_easy_getinfo(session_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &reply.length);
  reply.body = std::move(transfer.body);
  reply.etag = std::move(transfer.etag);
  reply.read_errno = transfer.read_errno;
  return reply;
}

bool S3Store::succeeded(const Request& request, const Reply& reply) {
  if (!reply.set_up) return false;  // reported by the session
  const std::string& name = request.name.empty() ? request.key : request.name;
  if (reply.code != CURLE_OK) {
    if (reply.read_errno != 0) {
      report("error: S3 %s of \"%s\" failed: the spooled part cannot be read: %s\n", request.action,
             name.c_str(), std::strerror(reply.read_errno));
    } else {
      report("error: cURL execution failed: %s\n", reply.reason.c_str());
    }
    return false;
  }
  // A success status may still carry an error document (a copy or the
  // completion of a multipart upload that failed after the answer began).
  const auto error = s3::parse_error(reply.body);
  if (reply.status >= 200 && reply.status < 300 && !error) return true;
  std::string code = error && !error->code.empty() ? error->code : "no error code";
  std::string message = error && !error->message.empty() ? ": " + error->message : "";
  if (code == "NoSuchBucket" || (!error && reply.status == 404 && request.key.empty())) {
    message += " (bucket \"" + bucket_.bucket + "\")";
  }
  report("error: S3 %s of \"%s\" failed: %s (HTTP status %ld)%s\n", request.action, name.c_str(),
         code.c_str(), reply.status, message.c_str());
  return false;
}

bool S3Store::open_spool() {
  if (spool_) return true;
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string directory = tmpdir != nullptr && *tmpdir == '/' ? tmpdir : "/tmp";
  // An unnamed file where the kernel offers one; else a named one unlinked
  // at once. Either way nothing of it is left when the process ends.
  spool_.reset(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600));
  if (!spool_) {
    std::string path = directory + "/.hvx-s3-spool.XXXXXX";
    spool_.reset(::mkostemp(path.data(), O_CLOEXEC));
    if (spool_) ::unlink(path.c_str());
  }
  if (!spool_) {
    const int saved = errno;
    report("error: Unable to create a spool file in \"%s\": %s\n", directory.c_str(),
           std::strerror(saved));
    return false;
  }
  return true;
}

std::optional<std::uint64_t> S3Store::fill_spool(const ByteSource& source, std::string* sha256) {
  if (!open_spool()) return std::nullopt;
  if (!buffer_) {
    buffer_.reset(new (std::nothrow) char[kSpoolBlock]);
    if (!buffer_) {
      report("error: Unable to allocate the upload buffer: out of memory\n");
      return std::nullopt;
    }
  }
  if (::lseek(spool_.get(), 0, SEEK_SET) != 0) {
    const int saved = errno;
    report("error: Unable to rewind the spool file: %s\n", std::strerror(saved));
    return std::nullopt;
  }
  std::optional<Sha256> digest;
  if (sign_payload_) digest.emplace();
  std::uint64_t filled = 0;
  while (filled < part_size_) {
    const auto room =
        static_cast<std::size_t>(std::min<std::uint64_t>(kSpoolBlock, part_size_ - filled));
    std::optional<std::size_t> got;
    try {
      got = source(std::span<char>(buffer_.get(), room));
    } catch (...) {
      got = std::nullopt;
    }
    if (!got || *got > room) return std::nullopt;  // the source has reported why
    if (*got == 0) break;
    if (!write_all(spool_.get(), buffer_.get(), *got)) {
      const int saved = errno;
      report("error: Unable to write the spool file: %s\n", std::strerror(saved));
      return std::nullopt;
    }
    if (digest) digest->update(buffer_.get(), *got);
    filled += *got;
  }
  if (digest) {
    *sha256 = digest->hex();
    if (sha256->empty()) {
      report("error: Unable to compute the SHA-256 of a part\n");
      return std::nullopt;
    }
  } else {
    *sha256 = kUnsignedPayload;
  }
  return filled;
}

bool S3Store::put_spool(const std::string& key, const std::string& query, std::uint64_t length,
                        const std::string& sha256, std::string* etag) {
  Request request(query.empty() ? "PutObject" : "UploadPart", "PUT");
  request.key = key;
  request.query = query;
  request.use = TransferUse::data;
  request.from_spool = true;
  request.spool_length = length;
  request.payload_hash = sha256;
  const Reply reply = send(request);
  if (!succeeded(request, reply)) return false;
  if (etag != nullptr) {
    if (reply.etag.empty()) {
      report("error: S3 UploadPart of \"%s\" failed: the answer carries no ETag\n", key.c_str());
      return false;
    }
    *etag = reply.etag;
  }
  return true;
}

bool S3Store::abort_upload(const std::string& key, const std::string& upload_id) {
  std::erase_if(open_uploads_, [&](const auto& open) { return open.second == upload_id; });
  Request request("AbortMultipartUpload", "DELETE");
  request.key = key;
  request.query = s3::canonical_query({{"uploadId", upload_id}});
  request.use = TransferUse::cleanup;
  request.stoppable = false;
  const Reply reply = send(request);
  // An upload that is already gone is what the abort wants.
  if (reply.answered() && reply.status == 404) return true;
  if (succeeded(request, reply)) return true;
  errno = 0;
  report_error(
      "Unable to abort the multipart upload of \"%s\": its parts stay on the server until the "
      "next run ends it\n",
      key.c_str());
  return false;
}

std::optional<std::uint64_t> S3Store::put_multipart(const std::string& key,
                                                    const ByteSource& source,
                                                    std::uint64_t first_part,
                                                    std::string first_sha256) {
  Request create("CreateMultipartUpload", "POST");
  create.key = key;
  create.query = s3::canonical_query({{"uploads", ""}});
  create.body = std::string_view();
  create.headers = {"Content-Type: application/octet-stream"};
  const Reply created = send(create);
  if (!succeeded(create, created)) return std::nullopt;
  const auto upload_id = s3::parse_upload_id(created.body);
  if (!upload_id) {
    report("error: S3 CreateMultipartUpload of \"%s\" failed: the answer names no upload\n",
           key.c_str());
    return std::nullopt;
  }
  open_uploads_.emplace_back(key, *upload_id);

  std::vector<std::string> etags;
  std::uint64_t total = 0;
  std::uint64_t part = first_part;
  std::string sha256 = std::move(first_sha256);
  while (part > 0) {
    if (etags.size() >= s3::kMaxParts || total + part > features_.max_object) {
      report("error: The file \"%s\" is larger than an S3 object may be (%llu bytes)\n",
             key.c_str(), static_cast<unsigned long long>(features_.max_object));
      abort_upload(key, *upload_id);
      return std::nullopt;
    }
    const std::string query = s3::canonical_query(
        {{"partNumber", std::to_string(etags.size() + 1)}, {"uploadId", *upload_id}});
    std::string etag;
    if (!put_spool(key, query, part, sha256, &etag)) {
      abort_upload(key, *upload_id);
      return std::nullopt;
    }
    etags.push_back(std::move(etag));
    total += part;
    const auto next = fill_spool(source, &sha256);
    if (!next) {
      abort_upload(key, *upload_id);
      return std::nullopt;
    }
    part = *next;
  }

  const std::string body = s3::complete_request_body(etags);
  Request complete("CompleteMultipartUpload", "POST");
  complete.key = key;
  complete.query = s3::canonical_query({{"uploadId", *upload_id}});
  complete.body = body;
  complete.headers = {"Content-Type: application/xml"};
  // Assembling a large object may take the server a while before it
  // answers: bounded as a data transfer, by the stall limit.
  complete.use = TransferUse::data;
  const Reply completed = send(complete);
  if (!succeeded(complete, completed)) {
    abort_upload(key, *upload_id);
    return std::nullopt;
  }
  std::erase_if(open_uploads_, [&](const auto& open) { return open.second == *upload_id; });
  return total;
}

std::optional<std::uint64_t> S3Store::put(const std::string& name, const ByteSource& source) {
  const std::string key = s3::object_key(bucket_, name);
  std::string sha256;
  const auto first = fill_spool(source, &sha256);
  if (!first) return std::nullopt;
  std::optional<std::uint64_t> sent;
  if (*first < part_size_) {
    if (put_spool(key, "", *first, sha256, nullptr)) sent = *first;
  } else {
    sent = put_multipart(key, source, *first, std::move(sha256));
  }
  if (!sent) return std::nullopt;
  // The object as the server holds it must be as long as what was sent.
  const auto stored = head(name, Missing::fails);
  if (!stored) {
    report("Unable to check the object \"%s\" on the S3 server\n", key.c_str());
    return std::nullopt;
  }
  if (*stored != *sent) {
    report("The object \"%s\" on the S3 server holds %llu bytes, %llu were sent\n", key.c_str(),
           static_cast<unsigned long long>(*stored), static_cast<unsigned long long>(*sent));
    return std::nullopt;
  }
  return sent;
}

bool S3Store::get(const std::string& name, const ByteSink& sink) {
  Request request("GetObject", "GET");
  request.key = s3::object_key(bucket_, name);
  request.use = TransferUse::data;
  request.sink = &sink;
  return succeeded(request, send(request));
}

std::optional<std::string> S3Store::tail(const std::string& name, std::size_t bytes) {
  if (bytes == 0) return std::string();
  std::string text;
  // A server that ignores the range sends the whole object: only its end
  // is kept.
  const ByteSink keep_end = [&text, bytes](std::span<const char> data) {
    text.append(data.data(), data.size());
    if (text.size() > 2 * bytes) text.erase(0, text.size() - bytes);
    return true;
  };
  Request request("GetObject", "GET");
  request.key = s3::object_key(bucket_, name);
  request.sink = &keep_end;
  request.range = "-" + std::to_string(bytes);
  const Reply reply = send(request);
  // An empty object has no last bytes to give.
  if (reply.answered() && reply.status == 416) return std::string();
  if (!succeeded(request, reply)) return std::nullopt;
  if (text.size() > bytes) text.erase(0, text.size() - bytes);
  return text;
}

std::optional<std::vector<RemoteFile>> S3Store::list(std::string_view prefix, DotNames) {
  const std::string directory = bucket_.prefix.empty() ? "" : bucket_.prefix + "/";
  const std::string key_prefix = directory + std::string(prefix);
  std::vector<RemoteFile> files;
  std::string token;
  for (;;) {
    s3::QueryParams params = {
        {"list-type", "2"}, {"prefix", key_prefix}, {"delimiter", "/"}, {"encoding-type", "url"}};
    if (!token.empty()) params.emplace_back("continuation-token", token);
    Request request("ListObjectsV2", "GET");
    request.query = s3::canonical_query(std::move(params));
    request.reply_limit = kListReplyLimit;
    request.name = key_prefix;
    const Reply reply = send(request);
    if (!succeeded(request, reply)) return std::nullopt;
    auto page = s3::parse_list_page(reply.body);
    if (!page) {
      report("error: S3 ListObjectsV2 of \"%s\" failed: the answer is no listing\n",
             key_prefix.c_str());
      return std::nullopt;
    }
    for (s3::ListedObject& object : page->objects) {
      if (object.key.compare(0, key_prefix.size(), key_prefix) != 0) continue;
      std::string name = object.key.substr(directory.size());
      if (name.empty() || name.find('/') != std::string::npos) continue;
      files.push_back({std::move(name), object.size, object.last_modified});
    }
    if (!page->truncated) break;
    if (page->next_token == token) {
      report("error: S3 ListObjectsV2 of \"%s\" failed: the listing does not advance\n",
             key_prefix.c_str());
      return std::nullopt;
    }
    token = std::move(page->next_token);
  }
  return files;
}

bool S3Store::delete_batch(const std::vector<std::string>& names, TransferUse use) {
  std::vector<std::string> keys;
  keys.reserve(names.size());
  for (const std::string& name : names) keys.push_back(s3::object_key(bucket_, name));
  const std::string body = s3::delete_request_body(keys);
  const std::string md5 = s3::md5_base64(body);
  Request request("DeleteObjects", "POST");
  request.query = s3::canonical_query({{"delete", ""}});
  request.body = body;
  request.headers = {"Content-MD5: " + md5, "Content-Type: application/xml"};
  request.use = use;
  request.name =
      keys.size() == 1 ? keys.front() : keys.front() + "\" and others of \"" + bucket_.bucket;
  const Reply reply = send(request);
  if (!succeeded(request, reply)) return false;
  const auto failures = s3::parse_delete_result(reply.body);
  if (!failures) {
    report("error: S3 DeleteObjects failed: the answer is no deletion result\n");
    return false;
  }
  for (const s3::ErrorReply& failure : *failures) {
    report("error: S3 DeleteObjects of \"%s\" failed: %s%s%s\n", failure.key.c_str(),
           failure.code.empty() ? "no error code" : failure.code.c_str(),
           failure.message.empty() ? "" : ": ", failure.message.c_str());
  }
  return failures->empty();
}

bool S3Store::remove(const std::vector<std::string>& names, Missing, Urgency urgency) {
  const TransferUse use = urgency == Urgency::cleanup ? TransferUse::cleanup : TransferUse::command;
  for (std::size_t start = 0; start < names.size(); start += s3::kDeleteBatch) {
    const auto first = names.begin() + static_cast<std::ptrdiff_t>(start);
    const auto last = names.begin() +
                      static_cast<std::ptrdiff_t>(std::min(start + s3::kDeleteBatch, names.size()));
    if (!delete_batch(std::vector<std::string>(first, last), use)) return false;
  }
  return true;
}

Renamed S3Store::rename(const std::vector<std::pair<std::string, std::string>>& moves) {
  for (const auto& [from, to] : moves) {
    const std::string source = s3::object_key(bucket_, from);
    Request copy("CopyObject", "PUT");
    copy.key = s3::object_key(bucket_, to);
    copy.body = std::string_view();
    copy.headers = {"x-amz-copy-source: " + s3::object_path(bucket_.bucket, source)};
    const Reply copied = send(copy);
    if (!succeeded(copy, copied)) return copied.answered() ? Renamed::refused : Renamed::unanswered;
    Request drop("DeleteObject", "DELETE");
    drop.key = source;
    const Reply dropped = send(drop);
    if (!succeeded(drop, dropped)) {
      return dropped.answered() ? Renamed::refused : Renamed::unanswered;
    }
  }
  return Renamed::done;
}

std::optional<std::uint64_t> S3Store::head(const std::string& name, Missing missing) {
  Request request("HeadObject", "HEAD");
  request.key = s3::object_key(bucket_, name);
  request.head = true;
  const Reply reply = send(request);
  if (reply.answered() && reply.status == 404 && missing == Missing::allowed) return std::nullopt;
  if (!succeeded(request, reply)) return std::nullopt;
  if (reply.length < 0) {
    report("error: S3 HeadObject of \"%s\" failed: the answer tells no length\n",
           request.key.c_str());
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(reply.length);
}

std::optional<std::uint64_t> S3Store::size(const std::string& name, Missing missing) {
  return head(name, missing);
}

bool S3Store::put_text(const std::string& name, std::string_view text) {
  Request request("PutObject", "PUT");
  request.key = s3::object_key(bucket_, name);
  request.body = text;
  return succeeded(request, send(request));
}

std::optional<std::string> S3Store::get_text(const std::string& name, std::size_t max_bytes) {
  std::string text;
  bool too_long = false;
  const ByteSink sink = [&](std::span<const char> bytes) {
    if (bytes.size() > max_bytes - text.size()) {
      too_long = true;
      return false;
    }
    text.append(bytes.data(), bytes.size());
    return true;
  };
  Request request("GetObject", "GET");
  request.key = s3::object_key(bucket_, name);
  request.sink = &sink;
  const Reply reply = send(request);
  if (too_long) {
    report("error: The object \"%s\" is longer than %zu bytes\n", request.key.c_str(), max_bytes);
    return std::nullopt;
  }
  if (!succeeded(request, reply)) return std::nullopt;
  return text;
}

bool S3Store::probe_writable(const std::string&) {
  // Not a staging name, so that it is never taken for a dump being written.
  const std::string probe = "hvx-write-test." + std::to_string(::getpid());
  if (!put_text(probe, "hvx write test\n")) return false;
  const auto files = list(probe, DotNames::may_be_left_out);
  const bool listed =
      files && std::any_of(files->begin(), files->end(),
                           [&](const RemoteFile& file) { return file.name == probe; });
  const bool deleted = remove({probe}, Missing::fails, Urgency::command);
  if (files && !listed) {
    report("The object \"%s\" written is not listed by the server\n",
           s3::object_key(bucket_, probe).c_str());
  }
  return listed && deleted;
}

bool S3Store::end_abandoned_uploads(std::string_view prefix,
                                    const std::function<bool(const std::string&)>& abandoned) {
  const std::string directory = bucket_.prefix.empty() ? "" : bucket_.prefix + "/";
  const std::string key_prefix = directory + std::string(prefix);
  std::vector<s3::OpenUpload> ended;
  std::string key_marker;
  std::string id_marker;
  for (;;) {
    // Keys as they are: a gateway that encodes them here does not say so.
    s3::QueryParams params = {{"uploads", ""}, {"prefix", key_prefix}};
    if (!key_marker.empty()) {
      params.emplace_back("key-marker", key_marker);
      params.emplace_back("upload-id-marker", id_marker);
    }
    Request request("ListMultipartUploads", "GET");
    request.query = s3::canonical_query(std::move(params));
    request.reply_limit = kListReplyLimit;
    request.name = key_prefix;
    const Reply reply = send(request);
    if (!succeeded(request, reply)) return false;
    auto page = s3::parse_uploads_page(reply.body);
    if (!page) {
      report("error: S3 ListMultipartUploads of \"%s\" failed: the answer is no listing\n",
             key_prefix.c_str());
      return false;
    }
    for (s3::OpenUpload& upload : page->uploads) {
      if (upload.key.compare(0, directory.size(), directory) != 0) continue;
      const std::string name = upload.key.substr(directory.size());
      if (name.find('/') == std::string::npos && abandoned(name)) {
        ended.push_back(std::move(upload));
      }
    }
    if (!page->truncated) break;
    if (page->next_key_marker == key_marker && page->next_upload_id_marker == id_marker) break;
    key_marker = std::move(page->next_key_marker);
    id_marker = std::move(page->next_upload_id_marker);
  }
  bool all = true;
  for (const s3::OpenUpload& upload : ended) {
    all = abort_upload(upload.key, upload.upload_id) && all;
  }
  return all;
}
