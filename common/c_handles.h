// unique_ptr owners for the C library's handles, each released with the
// library's own function on every path.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A stream from popen: closing it waits for the command.
struct PipeCloser {
  void operator()(FILE* f) const { ::pclose(f); }
};
using PipePtr = std::unique_ptr<FILE, PipeCloser>;

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// Memory from malloc and the C libraries that hand out malloc'ed texts.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// An argument vector allocated with malloc; the texts it points to are not
// owned by it.
using ArgVector = std::unique_ptr<char*[], FreeDeleter>;
