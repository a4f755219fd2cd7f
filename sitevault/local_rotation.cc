#include "sitevault/local_rotation.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "common/c_handles.h"
#include "common/messages.h"
#include "common/path_names.h"
#include "common/product_conf.h"
#include "common/unique_fd.h"
#include "sitevault/dump_files.h"
#include "sitevault/dump_series.h"
#include "sitevault/dump_staging.h"
#include "sitevault/repository_dir.h"

namespace {

// Takes ownership of fd in every case.
DirPtr open_dir_stream(int fd) {
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) close(fd);
  return DirPtr(dir);
}

bool is_dot_entry(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

std::int64_t own_size(const struct stat& st, bool count_blocks) {
  return count_blocks ? static_cast<std::int64_t>(st.st_blocks)
                      : static_cast<std::int64_t>(st.st_size);
}

// Sum over everything below the open directory, in blocks or bytes; links
// count with their own size and are never followed. Entries that cannot be
// examined or entered are skipped.
std::int64_t tree_size(DIR* dir, bool count_blocks) {
  std::int64_t sum = 0;
  const int fd = dirfd(dir);
  while (const struct dirent* entry = readdir(dir)) {
    if (is_dot_entry(entry->d_name)) continue;
    // A dump being written, or the older one moved aside by a commit, is no
    // stored dump: it never counts against the owner's space.
    if (is_staging_name(entry->d_name)) continue;
    struct stat st {};
    if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    sum += own_size(st, count_blocks);
    if (!S_ISDIR(st.st_mode)) continue;
    DirPtr child =
        open_dir_stream(openat(fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (child) sum += tree_size(child.get(), count_blocks);
  }
  return sum;
}

// Removes name below parent_fd and, for a directory, everything in it; a
// symbolic link is removed itself, never followed. errno of the first
// failure is left for the caller.
bool remove_tree_at(int parent_fd, const char* name) {
  struct stat st {};
  if (fstatat(parent_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return unlinkat(parent_fd, name, 0) == 0 || errno == ENOENT;

  DirPtr dir =
      open_dir_stream(openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) return false;
  bool ok = true;
  int first_errno = 0;
  // Names are gathered first: removing entries while reading the directory
  // may make readdir skip some.
  std::vector<std::string> names;
  while (const struct dirent* entry = readdir(dir.get())) {
    if (!is_dot_entry(entry->d_name)) names.emplace_back(entry->d_name);
  }
  for (const std::string& child : names) {
    if (!remove_tree_at(dirfd(dir.get()), child.c_str()) && ok) {
      ok = false;
      first_errno = errno;
    }
  }
  dir.reset();
  if (!ok) {
    errno = first_errno;
    return false;
  }
  return unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

}  // namespace

int rotate_dump_files(const char* directory, const char* prefix, int keep) {
  return rotate_dump_files(directory, prefix, keep, nullptr);
}

int rotate_dump_files(const char* directory, const char* prefix, int keep, const char* protect,
                      bool report_unsigned) {
  RetentionRules rules;
  rules.last = keep;
  return rotate_dump_files(directory, prefix, rules, protect, report_unsigned);
}

int rotate_dump_files_at(const RepositoryDir& directory, const char* prefix, int keep,
                         const char* protect, bool report_unsigned) {
  RetentionRules rules;
  rules.last = keep;
  return rotate_dump_files_at(directory, prefix, rules, protect, report_unsigned);
}

int rotate_dump_files(const char* directory, const char* prefix, const RetentionRules& rules,
                      const char* protect, bool report_unsigned) {
  if (directory == nullptr || *directory == '\0') {
    report_error("Unable to rotate files: repository path does not specified\n");
    return -1;
  }
  const auto held = RepositoryDir::open_directory(directory);
  if (!held) {
    report_error("Unable to rotate files: unable to locate repository in specified path\n");
    return -1;
  }
  return rotate_dump_files_at(*held, prefix, rules, protect, report_unsigned);
}

int rotate_dump_files_at(const RepositoryDir& directory, const char* prefix,
                         const RetentionRules& rules, const char* protect, bool report_unsigned) {
  DirPtr dir = directory.stream();
  if (!dir) {
    report_error("Unable to rotate files: unable to locate repository in specified path\n");
    return -1;
  }
  const std::string_view series = prefix ? prefix : "";
  std::vector<std::string> names;
  try {
    while (const struct dirent* entry = readdir(dir.get())) {
      const std::string_view name = entry->d_name;
      if (is_series_name(name, series)) names.emplace_back(name);
    }
  } catch (const std::bad_alloc&) {
    return 0;  // Nothing is deleted on an incomplete list.
  }
  // A dump counts by its last file's tail, read without following a link
  // and only from a regular file.
  const EndsSigned ends_signed = [&](const std::string& last) {
    UniqueFd fd(
        openat(directory.fd(), last.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    return fd && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
           read_signature_fields(fd.get()).has_value();
  };
  const std::vector<std::string> victims = rotation_victims(
      std::move(names), series, rules, protect ? protect : "", ends_signed, report_unsigned);
  for (const std::string& name : victims) {
    unlinkat(directory.fd(), name.c_str(), 0);  // A failure leaves the file.
  }
  return 0;
}

int remove_dump_in(const std::string& directory, const char* dump) {
  const auto held = RepositoryDir::open_directory(directory);
  if (!held) {
    report_error("Unable to find files: unable to locate repository in specified path\n");
    return -1;
  }
  return remove_dump_at(*held, dump);
}

int remove_dump_at(const RepositoryDir& directory, const char* dump) {
  const std::optional<file_list> files = get_dump_files_at(directory, dump);
  if (!files || files->empty()) return -1;
  // The last part first, the base file last: an interrupted removal never
  // leaves parts without their base file.
  for (auto it = files->rbegin(); it != files->rend(); ++it) {
    if (unlinkat(directory.fd(), path_basename(*it).c_str(), 0) != 0) return -1;
  }
  return 0;
}

std::int64_t path_size(const char* path, bool count_blocks) {
  struct stat st {};
  if (path == nullptr || lstat(path, &st) != 0) return -1;
  std::int64_t size = own_size(st, count_blocks);
  if (S_ISDIR(st.st_mode)) {
    DirPtr dir = open_dir_stream(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return -1;
    size += tree_size(dir.get(), count_blocks);
  }
  return count_blocks ? size * 512 : size;
}

std::int64_t dir_size(bool count_blocks) {
  DirPtr dir = open_dir_stream(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return 0;
  return tree_size(dir.get(), count_blocks);
}

int remove_domain_repository(const char* domain) {
  // One path component below the dump root, never the root or its parent.
  if (domain == nullptr || *domain == '\0' || std::strchr(domain, '/') != nullptr ||
      is_dot_entry(domain)) {
    report_error("Unable to remove repository of domain '%s': invalid domain name",
                 domain ? domain : "");
    return 1;
  }
  const char* root = product_conf.DUMP_D ? product_conf.DUMP_D : "";
  const int root_fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root_fd < 0) {
    if (errno == ENOENT) return 0;  // No repository at all: nothing to remove.
    report_error("Unable to remove repository '%s/%s': %s", root, domain, std::strerror(errno));
    return 1;
  }
  const bool removed = remove_tree_at(root_fd, domain);
  const int saved_errno = errno;
  close(root_fd);
  if (removed) return 0;
  errno = saved_errno;
  report_error("Unable to remove repository '%s/%s': %s", root, domain, std::strerror(saved_errno));
  return 1;
}
