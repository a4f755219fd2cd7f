#include "sitevault/status_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/fd_io.h"
#include "common/json_text.h"
#include "common/path_names.h"
#include "common/unique_fd.h"

namespace {

constexpr mode_t kRecordMode = 0640;

std::string optional_string(const std::optional<std::string>& value) {
  return value ? json_string(*value) : "null";
}

// A single file-name component: the value itself, or "_".
std::string safe_component(std::string_view value) {
  if (value.empty() || value == "." || value == ".." ||
      value.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos)
    return "_";
  return std::string(value);
}

std::string system_reason(const char* what, const std::string& path) {
  return std::string(what) + " \"" + path + "\": " + std::strerror(errno);
}

}  // namespace

std::string iso8601_utc(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) return "";
  return text;
}

std::string status_record_json(const StatusRecord& r) {
  std::string duration = "null";
  if (r.finished) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(*r.finished - r.started).count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    duration = ms >= 0 ? text : "0.000";
  }
  std::string out = "{";
  out += "\"event\":" + json_string(r.event);
  out += ",\"command\":" + optional_string(r.command);
  out += ",\"domain\":" + optional_string(r.domain);
  out += ",\"dump\":" + optional_string(r.dump);
  out += ",\"files\":" + std::to_string(r.files);
  out += ",\"bytes\":" + std::to_string(r.bytes);
  out += ",\"exit_status\":" + (r.exit_status ? std::to_string(*r.exit_status) : "null");
  out += ",\"error\":" + optional_string(r.error);
  out += ",\"started\":" + json_string(iso8601_utc(r.started));
  out += ",\"finished\":" + (r.finished ? json_string(iso8601_utc(*r.finished)) : "null");
  out += ",\"duration_s\":" + duration;
  out += ",\"pid\":" + std::to_string(r.pid);
  out += ",\"host\":" + json_string(r.host);
  out += ",\"version\":" + json_string(r.version);
  out += "}\n";
  return out;
}

std::string expand_status_path(std::string_view pattern, std::string_view domain,
                               std::string_view command) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%' || i + 1 == pattern.size()) {
      out += pattern[i];
      continue;
    }
    const char what = pattern[i + 1];
    if (what == 'd') {
      out += safe_component(domain);
    } else if (what == 'c') {
      out += safe_component(command);
    } else if (what == '%') {
      out += '%';
    } else {
      out += '%';
      continue;
    }
    ++i;
  }
  return out;
}

std::string replace_status_file(const std::string& path, std::string_view text) {
  const std::string name = path_basename(path);
  if (path.empty() || path.back() == '/' || name == "." || name == "..") {
    errno = EISDIR;
    return system_reason("Unable to write", path);
  }
  // The directory is the administrator's choice and may be reached through
  // links; the record's own name never is.
  const std::string directory = path_dirname(path);
  const UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return system_reason("Unable to open the directory", directory);
  struct stat st {};
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
    return "Unable to write \"" + path + "\": " +
           (S_ISLNK(st.st_mode)   ? "it is a symbolic link (links are not followed)"
            : S_ISDIR(st.st_mode) ? "it is a directory"
                                  : "it is not a regular file");
  }
  const std::string temporary = "." + name + ".tmp." + std::to_string(::getpid());
  ::unlinkat(dir.get(), temporary.c_str(), 0);
  const UniqueFd fd(::openat(dir.get(), temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kRecordMode));
  if (!fd) return system_reason("Unable to create", directory + "/" + temporary);
  // The mode is the record's whatever the umask.
  if (::fchmod(fd.get(), kRecordMode) != 0 || !write_all(fd.get(), text) ||
      ::fsync(fd.get()) != 0 || ::renameat(dir.get(), temporary.c_str(), dir.get(), name.c_str())) {
    const std::string reason = system_reason("Unable to write", path);
    ::unlinkat(dir.get(), temporary.c_str(), 0);
    return reason;
  }
  ::fsync(dir.get());
  return "";
}
