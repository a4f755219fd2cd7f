#include "sitevault/dump_staging.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/messages.h"
#include "sitevault/command_line.h"
#include "sitevault/dump_commit.h"
#include "sitevault/dump_files.h"
#include "sitevault/local_commit_store.h"
#include "sitevault/repository_dir.h"

namespace {

constexpr std::size_t kLongestPartSuffix = std::string_view(".part4294967295").size();

}  // namespace

bool is_staging_name(std::string_view name) { return name.starts_with(kStagingMarker); }

std::string staging_name(const std::string& dump_name) {
  return staged_dump_name(this_run(), dump_name);
}

std::string staging_path(const std::string& final_path) {
  const std::string directory = path_dirname(final_path);
  return directory + "/" + staging_name(path_basename(final_path));
}

std::size_t longest_dump_name(const std::string& directory, bool split) {
  errno = 0;
  long name_max = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  if (name_max <= 0) name_max = 255;
  const auto limit = static_cast<std::size_t>(name_max);
  return split ? (limit > kLongestPartSuffix ? limit - kLongestPartSuffix : 0) : limit;
}

int commit_staged_dump(const std::string& staged_path, const std::string& final_path,
                       const std::vector<std::uint64_t>& sizes) {
  const std::string name = path_basename(final_path);
  auto store = LocalCommitStore::open(path_dirname(final_path));
  if (!store) {
    discard_staged_dump(staged_path);
    return -1;
  }
  if (path_basename(staged_path) != staging_name(name)) {
    errno = 0;
    report_error("The new dump '%s' is not staged by this run\n", final_path.c_str());
    return -1;
  }
  return commit_dump(*store, name, sizes);
}

void discard_staged_dump(const std::string& staged_path) {
  const auto files =
      get_dump_files_in(path_dirname(staged_path), path_basename(staged_path).c_str());
  if (!files) return;
  for (auto it = files->rbegin(); it != files->rend(); ++it) ::unlink(it->c_str());
}

void remove_staging_leftovers(const std::string& directory) {
  // A repository that cannot be opened (or is a link) has nothing to
  // recover.
  const auto opened = RepositoryDir::open_directory(directory);
  UniqueFd fd(opened ? ::fcntl(opened->fd(), F_DUPFD_CLOEXEC, 0) : -1);
  if (!fd) return;
  LocalCommitStore store(std::move(fd), directory);
  recover_commits(store);
}
