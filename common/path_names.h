// The last component and the directory of a path, computed on the text alone.
#pragma once

#include <string>

// POSIX basename: "a/b/" gives "b", "/" gives "/", "" gives ".".
std::string path_basename(const std::string& path);
// POSIX dirname: "a/b" gives "a", "a" gives ".", "/a" gives "/".
std::string path_dirname(const std::string& path);
