#include "sitevault/local_commit_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/c_handles.h"
#include "common/fd_io.h"
#include "common/messages.h"
#include "sitevault/repository_dir.h"

namespace {

// The largest record read back; a commit record is a few hundred bytes.
constexpr off_t kLargestRecord = 1 << 20;

// rename that fails with EEXIST instead of replacing. Filesystems without
// RENAME_NOREPLACE get a check first: the repository is the lock holder's
// alone, so nothing comes between the check and the rename.
int rename_no_replace(int dir, const char* from, const char* to) {
  if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  struct stat st {};
  if (::fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::renameat(dir, from, dir, to);
}

}  // namespace

LocalCommitStore::LocalCommitStore(UniqueFd directory, std::string display)
    : directory_(std::move(directory)), display_(std::move(display)) {}

std::optional<LocalCommitStore> LocalCommitStore::open(const std::string& path) {
  // A domain's repository is opened without following a link in its place.
  const auto directory = RepositoryDir::open_directory(path);
  UniqueFd fd(directory ? ::fcntl(directory->fd(), F_DUPFD_CLOEXEC, 0) : -1);
  if (!fd) {
    report_error("Unable to open directory '%s'", path.c_str());
    return std::nullopt;
  }
  return LocalCommitStore(std::move(fd), path);
}

std::optional<std::vector<std::string>> LocalCommitStore::names(std::string_view prefix) {
  // The listing reads through a descriptor of its own: the store's keeps
  // its offset and stays open.
  const int copy = ::openat(directory_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DirPtr dir(copy >= 0 ? ::fdopendir(copy) : nullptr);
  if (!dir) {
    if (copy >= 0) ::close(copy);
    report_error("Unable to read directory '%s'", display_.c_str());
    return std::nullopt;
  }
  std::vector<std::string> found;
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != ".." && name.starts_with(prefix)) found.emplace_back(name);
    errno = 0;
  }
  if (errno != 0) {
    report_error("Unable to read directory '%s'", display_.c_str());
    return std::nullopt;
  }
  return found;
}

std::optional<std::uint64_t> LocalCommitStore::size(const std::string& name) {
  struct stat st {};
  if (::fstatat(directory_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode))
    return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

int LocalCommitStore::rename(const std::vector<std::pair<std::string, std::string>>& moves) {
  for (const auto& [from, to] : moves) {
    if (rename_no_replace(directory_.get(), from.c_str(), to.c_str()) != 0) {
      report_error("Unable to rename '%s' to '%s'", shown(from).c_str(), shown(to).c_str());
      return -1;
    }
  }
  return 0;
}

int LocalCommitStore::remove(const std::vector<std::string>& names) {
  int result = 0;
  for (const std::string& name : names) {
    if (::unlinkat(directory_.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
      report_error("Unable to remove '%s'", shown(name).c_str());
      result = -1;
    }
  }
  return result;
}

int LocalCommitStore::put_record(const std::string& name, std::string_view text) {
  UniqueFd fd(::openat(directory_.get(), name.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd || !write_all(fd.get(), text) || ::fsync(fd.get()) != 0 ||
      ::fsync(directory_.get()) != 0) {
    report_error("Unable to write '%s'", shown(name).c_str());
    return -1;
  }
  return 0;
}

std::optional<std::string> LocalCommitStore::get_record(const std::string& name) {
  UniqueFd fd(
      ::openat(directory_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kLargestRecord) {
    if (fd && errno == 0) errno = EINVAL;
    report_error("Unable to read '%s'", shown(name).c_str());
    return std::nullopt;
  }
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return text;
}

int LocalCommitStore::make_durable(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    UniqueFd fd(
        ::openat(directory_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0) {
      report_error("Unable to write '%s' to disk", shown(name).c_str());
      return -1;
    }
  }
  if (::fsync(directory_.get()) != 0) {
    report_error("Unable to write directory '%s' to disk", display_.c_str());
    return -1;
  }
  return 0;
}
