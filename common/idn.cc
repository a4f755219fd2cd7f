#include "common/idn.h"

#include <idna.h>
#include <regex.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "common/messages.h"

int idn_last_error = 0;

namespace {

constexpr std::size_t kUrlBufferSize = 4096;
char url_result[kUrlBufferSize];

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using CharPtr = std::unique_ptr<char, FreeDeleter>;

struct RegexFree {
  void operator()(regex_t* re) const {
    regfree(re);
    delete re;
  }
};
using RegexPtr = std::unique_ptr<regex_t, RegexFree>;

[[noreturn]] void allocation_failed() {
  errno = 0;
  exit_with_error(1, "Allocation failed");
  util_exit(1);
}

// ASCII letters of a converted name in lower case. Names in ASCII skip
// nameprep in IDNA, so their case would otherwise come back as given.
void lower_ascii(char* name) {
  for (char* p = name; *p != '\0'; ++p) {
    *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  }
}

// idna_to_ascii_8z with the no-memory case ending the process; the code of a
// failed conversion is kept in idn_last_error.
char* to_ascii(const char* name) {
  char* out = nullptr;
  const int rc = idna_to_ascii_8z(name != nullptr ? name : "", &out, 0);
  if (rc == IDNA_MALLOC_ERROR) allocation_failed();
  if (rc != IDNA_SUCCESS || out == nullptr) {
    idn_last_error = rc != IDNA_SUCCESS ? rc : IDNA_MALLOC_ERROR;
    std::free(out);
    return nullptr;
  }
  lower_ascii(out);
  return out;
}

std::string_view group(const char* text, const regmatch_t& m) {
  if (m.rm_so < 0 || m.rm_eo < m.rm_so) return {};
  return std::string_view(text + m.rm_so, static_cast<std::size_t>(m.rm_eo - m.rm_so));
}

bool starts_with_scheme(const char* url) {
  for (const char* scheme : {"ftp://", "http://", "https://"}) {
    if (std::strncmp(url, scheme, std::strlen(scheme)) == 0) return true;
  }
  return false;
}

}  // namespace

const char* idn_error_name(int code) {
  switch (code) {
    case 0:
      return "Success";
    case 1:
      return "Stringprep error";
    case 2:
      return "Punycode error";
    case 3:
      return "Contains non-LDH characters";
    case 4:
      return "Contains minus";
    case 5:
      return "Invalid length";
    case 6:
      return "ACE prefix not found";
    case 7:
      return "Verify error";
    case 8:
      return "ACE prefix found";
    case 9:
      return "Iconv error";
    case 201:
      return "Cannot allocate buffer";
    default:
      return "Unknown error";
  }
}

char* idn_toascii(const char* name) { return to_ascii(name); }

char* idn_toascii_safe(const char* name) {
  char* out = to_ascii(name);
  if (out == nullptr) {
    errno = 0;
    exit_with_error(1, "%s(%s) failed: %s", "idn_toascii_safe", name != nullptr ? name : "",
                    idn_error_name(idn_last_error));
    util_exit(1);
  }
  return out;
}

char* idn_tounicode(const char* name) {
  char* out = nullptr;
  const int rc = idna_to_unicode_8z8z(name != nullptr ? name : "", &out, 0);
  if (rc == IDNA_MALLOC_ERROR) allocation_failed();
  if (rc != IDNA_SUCCESS || out == nullptr) {
    idn_last_error = rc != IDNA_SUCCESS ? rc : IDNA_MALLOC_ERROR;
    std::free(out);
    return nullptr;
  }
  return out;
}

const char* url_host_toascii(const char* url) {
  if (url == nullptr) url = "";
  RegexPtr re(new regex_t);
  const int crc = regcomp(re.get(), "^(ftp://|https?://)?([^@]+@)?([^/:]+)(.*)?$", REG_EXTENDED);
  if (crc != 0) {
    char reason[4096];
    regerror(crc, re.get(), reason, sizeof reason);
    delete re.release();  // nothing was compiled, nothing to free
    errno = 0;
    exit_with_error(1, "regcomp() failed: %s", reason);
    return nullptr;
  }

  regmatch_t m[5];
  const int mrc = regexec(re.get(), url, 5, m, 0);
  if (mrc != 0) {
    char reason[4096];
    regerror(mrc, re.get(), reason, sizeof reason);
    errno = 0;
    report_error("regexec() failed: %s", reason);
    return nullptr;
  }
  // A URL that opens with a scheme the expression knows but did not take as
  // the scheme ("http://", "http:///path") has no host after it.
  if (m[3].rm_so < 0 || (m[1].rm_so < 0 && starts_with_scheme(url))) {
    errno = 0;
    report_error("no hostname found in URL");
    return nullptr;
  }

  const std::string host(group(url, m[3]));
  char* ascii = nullptr;
  const int rc = idna_to_ascii_8z(host.c_str(), &ascii, 0);
  CharPtr converted(ascii);
  if (rc == IDNA_MALLOC_ERROR) allocation_failed();
  if (rc != IDNA_SUCCESS || !converted) {
    idn_last_error = rc != IDNA_SUCCESS ? rc : IDNA_MALLOC_ERROR;
    errno = 0;
    report_error("idn_toascii() failed: %s", idn_error_name(idn_last_error));
    return nullptr;
  }
  lower_ascii(converted.get());

  std::string result;
  result.reserve(std::strlen(url) + std::strlen(converted.get()));
  result += group(url, m[1]);
  result += group(url, m[2]);
  result += converted.get();
  result += group(url, m[4]);
  if (result.size() >= kUrlBufferSize) {
    errno = 0;
    report_error("URL too long after host conversion: %zu bytes, at most %zu", result.size(),
                 kUrlBufferSize - 1);
    return nullptr;
  }
  std::memcpy(url_result, result.c_str(), result.size() + 1);
  return url_result;
}
