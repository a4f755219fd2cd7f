#include "sitevault/remote/s3_xml.h"

#include <expat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "sitevault/remote/s3_request.h"

namespace s3 {
namespace {

// An element of a reply: its local name, its text, its child elements.
struct Element {
  std::string name;
  std::string text;
  std::vector<std::unique_ptr<Element>> children;
  Element* parent = nullptr;
};

struct ParserFree {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};
using Parser = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserFree>;

// Separates a namespace from the local name in expat's element names.
constexpr char kNamespaceSeparator = '\x01';
// Replies nest a few levels; a deeper document is no reply (and would cost
// the tree's recursive destruction its stack).
constexpr int kMaxDepth = 32;

struct Build {
  XML_Parser parser = nullptr;
  std::unique_ptr<Element> root;
  Element* current = nullptr;
  int depth = 0;
  bool failed = false;
};

void stop(Build& build) {
  build.failed = true;
  XML_StopParser(build.parser, XML_FALSE);
}

void start_element(void* data, const XML_Char* name, const XML_Char**) {
  auto& build = *static_cast<Build*>(data);
  if (++build.depth > kMaxDepth) {
    stop(build);
    return;
  }
  try {
    auto element = std::make_unique<Element>();
    const char* local = std::strrchr(name, kNamespaceSeparator);
    element->name = local != nullptr ? local + 1 : name;
    element->parent = build.current;
    Element* made = element.get();
    if (build.current == nullptr) {
      build.root = std::move(element);
    } else {
      build.current->children.push_back(std::move(element));
    }
    build.current = made;
  } catch (const std::bad_alloc&) {
    stop(build);
  }
}

void end_element(void* data, const XML_Char*) {
  auto& build = *static_cast<Build*>(data);
  --build.depth;
  if (build.current != nullptr) build.current = build.current->parent;
}

void character_data(void* data, const XML_Char* text, int length) {
  auto& build = *static_cast<Build*>(data);
  if (build.current == nullptr) return;
  try {
    build.current->text.append(text, static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    stop(build);
  }
}

// A reply is taken as it stands: a document type declaration (which could
// declare entities) is refused, and nothing outside the document is read.
void refuse_doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  stop(*static_cast<Build*>(data));
}

// The reply's root element; null when the body is empty or no well-formed
// document.
std::unique_ptr<Element> parse(std::string_view body) {
  if (body.empty() || body.size() > static_cast<std::size_t>(INT32_MAX)) return nullptr;
  const Parser parser(XML_ParserCreateNS(nullptr, kNamespaceSeparator));
  if (!parser) return nullptr;
  Build build;
  build.parser = parser.get();
  XML_SetUserData(parser.get(), &build);
  XML_SetElementHandler(parser.get(), start_element, end_element);
  XML_SetCharacterDataHandler(parser.get(), character_data);
  XML_SetStartDoctypeDeclHandler(parser.get(), refuse_doctype);
  const XML_Status status =
      XML_Parse(parser.get(), body.data(), static_cast<int>(body.size()), XML_TRUE);
  if (status != XML_STATUS_OK || build.failed) return nullptr;
  return std::move(build.root);
}

bool named(const Element* element, const char* name) {
  return element != nullptr && element->name == name;
}

const Element* child(const Element* parent, const char* name) {
  if (parent == nullptr) return nullptr;
  for (const auto& element : parent->children) {
    if (element->name == name) return element.get();
  }
  return nullptr;
}

std::string child_text(const Element* parent, const char* name) {
  const Element* element = child(parent, name);
  return element != nullptr ? element->text : std::string();
}

ErrorReply error_of(const Element* node) {
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
  const std::unique_ptr<Element> document = parse(body);
  const Element* root = document.get();
  if (!named(root, "Error")) return std::nullopt;
  return error_of(root);
}

std::string root_name(std::string_view body) {
  const std::unique_ptr<Element> document = parse(body);
  const Element* root = document.get();
  return root != nullptr ? root->name : "";
}

std::optional<ListPage> parse_list_page(std::string_view body) {
  const std::unique_ptr<Element> document = parse(body);
  const Element* root = document.get();
  if (!named(root, "ListBucketResult")) return std::nullopt;
  const bool encoded = child_text(root, "EncodingType") == "url";
  ListPage page;
  page.truncated = child_text(root, "IsTruncated") == "true";
  page.next_token = child_text(root, "NextContinuationToken");
  for (const auto& element : root->children) {
    const Element* node = element.get();
    if (!named(node, "Contents")) continue;
    std::string key = child_text(node, "Key");
    if (encoded) {
      auto decoded = uri_decode(key);
      if (!decoded) return std::nullopt;
      key = std::move(*decoded);
    }
    const auto size = number(child_text(node, "Size"));
    if (!size) return std::nullopt;
    page.objects.push_back(
        {std::move(key), *size, parse_utc_time(child_text(node, "LastModified"))});
  }
  if (page.truncated && page.next_token.empty()) return std::nullopt;
  return page;
}

std::optional<std::int64_t> parse_utc_time(std::string_view text) {
  // YYYY-MM-DDThh:mm:ss, then an optional fraction, then Z.
  if (text.size() < 20 || text.back() != 'Z') return std::nullopt;
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return std::nullopt;
  }
  const std::string_view fraction = text.substr(kShape.size(), text.size() - kShape.size() - 1);
  if (!fraction.empty()) {
    if (fraction[0] != '.' || fraction.size() < 2) return std::nullopt;
    for (const char c : fraction.substr(1)) {
      if (c < '0' || c > '9') return std::nullopt;
    }
  }
  const auto field = [&](std::size_t at, std::size_t length) {
    int value = 0;
    for (std::size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  std::tm tm{};
  tm.tm_year = field(0, 4) - 1900;
  tm.tm_mon = field(5, 2) - 1;
  tm.tm_mday = field(8, 2);
  tm.tm_hour = field(11, 2);
  tm.tm_min = field(14, 2);
  tm.tm_sec = field(17, 2);
  if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
      tm.tm_sec > 60)
    return std::nullopt;
  return static_cast<std::int64_t>(::timegm(&tm));
}

std::optional<UploadsPage> parse_uploads_page(std::string_view body) {
  const std::unique_ptr<Element> document = parse(body);
  const Element* root = document.get();
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
  for (const auto& element : root->children) {
    const Element* node = element.get();
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
  const std::unique_ptr<Element> document = parse(body);
  const Element* root = document.get();
  if (!named(root, "InitiateMultipartUploadResult")) return std::nullopt;
  std::string id = child_text(root, "UploadId");
  if (id.empty()) return std::nullopt;
  return id;
}

std::optional<std::vector<ErrorReply>> parse_delete_result(std::string_view body) {
  const std::unique_ptr<Element> document = parse(body);
  const Element* root = document.get();
  if (!named(root, "DeleteResult")) return std::nullopt;
  std::vector<ErrorReply> failures;
  for (const auto& element : root->children) {
    if (named(element.get(), "Error")) failures.push_back(error_of(element.get()));
  }
  return failures;
}

}  // namespace s3
