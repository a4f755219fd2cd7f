// The status record's text, path and file, and the monitor's URLs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/json_text.h"
#include "sitevault/monitor_ping.h"
#include "sitevault/status_record.h"
#include "tests/support/test_support.h"

using testing_support::file_exists;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

TEST(StatusRecordJson, EveryByteBecomesValidJson) {
  // Quotes, backslashes and control characters are escaped.
  EXPECT_EQ(json_string("a\"b\\c\nd\te\x01\x7f"), R"("a\"b\\c\nd\te\u0001\u007f")");
  EXPECT_EQ(json_string(std::string("nul\0end", 7)), R"("nul\u0000end")");
  // Valid UTF-8 stays as it is, up to U+10FFFF.
  EXPECT_EQ(json_string("b\xc3\xbc"
                        "cher \xe2\x82\xac \xf0\x9f\x92\xbe"),
            "\"b\xc3\xbc"
            "cher \xe2\x82\xac \xf0\x9f\x92\xbe\"");
  // Bytes outside a valid sequence are replaced one by one: a lone
  // continuation byte, a cut sequence, overlong forms, UTF-16 surrogates and
  // code points past U+10FFFF.
  EXPECT_EQ(json_string("\x80"), R"("\ufffd")");
  EXPECT_EQ(json_string("x\xe2\x82"), R"("x\ufffd\ufffd")");
  EXPECT_EQ(json_string("\xc0\xaf"), R"("\ufffd\ufffd")");
  EXPECT_EQ(json_string("\xe0\x80\xaf"), R"("\ufffd\ufffd\ufffd")");
  EXPECT_EQ(json_string("\xed\xa0\x80"), R"("\ufffd\ufffd\ufffd")");
  EXPECT_EQ(json_string("\xf4\x90\x80\x80"), R"("\ufffd\ufffd\ufffd\ufffd")");
  EXPECT_EQ(json_string("\xff"), R"("\ufffd")");
}

TEST(StatusRecordPath, DomainAndCommandNeverLeaveTheDirectory) {
  EXPECT_EQ(expand_status_path("/s/%d/%c.json", "example.com", "backup"),
            "/s/example.com/backup.json");
  EXPECT_EQ(expand_status_path("/s/100%%-%x%", "d", "c"), "/s/100%-%x%");
  for (const char* domain : {"", ".", "..", "../etc", "a/b", "/"})
    EXPECT_EQ(expand_status_path("/s/%d/r.json", domain, "backup"), "/s/_/r.json") << domain;
  EXPECT_EQ(expand_status_path("/s/%d", std::string("a\0b", 3), ""), "/s/_");
  EXPECT_EQ(expand_status_path("/s/%c", "d", ""), "/s/_");
}

TEST(StatusRecordFile, ReplacedWholeNeverThroughALink) {
  TempDir dir;
  const std::string path = dir / "status.json";
  ::umask(077);
  EXPECT_EQ(replace_status_file(path, "{\"event\":\"start\"}\n"), "");
  EXPECT_EQ(replace_status_file(path, "{}\n"), "");
  ::umask(022);
  EXPECT_EQ(read_file(path), "{}\n");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640U);

  // A link in the record's place: refused, neither it nor its target
  // touched, no temporary left.
  write_file(dir / "target", "keep");
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link.json").c_str()), 0);
  EXPECT_NE(replace_status_file(dir / "link.json", "{}\n").find("symbolic link"),
            std::string::npos);
  EXPECT_EQ(read_file(dir / "target"), "keep");
  // A dangling link is no better.
  ASSERT_EQ(::symlink((dir / "absent").c_str(), (dir / "dangling.json").c_str()), 0);
  EXPECT_NE(replace_status_file(dir / "dangling.json", "{}\n"), "");
  EXPECT_FALSE(file_exists(dir / "absent"));

  ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
  EXPECT_NE(replace_status_file(dir / "fifo.json", "{}\n").find("not a regular file"),
            std::string::npos);
  ASSERT_EQ(::mkdir((dir / "dir.json").c_str(), 0700), 0);
  EXPECT_NE(replace_status_file(dir / "dir.json", "{}\n").find("directory"), std::string::npos);
  EXPECT_NE(replace_status_file(dir / "missing/status.json", "{}\n"), "");
  EXPECT_NE(replace_status_file(dir.path() + "/", "{}\n"), "");

  const auto leftovers = testing_support::run_shell("ls -A '" + dir.path() + "' | grep tmp");
  EXPECT_EQ(leftovers.out, "");
}

TEST(MonitorUrl, SuffixesAndShownForm) {
  const std::string url = "https://u:p@hc.example:8443/ping/0f7c?src=a#f";
  EXPECT_EQ(monitor_url_for(url, false, "start"), url);
  EXPECT_EQ(monitor_url_for(url, true, "start"),
            "https://u:p@hc.example:8443/ping/0f7c/start?src=a#f");
  EXPECT_EQ(monitor_url_for(url, true, "failure"),
            "https://u:p@hc.example:8443/ping/0f7c/fail?src=a#f");
  EXPECT_EQ(monitor_url_for(url, true, "success"), url);
  EXPECT_EQ(monitor_url_for("http://h/p/", true, "start"), "http://h/p/start");
  // Neither the credentials nor the path (a check's secret) are shown.
  EXPECT_EQ(monitor_url_shown(url), "https://hc.example:8443");
  EXPECT_EQ(monitor_url_shown("http://h/x"), "http://h");
  EXPECT_EQ(monitor_url_shown("not a url"), "(unreadable URL)");
}
