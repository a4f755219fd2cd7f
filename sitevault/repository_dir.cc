#include "sitevault/repository_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "common/product_conf.h"

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;

std::filesystem::path normal_directory(const std::string& text) {
  std::filesystem::path p = std::filesystem::path(text).lexically_normal();
  // "a/b/" normalises to "a/b/", whose file name is empty.
  if (p.has_relative_path() && p.filename().empty()) p = p.parent_path();
  return p;
}

std::string dump_root() { return product_conf.DUMP_D ? product_conf.DUMP_D : ""; }

}  // namespace

std::optional<RepositoryDir> RepositoryDir::open_domain(std::string_view domain) {
  const std::string name(domain);
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    errno = EINVAL;
    return std::nullopt;
  }
  const std::string root = dump_root();
  // The dump root is the administrator's to place and may be a link; the
  // repositories below it belong to the panel user and are never followed.
  UniqueFd root_fd(::open(root.c_str(), kDirectoryFlags));
  if (!root_fd) return std::nullopt;
  UniqueFd fd(::openat(root_fd.get(), name.c_str(), kDirectoryFlags | O_NOFOLLOW));
  if (!fd) {
    if (errno == ELOOP) errno = ENOTDIR;
    return std::nullopt;
  }
  ::fcntl(fd.get(), F_SETFL, O_RDONLY);
  return RepositoryDir(std::move(fd), root + "/" + name, true);
}

std::optional<RepositoryDir> RepositoryDir::open_directory(const std::string& directory) {
  if (is_repository_directory(directory)) {
    auto repository = open_domain(normal_directory(directory).filename().string());
    // Messages print the directory as the run names it.
    if (repository) repository->path_ = directory;
    return repository;
  }
  UniqueFd fd(::open(directory.c_str(), kDirectoryFlags));
  if (!fd) return std::nullopt;
  ::fcntl(fd.get(), F_SETFL, O_RDONLY);
  return RepositoryDir(std::move(fd), directory, false);
}

std::string RepositoryDir::path_of(std::string_view name) const {
  std::string path = path_;
  path += '/';
  path += name;
  return path;
}

DirPtr RepositoryDir::stream() const {
  // A descriptor of its own (not a dup, which would share the reading
  // position), for the directory this one holds: "." is no link.
  const int fd = ::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) ::close(fd);
  return DirPtr(dir);
}

bool is_repository_directory(const std::string& directory) {
  const std::string root = dump_root();
  if (root.empty() || directory.empty()) return false;
  const std::filesystem::path p = normal_directory(directory);
  const std::string name = p.filename().string();
  if (name.empty() || name == "." || name == "..") return false;
  return p.parent_path() == normal_directory(root);
}
