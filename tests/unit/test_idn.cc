// Domain-name conversions through libidn and the URL host conversion.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "common/idn.h"
#include "tests/support/std_capture.h"

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using Owned = std::unique_ptr<char, FreeDeleter>;

std::string take(char* p) {
  Owned owned(p);
  return p ? std::string(p) : std::string("(null)");
}

TEST(Idn, ErrorNames) {
  const std::pair<int, const char*> table[] = {{0, "Success"},
                                               {1, "Stringprep error"},
                                               {2, "Punycode error"},
                                               {3, "Contains non-LDH characters"},
                                               {4, "Contains minus"},
                                               {5, "Invalid length"},
                                               {6, "ACE prefix not found"},
                                               {7, "Verify error"},
                                               {8, "ACE prefix found"},
                                               {9, "Iconv error"},
                                               {201, "Cannot allocate buffer"},
                                               {10, "Unknown error"},
                                               {202, "Unknown error"},
                                               {-1, "Unknown error"}};
  for (const auto& [code, name] : table) EXPECT_STREQ(idn_error_name(code), name) << code;
}

TEST(Idn, ToAsciiAndBack) {
  EXPECT_EQ(take(idn_toascii("bücher.example")), "xn--bcher-kva.example");
  EXPECT_EQ(take(idn_toascii("BÜCHER.Example")), "xn--bcher-kva.example");
  EXPECT_EQ(take(idn_toascii("Example.COM")), "example.com");
  EXPECT_EQ(take(idn_toascii("xn--bcher-kva.example")), "xn--bcher-kva.example");
  EXPECT_EQ(take(idn_tounicode("xn--bcher-kva.example")), "bücher.example");
  EXPECT_EQ(take(idn_tounicode("example.com")), "example.com");
}

TEST(Idn, FailuresKeepTheCode) {
  EXPECT_EQ(idn_toascii("a..b"), nullptr);
  EXPECT_STREQ(idn_error_name(idn_last_error), "Invalid length");
  EXPECT_EQ(idn_toascii((std::string(64, 'a') + ".example").c_str()), nullptr);
  EXPECT_EQ(idn_last_error, 5);
  // A label that already carries the ACE prefix cannot be converted again.
  EXPECT_EQ(idn_toascii("xn--bücher.example"), nullptr);
  EXPECT_STREQ(idn_error_name(idn_last_error), "ACE prefix found");
  EXPECT_EXIT(idn_toascii_safe("a..b"), ::testing::ExitedWithCode(1),
              "idn_toascii_safe\\(a\\.\\.b\\) failed: Invalid length");
  EXPECT_EQ(take(idn_toascii_safe("bücher.example")), "xn--bcher-kva.example");
}

TEST(Idn, UrlHostConversionKeepsTheRest) {
  EXPECT_STREQ(url_host_toascii("https://user:pw@bücher.example:8443/päth/?q=ü#top"),
               "https://user:pw@xn--bcher-kva.example:8443/päth/?q=ü#top");
  EXPECT_STREQ(url_host_toascii("ftp://backup@bücher.example/dumps"),
               "ftp://backup@xn--bcher-kva.example/dumps");
  EXPECT_STREQ(url_host_toascii("http://example.com"), "http://example.com");
  EXPECT_STREQ(url_host_toascii("bücher.example:21"), "xn--bcher-kva.example:21");
}

TEST(Idn, UrlFailures) {
  StdCapture cap;
  EXPECT_EQ(url_host_toascii("http://"), nullptr);
  EXPECT_EQ(url_host_toascii("https:///path"), nullptr);
  EXPECT_EQ(url_host_toascii(""), nullptr);
  EXPECT_EQ(url_host_toascii("http://a..b/x"), nullptr);
  const std::string err = cap.err();
  EXPECT_NE(err.find("no hostname found in URL"), std::string::npos) << err;
  EXPECT_NE(err.find("regexec() failed: "), std::string::npos);
  EXPECT_NE(err.find("idn_toascii() failed: Invalid length"), std::string::npos);
}

TEST(Idn, UrlResultBounded) {
  // The host grows by conversion; a result past 4095 characters is refused.
  const std::string head = "http://bücher.example/";
  const std::string converted_head = "http://xn--bcher-kva.example/";
  const std::string fits(4095 - converted_head.size(), 'p');
  const char* ok = url_host_toascii((head + fits).c_str());
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(std::string(ok), converted_head + fits);

  StdCapture cap;
  EXPECT_EQ(url_host_toascii((head + fits + "p").c_str()), nullptr);
  EXPECT_EQ(url_host_toascii(("http://example.com/" + std::string(100000, 'q')).c_str()), nullptr);
  EXPECT_NE(cap.err().find("URL too long"), std::string::npos);
}

}  // namespace
