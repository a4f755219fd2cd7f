// A dump directory held open for the run: a domain's repository
// DUMP_D/<domain> is opened without following a link planted in its place,
// and everything in it is then reached relative to that descriptor, so root
// never works in a directory the panel user pointed it to.
#pragma once

#include <fcntl.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/c_handles.h"
#include "common/unique_fd.h"

class RepositoryDir {
 public:
  // DUMP_D/<domain>, its last component never followed. nullopt (errno
  // set, ENOTDIR for a link; nothing reported) when it is missing, is no
  // directory, or cannot be opened.
  static std::optional<RepositoryDir> open_domain(std::string_view domain);
  // The directory that holds a dump: one directly below DUMP_D is a
  // domain's repository and is opened as open_domain does; any other
  // directory is the administrator's to name and is opened as given.
  static std::optional<RepositoryDir> open_directory(const std::string& directory);

  int fd() const { return fd_.get(); }
  // The path as the messages print it.
  const std::string& path() const { return path_; }
  // "<path>/<name>", for messages and for the file lists of dump_files.
  std::string path_of(std::string_view name) const;
  // O_NOFOLLOW for a domain's repository, whose files the panel user may
  // replace with links; 0 for a directory the administrator named.
  int file_flags() const { return repository_ ? O_NOFOLLOW : 0; }
  // A directory stream over its own duplicate of the descriptor, read from
  // the start; null when it cannot be had.
  DirPtr stream() const;

 private:
  RepositoryDir(UniqueFd fd, std::string path, bool repository)
      : fd_(std::move(fd)), path_(std::move(path)), repository_(repository) {}
  UniqueFd fd_;
  std::string path_;
  bool repository_;
};

// Whether directory (as text) lies directly below DUMP_D, where every
// directory is a domain's repository.
bool is_repository_directory(const std::string& directory);
