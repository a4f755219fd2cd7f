#include "dump_staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "c_handles.h"
#include "command_line.h"
#include "dump_files.h"
#include "messages.h"

namespace {

// A file name holds 255 bytes; the marker with a pid and the longest part
// suffix must fit beside the dump's name.
constexpr std::size_t kNameMax = 255;
constexpr std::size_t kLongestPartSuffix = std::string_view(".part4294967295").size();
constexpr std::size_t kLongestPrefix = kStagingMarker.size() + 10 + 1;

std::string part_path(const std::string& base_path, std::size_t part) {
  return part == 1 ? base_path : base_path + ".part" + std::to_string(part);
}

// The pid in ".hvxtmp.<pid>.<name>"; nullopt when the name has none.
std::optional<pid_t> staging_pid(std::string_view name) {
  if (!is_staging_name(name)) return std::nullopt;
  name.remove_prefix(kStagingMarker.size());
  const std::size_t dot = name.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot > 9) return std::nullopt;
  pid_t pid = 0;
  for (char c : name.substr(0, dot)) {
    if (c < '0' || c > '9') return std::nullopt;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

bool run_is_gone(pid_t pid) { return pid == ::getpid() || (::kill(pid, 0) != 0 && errno == ESRCH); }

bool sizes_match(const file_list& files, const std::vector<std::uint64_t>& sizes) {
  if (files.size() != sizes.size()) return false;
  for (std::size_t i = 0; i < files.size(); ++i) {
    struct stat st {};
    if (::lstat(files[i].c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) != sizes[i])
      return false;
  }
  return true;
}

void remove_files(const file_list& files) {
  for (auto it = files.rbegin(); it != files.rend(); ++it) ::unlink(it->c_str());
}

}  // namespace

bool is_staging_name(std::string_view name) { return name.starts_with(kStagingMarker); }

std::string staging_name(const std::string& dump_name) {
  std::string name = std::string(kStagingMarker) + std::to_string(::getpid()) + ".";
  name += dump_name.substr(0, kNameMax - kLongestPartSuffix - kLongestPrefix);
  return name;
}

std::string staging_path(const std::string& final_path) {
  const std::string directory = path_dirname(final_path);
  return directory + "/" + staging_name(path_basename(final_path));
}

int commit_staged_dump(const std::string& staged_path, const std::string& final_path,
                       const std::vector<std::uint64_t>& sizes) {
  const std::string directory = path_dirname(final_path);
  const std::string name = path_basename(final_path);
  const auto staged = get_dump_files_in(directory, path_basename(staged_path).c_str());
  if (!staged || !sizes_match(*staged, sizes)) {
    errno = 0;
    print_error(0, "The new dump '%s' is not complete as written\n", final_path.c_str());
    if (staged) remove_files(*staged);
    return -1;
  }

  // Parts of an older dump of this name beyond the new last part would be
  // taken for part of the new dump.
  if (const auto older = get_dump_files_in(directory, name.c_str())) {
    for (const std::string& path : *older) {
      if (dump_part_number(name, path_basename(path)) <= sizes.size()) continue;
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        print_error(0, "Unable to remove '%s' of the older dump", path.c_str());
        remove_files(*staged);
        return -1;
      }
    }
  }

  // The base file last: until then the name does not show a complete dump.
  for (std::size_t part = sizes.size(); part >= 1; --part) {
    const std::string target = part_path(final_path, part);
    if (::rename((*staged)[part - 1].c_str(), target.c_str()) != 0) {
      print_error(0, "Unable to put the new dump in place as '%s'", target.c_str());
      remove_files(*staged);
      if (const auto mixed = get_dump_files_in(directory, name.c_str())) remove_files(*mixed);
      return -1;
    }
  }

  const auto placed = get_dump_files_in(directory, name.c_str());
  if (!placed || !sizes_match(*placed, sizes)) {
    errno = 0;
    print_error(0, "The dump '%s' does not hold the files written\n", final_path.c_str());
    if (placed) remove_files(*placed);
    return -1;
  }
  return 0;
}

void discard_staged_dump(const std::string& staged_path) {
  const auto files =
      get_dump_files_in(path_dirname(staged_path), path_basename(staged_path).c_str());
  if (files) remove_files(*files);
}

void remove_staging_leftovers(const std::string& directory) {
  const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return;
  DirPtr dir(::fdopendir(dir_fd));
  if (!dir) {
    ::close(dir_fd);
    return;
  }
  std::vector<std::string> leftovers;
  while (const dirent* entry = ::readdir(dir.get())) {
    const auto pid = staging_pid(entry->d_name);
    if (pid && run_is_gone(*pid)) leftovers.emplace_back(entry->d_name);
  }
  for (const std::string& name : leftovers) ::unlinkat(dirfd(dir.get()), name.c_str(), 0);
}
