#include "remote/s3_xml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "remote/s3_request.h"

namespace s3 {
namespace {

struct XmlDocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDoc = std::unique_ptr<xmlDoc, XmlDocFree>;

// A reply is parsed as it stands: no network, no external entities, no
// diagnostics of libxml2's own on standard error.
XmlDoc parse(std::string_view body) {
  if (body.empty() || body.size() > static_cast<std::size_t>(INT32_MAX)) return nullptr;
  return XmlDoc(xmlReadMemory(body.data(), static_cast<int>(body.size()), "reply.xml", nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

bool named(const xmlNode* node, const char* name) {
  return node != nullptr && node->type == XML_ELEMENT_NODE &&
         std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

const xmlNode* root_of(const XmlDoc& doc) {
  return doc ? xmlDocGetRootElement(doc.get()) : nullptr;
}

const xmlNode* child(const xmlNode* parent, const char* name) {
  for (const xmlNode* node = parent != nullptr ? parent->children : nullptr; node != nullptr;
       node = node->next) {
    if (named(node, name)) return node;
  }
  return nullptr;
}

std::string text_of(const xmlNode* node) {
  if (node == nullptr) return {};
  xmlChar* content = xmlNodeGetContent(node);
  if (content == nullptr) return {};
  std::string text(reinterpret_cast<const char*>(content));
  xmlFree(content);
  return text;
}

std::string child_text(const xmlNode* parent, const char* name) {
  return text_of(child(parent, name));
}

ErrorReply error_of(const xmlNode* node) {
  return {child_text(node, "Code"), child_text(node, "Message"), child_text(node, "Key")};
}

std::optional<std::uint64_t> number(const std::string& text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return value;
}

}  // namespace

std::optional<ErrorReply> parse_error(std::string_view body) {
  const XmlDoc doc = parse(body);
  const xmlNode* root = root_of(doc);
  if (!named(root, "Error")) return std::nullopt;
  return error_of(root);
}

std::string root_name(std::string_view body) {
  const XmlDoc doc = parse(body);
  const xmlNode* root = root_of(doc);
  return root != nullptr ? reinterpret_cast<const char*>(root->name) : "";
}

std::optional<ListPage> parse_list_page(std::string_view body) {
  const XmlDoc doc = parse(body);
  const xmlNode* root = root_of(doc);
  if (!named(root, "ListBucketResult")) return std::nullopt;
  const bool encoded = child_text(root, "EncodingType") == "url";
  ListPage page;
  page.truncated = child_text(root, "IsTruncated") == "true";
  page.next_token = child_text(root, "NextContinuationToken");
  for (const xmlNode* node = root->children; node != nullptr; node = node->next) {
    if (!named(node, "Contents")) continue;
    std::string key = child_text(node, "Key");
    if (encoded) {
      auto decoded = uri_decode(key);
      if (!decoded) return std::nullopt;
      key = std::move(*decoded);
    }
    const auto size = number(child_text(node, "Size"));
    if (!size) return std::nullopt;
    page.objects.push_back({std::move(key), *size});
  }
  if (page.truncated && page.next_token.empty()) return std::nullopt;
  return page;
}

std::optional<UploadsPage> parse_uploads_page(std::string_view body) {
  const XmlDoc doc = parse(body);
  const xmlNode* root = root_of(doc);
  if (!named(root, "ListMultipartUploadsResult")) return std::nullopt;
  const bool encoded = child_text(root, "EncodingType") == "url";
  UploadsPage page;
  page.truncated = child_text(root, "IsTruncated") == "true";
  page.next_key_marker = child_text(root, "NextKeyMarker");
  page.next_upload_id_marker = child_text(root, "NextUploadIdMarker");
  if (encoded) {
    auto marker = uri_decode(page.next_key_marker);
    if (!marker) return std::nullopt;
    page.next_key_marker = std::move(*marker);
  }
  for (const xmlNode* node = root->children; node != nullptr; node = node->next) {
    if (!named(node, "Upload")) continue;
    std::string key = child_text(node, "Key");
    if (encoded) {
      auto decoded = uri_decode(key);
      if (!decoded) return std::nullopt;
      key = std::move(*decoded);
    }
    page.uploads.push_back({std::move(key), child_text(node, "UploadId")});
  }
  if (page.truncated && page.next_key_marker.empty()) return std::nullopt;
  return page;
}

std::optional<std::string> parse_upload_id(std::string_view body) {
  const XmlDoc doc = parse(body);
  const xmlNode* root = root_of(doc);
  if (!named(root, "InitiateMultipartUploadResult")) return std::nullopt;
  std::string id = child_text(root, "UploadId");
  if (id.empty()) return std::nullopt;
  return id;
}

std::optional<std::vector<ErrorReply>> parse_delete_result(std::string_view body) {
  const XmlDoc doc = parse(body);
  const xmlNode* root = root_of(doc);
  if (!named(root, "DeleteResult")) return std::nullopt;
  std::vector<ErrorReply> failures;
  for (const xmlNode* node = root->children; node != nullptr; node = node->next) {
    if (named(node, "Error")) failures.push_back(error_of(node));
  }
  return failures;
}

}  // namespace s3
