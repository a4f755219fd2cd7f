#include "common/path_names.h"

std::string path_basename(const std::string& path) {
  if (path.empty()) return ".";
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  std::size_t start = path.rfind('/', end);
  start = (start == std::string::npos) ? 0 : start + 1;
  return path.substr(start, end - start + 1);
}

std::string path_dirname(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? "." : "/";
  std::size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  std::size_t dir_end = path.find_last_not_of('/', slash);
  if (dir_end == std::string::npos) return "/";
  return path.substr(0, dir_end + 1);
}
