// flock-based lock files between real processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/locked_file.h"
#include "common/messages.h"
#include "tests/support/std_capture.h"
#include "tests/support/test_support.h"

using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

// A child process that takes the lock and holds it until told to let go.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int ready[2], release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      locked_file* lock = lock_file_try(path.c_str(), 0);
      char state = locked_file_is_locked(lock) ? 'L' : 'x';
      (void)!write(ready[1], &state, 1);
      char c;
      (void)!read(release[0], &c, 1);
      _exit(close_locked_file(lock) == 0 ? 0 : 1);
    }
    close(ready[1]);
    close(release[0]);
    release_fd_ = release[1];
    char state = 0;
    (void)!read(ready[0], &state, 1);
    close(ready[0]);
    locked_ = state == 'L';
  }
  ~LockHolder() { finish(); }
  bool locked() const { return locked_; }
  // Lets the child release the lock and waits for it; its exit status.
  int finish() {
    if (pid_ <= 0) return -1;
    close(release_fd_);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int release_fd_ = -1;
  bool locked_ = false;
};

}  // namespace

TEST(LockedFile, HeldByAnotherProcessReadsBusyUntilReleased) {
  TempDir dir;
  const std::string path = dir / "backup_restore.lock";
  LockHolder holder(path);
  ASSERT_TRUE(holder.locked());

  locked_file* busy = lock_file_try(path.c_str(), 0);
  ASSERT_NE(busy, nullptr);
  EXPECT_EQ(busy->fd, 0);
  EXPECT_EQ(locked_file_is_busy(busy), 1);
  EXPECT_EQ(locked_file_is_locked(busy), 0);
  EXPECT_EQ(close_locked_file(busy), 0);

  EXPECT_EQ(holder.finish(), 0);
  locked_file* mine = lock_file_try(path.c_str(), 0);
  ASSERT_NE(mine, nullptr);
  EXPECT_GT(mine->fd, 2);
  EXPECT_EQ(locked_file_is_locked(mine), 1);
  EXPECT_EQ(locked_file_is_busy(mine), 0);

  // Now the roles are reversed.
  LockHolder other(path);
  EXPECT_FALSE(other.locked());
  EXPECT_EQ(close_locked_file(mine), 0);
}

TEST(LockedFile, WaitingFormGetsTheLockOnceReleased) {
  TempDir dir;
  const std::string path = dir / "x.lock";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    close(ready[0]);
    locked_file* lock = lock_file_try(path.c_str(), 0);
    char state = locked_file_is_locked(lock) ? 'L' : 'x';
    (void)!write(ready[1], &state, 1);
    usleep(200 * 1000);
    write_file(path + ".released", "yes");
    _exit(close_locked_file(lock) == 0 ? 0 : 1);
  }
  close(ready[1]);
  char state = 0;
  ASSERT_EQ(read(ready[0], &state, 1), 1);
  close(ready[0]);
  ASSERT_EQ(state, 'L');
  locked_file* lock = lock_file_wait(path.c_str(), 0);
  // The holder had let go by the time the waiting form returned.
  EXPECT_EQ(read_file(path + ".released"), "yes");
  int status = 0;
  EXPECT_EQ(waitpid(holder, &status, 0), holder);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(locked_file_is_locked(lock), 1);
  EXPECT_EQ(unlock_file(lock), 0);
}

TEST(LockedFile, MissingDirectoryIsReportedAndNeitherLockedNorBusy) {
  TempDir dir;
  const std::string path = dir / "no/such/dir/backup_restore.lock";
  program_name = "sitevault";
  StdCapture capture;
  locked_file* lock = lock_file_try(path.c_str(), 0);
  const std::string err = capture.err();
  program_name = nullptr;
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(lock->fd, -1);
  EXPECT_EQ(locked_file_is_locked(lock), 0);
  EXPECT_EQ(locked_file_is_busy(lock), 0);
  EXPECT_EQ(err, "sitevault: Unable to open file \"" + path + "\": No such file or directory.\n");
  EXPECT_EQ(close_locked_file(lock), 0);
}

TEST(LockedFile, NameLengthLimitAndSuffix) {
  TempDir dir;
  // The last component counts from the last "/" inclusive: "/" + 249 = 250.
  const std::string ok = dir.path() + "/" + std::string(249, 'n');
  const std::string too_long = dir.path() + "/" + std::string(250, 'n');
  locked_file* lock = lock_file_try(ok.c_str(), 0);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(locked_file_is_locked(lock), 1);
  EXPECT_EQ(close_locked_file(lock), 0);
  EXPECT_EQ(lock_file_try(too_long.c_str(), 0), nullptr);
  EXPECT_EQ(lock_file_try(too_long.c_str(), 1), nullptr);
  // Without any "/", the whole path is the component.
  EXPECT_EQ(lock_file_try(std::string(251, 'r').c_str(), 0), nullptr);

  lock = lock_file_try(ok.c_str(), 1);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(lock->path, ok + ".lock");
  EXPECT_EQ(locked_file_is_locked(lock), 1);
  EXPECT_TRUE(testing_support::file_exists(ok + ".lock"));
  EXPECT_EQ(close_locked_file(lock), 0);
}

TEST(LockedFile, OpeningEmptiesTheFile) {
  TempDir dir;
  const std::string path = dir / "held.lock";
  write_file(path, "left over from an earlier run\n");
  locked_file* lock = lock_file_try(path.c_str(), 0);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(read_file(path), "");
  EXPECT_EQ(close_locked_file(lock), 0);
}

TEST(LockedFile, ClosingRecordsInEveryState) {
  EXPECT_EQ(close_locked_file(nullptr), -1);
  EXPECT_EQ(locked_file_is_busy(nullptr), 1);
  EXPECT_EQ(locked_file_is_locked(nullptr), 0);
  for (int fd : {0, -1}) {
    auto* record = new locked_file;
    record->fd = fd;
    record->path = "/nowhere";
    EXPECT_EQ(close_locked_file(record), 0);
  }
  // Descriptor 0 is untouched by closing a busy record.
  EXPECT_NE(fcntl(0, F_GETFD), -1);
}

TEST(LockedFile, HeldLockNeverSitsOnAStandardDescriptor) {
  TempDir dir;
  const std::string path = dir / "stdin-closed.lock";
  pid_t pid = fork();
  if (pid == 0) {
    close(0);
    locked_file* lock = lock_file_try(path.c_str(), 0);
    bool ok = lock != nullptr && lock->fd > 2 && locked_file_is_locked(lock) &&
              !locked_file_is_busy(lock) && fcntl(0, F_GETFD) == -1;
    _exit(ok && close_locked_file(lock) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
