#include "chainrun/captured_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "common/fd_io.h"

namespace {

std::string temp_dir() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

}  // namespace

bool CapturedOutput::open_spill_file() {
  const std::string dir = temp_dir();
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::string name = dir + "/chainrun-err.XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return false;
    ::unlink(name.c_str());
  }
  spill_.reset(fd);
  return true;
}

void CapturedOutput::append(std::string_view data) {
  if (!spill_ && memory_.size() + data.size() > memory_limit_ && !open_spill_file()) {
    memory_.append(data);  // no temporary file: keep it in memory rather than lose it
    return;
  }
  if (!spill_) {
    memory_.append(data);
    return;
  }
  // Everything goes to the file once it exists, so the order stays intact.
  if (!memory_.empty()) {
    if (!write_all(spill_.get(), memory_)) {
      memory_.append(data);
      return;
    }
    spilled_ += memory_.size();
    memory_.clear();
    memory_.shrink_to_fit();
  }
  if (write_all(spill_.get(), data)) {
    spilled_ += data.size();
  } else {
    memory_.append(data);
  }
}

void CapturedOutput::for_each_chunk(std::size_t chunk,
                                    const std::function<void(std::string_view)>& sink) const {
  if (chunk == 0) return;
  if (spill_ && spilled_ > 0) {
    std::vector<char> buf(chunk);
    off_t offset = 0;
    while (static_cast<std::size_t>(offset) < spilled_) {
      const ssize_t n = ::pread(spill_.get(), buf.data(), chunk, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      sink(std::string_view(buf.data(), static_cast<std::size_t>(n)));
      offset += n;
    }
  }
  for (std::size_t pos = 0; pos < memory_.size(); pos += chunk) {
    sink(std::string_view(memory_).substr(pos, chunk));
  }
}

void CapturedOutput::clear() {
  memory_.clear();
  memory_.shrink_to_fit();
  spill_.reset();
  spilled_ = 0;
}
