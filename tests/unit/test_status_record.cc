// The status record's text, path and file, the monitor's URLs and the
// progress line's text.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "monitor_ping.h"
#include "progress_line.h"
#include "status_record.h"
#include "test_support.h"

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

TEST(StatusRecordJson, StartAndEndRecords) {
  StatusRecord record;
  record.event = "start";
  record.command = "backup";
  record.domain = "example.com";
  record.started = std::chrono::system_clock::from_time_t(1765324800);  // 2025-12-10 00:00:00
  record.pid = 42;
  record.host = "h";
  record.version = "1.0.0";
  EXPECT_EQ(status_record_json(record),
            R"({"event":"start","command":"backup","domain":"example.com","dump":null,)"
            R"("files":0,"bytes":0,"exit_status":null,"error":null,)"
            R"("started":"2025-12-10T00:00:00Z","finished":null,"duration_s":null,)"
            R"("pid":42,"host":"h","version":"1.0.0"})"
            "\n");
  record.event = "failure";
  record.exit_status = 143;
  record.error = "Stopped by SIGTERM";
  record.files = 3;
  record.bytes = 5000000000ULL;  // past 32 bits
  record.finished = record.started + std::chrono::milliseconds(61005);
  const std::string json = status_record_json(record);
  EXPECT_NE(json.find(R"("files":3,"bytes":5000000000,"exit_status":143,)"), std::string::npos);
  EXPECT_NE(json.find(R"("finished":"2025-12-10T00:01:01Z","duration_s":61.005,)"),
            std::string::npos);
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

TEST(MonitorPing, RefusesOtherSchemesWithoutConnecting) {
  EXPECT_EQ(post_to_monitor("ftp://u:p@127.0.0.1:1/x", "{}", false),
            "Monitor ping not sent: HVX_NOTIFY_URL is not an http or https URL");
  EXPECT_EQ(post_to_monitor("file:///etc/passwd", "{}", false),
            "Monitor ping not sent: HVX_NOTIFY_URL is not an http or https URL");
}

TEST(ProgressText, KnownAndUnknownSizes) {
  using std::chrono::milliseconds;
  EXPECT_EQ(progress_text("dumping", 3 << 20, 0, milliseconds(2000)),
            "dumping 3.0 MiB  1.5 MiB/s  0:02");
  EXPECT_EQ(progress_text("restoring", 1 << 20, 4 << 20, milliseconds(4000)),
            "restoring 1.0 MiB of 4.0 MiB  25%  256.0 KiB/s  0:04  ETA 0:12");
  EXPECT_EQ(progress_text("verifying", 10, 10, milliseconds(3700000)),
            "verifying 10 B of 10 B 100%  0 B/s  1:01:40");
  EXPECT_EQ(progress_text("verifying", 0, 10, milliseconds(0)),
            "verifying 0 B of 10 B   0%  0 B/s  0:00");
}
