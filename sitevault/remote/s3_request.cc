#include "sitevault/remote/s3_request.h"

#include <openssl/evp.h>

#include <algorithm>

#include "sitevault/openssl_handles.h"

namespace s3 {
namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kHexLower[] = "0123456789abcdef";

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trim_slashes(std::string_view text) {
  while (!text.empty() && text.front() == '/') text.remove_prefix(1);
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  return text;
}

// The digest of data under md as raw bytes; empty when OpenSSL fails.
std::string digest_of(const EVP_MD* md, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), out, &length) != 1) {
    return {};
  }
  return std::string(reinterpret_cast<const char*>(out), length);
}

}  // namespace

std::optional<BucketPath> split_bucket_path(std::string_view path) {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  const std::size_t slash = path.find('/');
  BucketPath where;
  where.bucket = std::string(path.substr(0, slash));
  if (slash != std::string_view::npos) where.prefix = std::string(trim_slashes(path.substr(slash)));
  if (where.bucket.empty()) return std::nullopt;
  return where;
}

std::string object_key(const BucketPath& where, std::string_view name) {
  if (where.prefix.empty()) return std::string(name);
  std::string key = where.prefix;
  key += '/';
  key += name;
  return key;
}

std::string uri_encode(std::string_view text, bool keep_slash) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (unreserved(c) || (keep_slash && c == '/')) {
      out += ch;
    } else {
      out += '%';
      out += kHexUpper[c >> 4];
      out += kHexUpper[c & 0xF];
    }
  }
  return out;
}

std::optional<std::string> uri_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hex_value(text[i + 1]);
    const int low = hex_value(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string object_path(std::string_view bucket, std::string_view key) {
  std::string path = "/" + uri_encode(bucket, false);
  if (!key.empty()) path += "/" + uri_encode(key, true);
  return path;
}

std::string canonical_query(QueryParams params) {
  for (auto& [name, value] : params) {
    name = uri_encode(name, false);
    value = uri_encode(value, false);
  }
  std::sort(params.begin(), params.end());
  std::string query;
  for (const auto& [name, value] : params) {
    query += query.empty() ? '?' : '&';
    query += name;
    query += '=';
    query += value;
  }
  return query;
}

std::string xml_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "&#x";
          out += kHexUpper[c >> 4];
          out += kHexUpper[c & 0xF];
          out += ';';
        } else {
          out += ch;
        }
    }
  }
  return out;
}

std::string delete_request_body(const std::vector<std::string>& keys) {
  std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Delete><Quiet>true</Quiet>";
  for (const std::string& key : keys) body += "<Object><Key>" + xml_escape(key) + "</Key></Object>";
  body += "</Delete>";
  return body;
}

std::string complete_request_body(const std::vector<std::string>& etags) {
  std::string body = "<CompleteMultipartUpload>";
  for (std::size_t i = 0; i < etags.size(); ++i) {
    body += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" +
            xml_escape(etags[i]) + "</ETag></Part>";
  }
  body += "</CompleteMultipartUpload>";
  return body;
}

std::string sha256_hex(std::string_view data) {
  const std::string raw = digest_of(EVP_sha256(), data);
  std::string hex;
  for (const char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    hex += kHexLower[c >> 4];
    hex += kHexLower[c & 0xF];
  }
  return hex;
}

std::string md5_base64(std::string_view data) {
  const std::string raw = digest_of(EVP_md5(), data);
  if (raw.empty()) return {};
  unsigned char out[64];
  const int length = EVP_EncodeBlock(out, reinterpret_cast<const unsigned char*>(raw.data()),
                                     static_cast<int>(raw.size()));
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

std::uint64_t part_size_for(std::uint64_t preferred, std::uint64_t max_object) {
  const std::uint64_t needed = (max_object + kMaxParts - 1) / kMaxParts;
  return std::max({preferred, kMinPartSize, needed});
}

}  // namespace s3
