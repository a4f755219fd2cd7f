#include "common/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/c_handles.h"
#include "common/child_process.h"
#include "common/child_watch.h"
#include "common/messages.h"
#include "common/product_conf.h"
#include "common/stop_signals.h"
#include "common/unique_fd.h"

namespace {

// Copies "arg0, ..., null" into a vector allocated to its exact length.
ArgVector vector_from_list(const char* arg0, va_list args) {
  va_list count_args;
  va_copy(count_args, args);
  std::size_t count = arg0 ? 1 : 0;
  if (arg0) {
    while (va_arg(count_args, const char*) != nullptr) ++count;
  }
  va_end(count_args);
  ArgVector argv(static_cast<char**>(std::malloc((count + 1) * sizeof(char*))));
  if (!argv) exit_with_error(1, "malloc() failed: %s", std::strerror(errno));
  if (arg0) {
    argv[0] = const_cast<char*>(arg0);
    for (std::size_t i = 1; i < count; ++i) argv[i] = va_arg(args, char*);
  }
  argv[count] = nullptr;
  return argv;
}

// The fixed 101-entry vector: element 0 given, at most 99 listed arguments,
// entry 100 always null; further arguments are dropped.
constexpr std::size_t kFixedVector = 101;
void fill_fixed_vector(char* (&argv)[kFixedVector], const char* arg0, va_list args) {
  argv[0] = const_cast<char*>(arg0);
  std::size_t i = 1;
  for (; i < kFixedVector - 1; ++i) {
    char* arg = va_arg(args, char*);
    argv[i] = arg;
    if (arg == nullptr) break;
  }
  for (; i < kFixedVector; ++i) argv[i] = nullptr;
}

// A raw descriptor slot that read_pipe_chunk may close (setting it to -1);
// whatever is still open when the slot goes away is closed.
struct FdSlot {
  int fd = -1;
  FdSlot() = default;
  explicit FdSlot(int f) : fd(f) {}
  FdSlot(const FdSlot&) = delete;
  FdSlot& operator=(const FdSlot&) = delete;
  ~FdSlot() {
    if (fd >= 0) close(fd);
  }
};

struct Stream {
  FdSlot fd;
  char** text = nullptr;
  std::size_t capacity = 0;
  std::size_t length = 0;
};

bool set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A larger pipe halves the wake-ups of a child that writes a lot. The kernel
// may refuse; the default size then stays.
void widen_pipe(int fd) { (void)fcntl(fd, F_SETPIPE_SZ, 1 << 20); }

// Opens the pipes of a gathering run: read ends non-blocking, both ends
// close-on-exec (fork_execv installs the write ends where they belong).
// A failure is reported and returned: a run may hold a domain switched off,
// which it must still switch on.
std::optional<PipeEnds> open_gather_pipe() {
  auto pipe = make_pipe(O_CLOEXEC);
  if (!pipe) {
    report_error("fork_execv_getouterr: pipe() failed");
    return std::nullopt;
  }
  widen_pipe(pipe->read.get());
  if (!set_nonblocking(pipe->read.get())) {
    report_error("fork_execv_getouterr: fcntl(O_NONBLOCK) failed");
    return std::nullopt;
  }
  return pipe;
}

// Reads whatever a stream held when the child ended, no more.
void drain(Stream& s) {
  if (s.fd.fd < 0) return;
  const std::size_t wanted = pipe_bytes_available(s.fd.fd);
  std::size_t got = 0;
  while (got < wanted && s.fd.fd >= 0) {
    int n = read_pipe_chunk(&s.fd.fd, s.text, &s.capacity, &s.length);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
}

void finish_text(Stream& s) {
  char*& text = *s.text;
  if (text == nullptr) return;
  if (s.length == 0) {
    std::free(text);
    text = nullptr;
    return;
  }
  text[s.length] = '\0';
  // Hand back only what the text needs.
  if (s.capacity > s.length + 1) {
    if (char* shrunk = static_cast<char*>(std::realloc(text, s.length + 1))) text = shrunk;
  }
}

// Gathers the streams until the child has ended, then reaps it. The caller
// still holds the pipes' write ends, so the read ends never see end of file;
// the child's end is noticed through its pidfd in the same poll. Output is
// served before error within one pass.
// A bounded wait: the limit and whether a termination request stops the
// child (which has a process group of its own).
struct WaitBound {
  std::chrono::seconds limit;
  bool stoppable;
};

int gather_until_exit(pid_t pid, Stream* streams, std::size_t count,
                      const WaitBound* bound = nullptr, const char* path = nullptr,
                      bool quiet = false) {
  ChildWatch watch(pid);
  if (bound != nullptr) bound_utility_wait(watch, bound->stoppable, bound->limit, true);
  bool ended = false;
  while (!ended) {
    pollfd fds[kMaxWatched];
    for (std::size_t i = 0; i < count; ++i) {
      fds[i].fd = streams[i].fd.fd;
      fds[i].events = POLLIN;
    }
    ended = watch.wait(fds, count);
    for (std::size_t i = 0; i < count; ++i) {
      Stream& s = streams[i];
      if (s.fd.fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        read_pipe_chunk(&s.fd.fd, s.text, &s.capacity, &s.length);
    }
  }
  for (std::size_t i = 0; i < count; ++i) drain(streams[i]);
  int result = watch.reap();
  if (bound != nullptr && !quiet) (void)report_utility_given_up(watch, path, bound->limit);
  for (std::size_t i = 0; i < count; ++i) finish_text(streams[i]);
  return result;
}

void report_utility_failure(const char* path, const char* out, const char* err) {
  if (out != nullptr && *out != '\0') {
    std::fwrite(out, 1, std::strlen(out), stderr);
    std::fflush(stderr);
  }
  if (err != nullptr && *err != '\0')
    report_error("%s execution failed:\n%s", path, err);
  else
    report_error("%s execution failed (no output)", path);
}

// PRODUCT_ROOT_D/admin/bin/<name>, or an empty text (reported) when the
// name is refused.
std::string admin_utility_path(const char* name) {
  if (name == nullptr || std::strchr(name, '/') != nullptr) {
    report_error("Utility name '%s' is invalid. Use only utility name without path.",
                 name ? name : "(null)");
    return {};
  }
  if (product_conf.PRODUCT_ROOT_D == nullptr) load_product_conf();
  std::string path = std::string(product_conf.PRODUCT_ROOT_D) + "/admin/bin/" + name;
  // A cut path would name another program; refuse instead.
  if (path.size() > 4095) {
    errno = 0;
    report_error("Utility path '%s' is too long.", path.c_str());
    return {};
  }
  return path;
}

void report_fork_execv_failure(ChildStep step, int error, const char* path) {
  if (step == ChildStep::streams)
    write_raw_stderr("fork_execv: dup() failed: %s\n", std::strerror(error));
  else
    write_raw_stderr("fork_execv: execv(\"%s\") failed: %s\n", path, std::strerror(error));
}

}  // namespace

pid_t fork_execv(int in_fd, int out_fd, int err_fd, const char* path, char* const argv[]) {
  // The descriptor's own number leaves the stream inherited; -1 means
  // /dev/null. Each passed descriptor is closed once it has been duplicated.
  const auto stream = [](int fd, int target) {
    if (fd == target) return ChildStream::inherited();
    return fd == -1 ? ChildStream::null_device() : ChildStream::descriptor(fd);
  };
  ChildPlan plan;
  plan.in = stream(in_fd, 0);
  plan.out = stream(out_fd, 1);
  plan.err = stream(err_fd, 2);
  plan.close_sources = true;
  plan.report = report_fork_execv_failure;
  pid_t pid = start_child(plan, path, argv);
  if (pid < 0) report_error("fork_execv_pipes: fork() failed");
  return pid;
}

pid_t fork_execl(int in_fd, int out_fd, int err_fd, const char* path, const char* arg0, ...) {
  va_list args;
  va_start(args, arg0);
  ArgVector argv = vector_from_list(arg0, args);
  va_end(args);
  return fork_execv(in_fd, out_fd, err_fd, path, argv.get());
}

int read_pipe_chunk(int* fd, char** text, size_t* capacity, size_t* length) {
  // Keep at least 64 KiB free for each read and grow geometrically, so a
  // large output costs few reads and no repeated copying.
  constexpr std::size_t kMinFree = 64 * 1024;
  if (*text == nullptr || *capacity - *length - 1 < kMinFree) {
    std::size_t grown = std::max(*capacity * 2, *length + kMinFree + 1);
    char* bigger = static_cast<char*>(std::realloc(*text, grown));
    if (bigger == nullptr) exit_with_error(1, "Cannot allocate memory");
    *text = bigger;
    *capacity = grown;
  }
  ssize_t n;
  do {
    n = read(*fd, *text + *length, *capacity - *length - 1);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    *length += static_cast<std::size_t>(n);
    return static_cast<int>(n);
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    errno = 0;
    return 0;  // nothing there right now
  }
  // End of file or a read error: this stream is finished.
  if (n < 0) write_raw_stderr("fork_exec*: read(pipe) failed: %s\n", std::strerror(errno));
  close(*fd);
  *fd = -1;
  errno = 0;
  return -1;
}

int fork_execv_getouterr(char** out, char** err, const char* path, char* const argv[]) {
  *out = nullptr;
  *err = nullptr;
  auto out_pipe = open_gather_pipe();
  auto err_pipe = out_pipe ? open_gather_pipe() : std::nullopt;
  if (!err_pipe) return -1;
  pid_t pid = fork_execv(0, out_pipe->write.get(), err_pipe->write.get(), path, argv);
  if (pid < 0) return -1;
  Stream streams[2];
  streams[0].fd.fd = out_pipe->read.release();
  streams[0].text = out;
  streams[1].fd.fd = err_pipe->read.release();
  streams[1].text = err;
  // out_pipe.write and err_pipe.write stay open until we return.
  return gather_until_exit(pid, streams, 2);
}

int fork_execl_getouterr(char** out, char** err, const char* path, const char* arg0, ...) {
  va_list args;
  va_start(args, arg0);
  ArgVector argv = vector_from_list(arg0, args);
  va_end(args);
  return fork_execv_getouterr(out, err, path, argv.get());
}

int fork_execv_getout(char** out, const char* path, char* const argv[]) {
  *out = nullptr;
  auto out_pipe = open_gather_pipe();
  if (!out_pipe) return -1;
  pid_t pid = fork_execv(0, out_pipe->write.get(), 2, path, argv);
  if (pid < 0) return -1;
  Stream stream;
  stream.fd.fd = out_pipe->read.release();
  stream.text = out;
  return gather_until_exit(pid, &stream, 1);
}

int fork_execl_getout(char** out, const char* path, const char* arg0, ...) {
  va_list args;
  va_start(args, arg0);
  ArgVector argv = vector_from_list(arg0, args);
  va_end(args);
  return fork_execv_getout(out, path, argv.get());
}

namespace {

// fork_execv_getouterr for a utility: its own process group, the stop
// handlers' signal dispositions reset, the wait bounded by limit.
int gather_utility(char** out, char** err, const char* path, char* const argv[], bool quiet,
                   UtilityStop stop, std::chrono::seconds limit) {
  *out = nullptr;
  *err = nullptr;
  auto out_pipe = open_gather_pipe();
  auto err_pipe = out_pipe ? open_gather_pipe() : std::nullopt;
  if (!err_pipe) return -1;
  const WaitBound bound{limit, utility_stoppable(stop)};
  ChildPlan plan;
  plan.out = ChildStream::descriptor(out_pipe->write.get());
  plan.err = ChildStream::descriptor(err_pipe->write.get());
  plan.close_sources = true;
  plan.own_group = true;
  plan.stopped_by_request = bound.stoppable;
  plan.default_signals = true;
  plan.report = report_fork_execv_failure;
  const pid_t pid = start_child(plan, path, argv);
  if (pid < 0) {
    report_error("fork_execv_pipes: fork() failed");
    return -1;
  }
  Stream streams[2];
  streams[0].fd.fd = out_pipe->read.release();
  streams[0].text = out;
  streams[1].fd.fd = err_pipe->read.release();
  streams[1].text = err;
  return gather_until_exit(pid, streams, 2, &bound, path, quiet);
}

int run_utility(const char* path, char* const argv[], int quiet, UtilityStop stop,
                std::chrono::seconds limit = utility_timeout()) {
  char* out = nullptr;
  char* err = nullptr;
  int result = gather_utility(&out, &err, path, argv, quiet != 0, stop, limit);
  std::unique_ptr<char, FreeDeleter> out_owner(out);
  std::unique_ptr<char, FreeDeleter> err_owner(err);
  if (result != 0 && !quiet) report_utility_failure(path, out, err);
  return result;
}

constexpr std::chrono::seconds kDefaultUtilityTimeout{300};

}  // namespace

int exec_utility_vq(const char* path, char* const argv[], int quiet) {
  return run_utility(path, argv, quiet, UtilityStop::on_request);
}

int exec_utility_v(const char* path, char* const argv[]) { return exec_utility_vq(path, argv, 0); }

int exec_utility_l(const char* path, const char* arg0, ...) {
  va_list args;
  va_start(args, arg0);
  ArgVector argv = vector_from_list(arg0, args);
  va_end(args);
  return exec_utility_v(path, argv.get());
}

int exec_utility(const char* path, ...) {
  char* argv[kFixedVector];
  va_list args;
  va_start(args, path);
  fill_fixed_vector(argv, path, args);
  va_end(args);
  return exec_utility_v(path, argv);
}

int exec_admin_utility(const char* name, ...) {
  std::string path = admin_utility_path(name);
  if (path.empty()) return -1;
  char* argv[kFixedVector];
  va_list args;
  va_start(args, name);
  fill_fixed_vector(argv, path.c_str(), args);
  va_end(args);
  return exec_utility_v(path.c_str(), argv);
}

int exec_admin_utility_v(const char* name, char* const argv[]) {
  std::string path = admin_utility_path(name);
  if (path.empty()) return -1;
  return exec_utility_v(path.c_str(), argv);
}

std::chrono::seconds utility_timeout() {
  const char* text = std::getenv("HVX_UTILITY_TIMEOUT");
  if (text == nullptr || *text == '\0') return kDefaultUtilityTimeout;
  char* end = nullptr;
  errno = 0;
  const long seconds = std::strtol(text, &end, 10);
  // At most a day: the deadline stays far from the clock's range.
  if (errno != 0 || *end != '\0' || seconds < 1 || seconds > 86400) {
    errno = 0;
    return kDefaultUtilityTimeout;
  }
  return std::chrono::seconds(seconds);
}

bool utility_stoppable(UtilityStop stop) {
  return stop == UtilityStop::on_request && stop_signal() == 0;
}

void bound_utility_wait(ChildWatch& watch, bool stoppable, std::chrono::seconds limit, bool group) {
  watch.bound(ChildWatch::Clock::now() + limit, stoppable, group);
}

bool report_utility_given_up(const ChildWatch& watch, const char* path,
                             std::chrono::seconds limit) {
  const char* name = path != nullptr ? path : "utility";
  switch (watch.ending()) {
    case ChildEnding::by_itself:
      return false;
    case ChildEnding::timed_out:
      errno = 0;
      // A caller's shorter limit is not HVX_UTILITY_TIMEOUT's doing.
      report_error("%s did not end within %lld s%s and was stopped", name,
                   static_cast<long long>(limit.count()),
                   limit < utility_timeout() ? "" : " (HVX_UTILITY_TIMEOUT)");
      return true;
    case ChildEnding::stopped:
      errno = 0;
      report_error("%s stopped by a termination request", name);
      return true;
  }
  return false;
}

int run_admin_utility(const char* name, std::span<const char* const> args, UtilityStop stop) {
  return run_admin_utility(name, args, stop, utility_timeout());
}

int run_admin_utility(const char* name, std::span<const char* const> args, UtilityStop stop,
                      std::chrono::seconds limit) {
  std::string path = admin_utility_path(name);
  if (path.empty()) return -1;
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(path.data());
  for (const char* arg : args) argv.push_back(const_cast<char*>(arg));
  argv.push_back(nullptr);
  return run_utility(path.c_str(), argv.data(), 0, stop, std::min(limit, utility_timeout()));
}
