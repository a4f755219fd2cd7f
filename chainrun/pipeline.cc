#include "chainrun/pipeline.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "chainrun/captured_output.h"
#include "chainrun/chain_log.h"
#include "chainrun/password_mask.h"
#include "chainrun/url_codec.h"
#include "common/child_process.h"
#include "common/unique_fd.h"

namespace {

constexpr std::size_t io_block = 64 * 1024;
// What is read from an error pipe after its command has ended; bounds the
// drain when a leftover background process keeps writing into it.
constexpr int max_drain_reads = 64;
// Poll interval used only when a child cannot be watched through a pidfd.
constexpr int fallback_poll_ms = 50;

enum class ChildState { running, exited, signaled, wait_failed };

struct Child {
  pid_t pid = -1;
  UniqueFd err;    // read end of the command's error pipe (non-blocking)
  UniqueFd pidfd;  // readable once the child has ended
  CapturedOutput err_text;
  ChildState state = ChildState::running;
  int exit_status = 0;
  bool end_signalled = false;  // the pidfd reported the end
};

// ---- child side ---------------------------------------------------------

// The group of a user id without a passwd entry: "nogroup" (or "nobody"
// where the system names it so), else the customary overflow id. Never the
// uid's own number, which may well be a privileged group's id.
gid_t group_without_passwd_entry() {
  for (const char* name : {"nogroup", "nobody"}) {
    if (const group* gr = ::getgrnam(name)) return gr->gr_gid;
  }
  return 65534;
}

// Takes on the user, and when the runner is root drops all of root's
// groups first: the user's primary and supplementary groups from the user
// database, or for a bare uid the fallback group and no supplementary ones.
bool become_user(uid_t uid) {
  if (::geteuid() == 0 && uid != 0) {
    if (const passwd* pw = ::getpwuid(uid)) {
      if (::initgroups(pw->pw_name, pw->pw_gid) != 0) return false;
      if (::setregid(pw->pw_gid, pw->pw_gid) != 0) return false;
    } else {
      const gid_t gid = group_without_passwd_entry();
      if (::setgroups(0, nullptr) != 0 || ::setregid(gid, gid) != 0) return false;
    }
  }
  return ::setreuid(uid, uid) == 0;
}

void report_start_failure(ChildStep /*step*/, int error, const char* /*path*/) {
  std::fprintf(stderr, "chainrun: dup2() failed: %s\n", std::strerror(error));
}

// The command's process once its descriptors and signals are set up (see
// start_command): the uid of the first command, the shell, the report of a
// failure. Its exit status.
int run_command_child(const ChainSpec& spec, std::size_t index) {
  const std::string command = url_decode(spec.encoded_commands[index]);
  if (index == 0 && !become_user(spec.first_uid)) {
    log_appendf("chainrun: uanble to set uid %u: %s\n", static_cast<unsigned>(spec.first_uid),
                std::strerror(errno));
    return 1;
  }
  if (std::system(command.c_str()) == 0) return 0;
  if (spec.report_failed_command) {
    std::string shown = command;
    mask_passwords(shown);
    std::fprintf(stderr, "An error was occured during execution: \"%s\"\n", shown.c_str());
    std::fflush(stderr);
  }
  return 1;
}

// Starts one command of the chain: its standard error on err_fd, its input
// and output on the neighbouring pipes (-1: the runner's own). Neither the
// other commands' pipes nor the runner's lock file or database connection
// belong to the command, and a group of its own lets a termination request
// to the runner stop the command with whatever it started.
pid_t start_command(const ChainSpec& spec, std::size_t index, int in_fd, int out_fd, int err_fd) {
  ChildPlan plan;
  plan.in = in_fd >= 0 ? ChildStream::descriptor(in_fd) : ChildStream::inherited();
  plan.out = out_fd >= 0 ? ChildStream::descriptor(out_fd) : ChildStream::inherited();
  plan.err = ChildStream::descriptor(err_fd);
  plan.own_group = true;
  plan.default_signals = true;
  plan.failure_status = 1;
  plan.report = report_start_failure;
  return start_child(plan, [&spec, index] { return run_command_child(spec, index); });
}

// ---- parent side --------------------------------------------------------

UniqueFd open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return UniqueFd(static_cast<int>(fd));
  }
#else
  (void)pid;
#endif
  return UniqueFd();
}

// Reads what the error pipe holds, up to `max_reads` blocks; closes it at end
// of file or on a read error.
void read_error_pipe(Child& child, int max_reads) {
  char buf[io_block];
  for (int i = 0; i < max_reads && child.err; ++i) {
    const ssize_t n = ::read(child.err.get(), buf, sizeof buf);
    if (n > 0) {
      child.err_text.append(std::string_view(buf, static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    child.err.reset();
  }
}

// Reaps the child if it has ended; then takes in the rest of its error output.
void reap_if_ended(Child& child) {
  int status = 0;
  const pid_t r = wait_child(child.pid, &status, WNOHANG);
  if (r == 0) return;
  if (r < 0) {
    child.state = ChildState::wait_failed;
  } else if (WIFEXITED(status)) {
    child.state = ChildState::exited;
    child.exit_status = WEXITSTATUS(status);
  } else {
    child.state = ChildState::signaled;
  }
  child.pidfd.reset();
  read_error_pipe(child, max_drain_reads);
  child.err.reset();
  // Only a failing command's error output is ever reported.
  if (child.state == ChildState::exited && child.exit_status == 0) child.err_text.clear();
}

// Waits for every started child, gathering error output all the while, so a
// command never blocks on a full error pipe.
void wait_for_children(std::vector<Child>& children) {
  std::vector<pollfd> fds;
  std::vector<Child*> owners;
  for (;;) {
    fds.clear();
    owners.clear();
    bool need_timeout = false;
    for (Child& child : children) {
      if (child.pid < 0 || child.state != ChildState::running) continue;
      if (child.err) {
        fds.push_back({child.err.get(), POLLIN, 0});
        owners.push_back(&child);
      }
      if (child.pidfd) {
        fds.push_back({child.pidfd.get(), POLLIN, 0});
        owners.push_back(&child);
      } else {
        need_timeout = true;
      }
    }
    if (owners.empty() && !need_timeout) return;

    const int ready = ::poll(fds.data(), fds.size(), need_timeout ? fallback_poll_ms : -1);
    if (ready < 0 && errno != EINTR) ::usleep(fallback_poll_ms * 1000);

    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Child& child = *owners[i];
      if (child.err && fds[i].fd == child.err.get()) {
        read_error_pipe(child, 1);
      } else {
        child.end_signalled = true;
      }
    }
    for (Child& child : children) {
      if (child.pid < 0 || child.state != ChildState::running) continue;
      if (child.end_signalled || !child.pidfd || ready < 0) reap_if_ended(child);
    }
  }
}

bool set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Starting the chain failed: log why, let the commands already started run
// out (they see end of file or a broken pipe) and wait for them.
ChainOutcome abandon_start(std::vector<Child>& children, UniqueFd& pending_input,
                           const char* format, int err) {
  log_append("error!\n");
  log_appendf(format, std::strerror(err));
  pending_input.reset();
  wait_for_children(children);
  return ChainOutcome::broken;
}

ChainOutcome report(std::vector<Child>& children) {
  for (Child& child : children) {
    switch (child.state) {
      case ChildState::wait_failed:
        log_append("error!\n");
        log_appendf("Error waiting the child process with pid: %d\n", child.pid);
        return ChainOutcome::broken;
      case ChildState::signaled:
        log_append("error!\n");
        log_appendf("The child process with pid %d was terminated by other process.\n", child.pid);
        return ChainOutcome::broken;
      case ChildState::exited:
        if (child.exit_status == 0) break;
        log_append("error!\n");
        child.err_text.for_each_chunk(io_block, [](std::string_view piece) { log_append(piece); });
        return ChainOutcome::command_failed;
      case ChildState::running:
        break;
    }
  }
  log_append("done\n");
  return ChainOutcome::succeeded;
}

}  // namespace

ChainOutcome run_chain(const ChainSpec& spec) {
  const std::size_t count = spec.encoded_commands.size();
  std::vector<Child> children;
  try {
    children.resize(count);
  } catch (const std::bad_alloc&) {
    log_append("error!\n");
    log_appendf("Error calloc(): %s\n", std::strerror(ENOMEM));
    return ChainOutcome::broken;
  }

  // Read end of the previous command's output pipe: the next command's input.
  UniqueFd pending_input;
  for (std::size_t i = 0; i < count; ++i) {
    const bool last = i + 1 == count;
    std::optional<PipeEnds> err_pipe = make_pipe();
    std::optional<PipeEnds> data_pipe;
    if (err_pipe && !last) data_pipe = make_pipe();
    if (!err_pipe || (!last && !data_pipe) || !set_nonblocking(err_pipe->read.get())) {
      return abandon_start(children, pending_input, "Error creating the pipe: %s\n", errno);
    }

    const pid_t pid = start_command(spec, i, i == 0 ? -1 : pending_input.get(),
                                    last ? -1 : data_pipe->write.get(), err_pipe->write.get());
    if (pid < 0) {
      return abandon_start(children, pending_input, "Error creating the child process: %s\n",
                           errno);
    }

    Child& child = children[i];
    child.pid = pid;
    child.err = std::move(err_pipe->read);
    child.pidfd = open_pidfd(pid);
    // The runner keeps no pipe end a command needs to see closed: the input
    // it just handed over and the write ends go now.
    pending_input = last ? UniqueFd() : std::move(data_pipe->read);
  }

  wait_for_children(children);
  return report(children);
}
