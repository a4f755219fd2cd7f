// Domain lock and status switching against a sandbox database and the
// sitectl stand-in; a second process is this test program run again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/db_queries.h"
#include "common/domain_switch.h"
#include "common/messages.h"
#include "common/product_conf.h"
#include "sitevault/domain_lock.h"
#include "sitevault/operation_support.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::file_exists;
using testing_support::read_file;
using testing_support::run_command;
using testing_support::TempDir;
using testing_support::write_file;
namespace fs = std::filesystem;

constexpr const char* kHelperEnv = "HVX_LOCK_HELPER_DIR";

// The helper process inherits the sandbox of the test run that started it.
[[maybe_unused]] testing::Environment* const sandbox_environment =
    testing::AddGlobalTestEnvironment(new testing_support::SandboxEnvironment(kHelperEnv));

std::string sandbox(const std::string& rel) { return std::string(getenv("HVX_ROOT")) + rel; }
std::string sitectl_dir() { return sandbox("/var/sandbox/sitectl"); }

std::string sql(const std::string& statement) {
  const auto r =
      run_command({"mariadb", "--no-defaults", "--protocol=socket",
                   "--socket=" + testing_support::test_env("HVX_TEST_DB_SOCKET"), "--user=admin",
                   "--batch", "--skip-column-names", getenv("HVX_DB_NAME"), "-e", statement},
                  {{"MYSQL_PWD", testing_support::test_env("HVX_TEST_DB_PASSWORD")}});
  EXPECT_EQ(r.status, 0) << statement << ": " << r.err;
  return r.out;
}

unsigned status_of(const std::string& domain) {
  return static_cast<unsigned>(
      std::stoul(sql("SELECT status FROM domains WHERE name='" + domain + "'")));
}

void set_status(const std::string& domain, unsigned status) {
  sql("UPDATE domains SET status=" + std::to_string(status) + " WHERE name='" + domain + "'");
}

std::string sitectl_calls() { return read_file(sitectl_dir() + "/calls.log"); }

// A test program run in a second process that holds a domain's lock until it
// is killed; it never unlocks.
class LockHolder {
 public:
  explicit LockHolder(const std::string& domain) {
    pid_ = fork();
    if (pid_ == 0) {
      setenv(kHelperEnv, dir_.path().c_str(), 1);
      setenv("HVX_LOCK_HELPER_DOMAIN", domain.c_str(), 1);
      const std::string self = fs::read_symlink("/proc/self/exe");
      execl(self.c_str(), self.c_str(), "--gtest_filter=LockHelper.HoldDomainLock",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 400 && state().empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ~LockHolder() { end(); }
  std::string state() const { return read_file(dir_ / "state"); }
  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
};

TEST(LockHelper, HoldDomainLock) {
  const char* dir = getenv(kHelperEnv);
  if (dir == nullptr) GTEST_SKIP() << "runs only as the second process of another test";
  const auto held = lock_domain(getenv("HVX_LOCK_HELPER_DOMAIN"));
  write_file(std::string(dir) + "/state", held ? "locked" : "failed");
  for (;;) pause();
}

// The foreground of a detached run: the domain is locked, the run detaches,
// and the foreground ends inside detach_operation. The detached process
// keeps the hold until the test lets it go on.
TEST(LockHelper, DetachWithDomain) {
  const char* dir = getenv(kHelperEnv);
  if (dir == nullptr) GTEST_SKIP() << "runs only as the second process of another test";
  auto held = lock_domain(getenv("HVX_LOCK_HELPER_DOMAIN"));
  if (!held) _exit(3);
  detach_operation();
  write_file(std::string(dir) + "/detached", "");
  for (int i = 0; i < 800 && !file_exists(std::string(dir) + "/go"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  held.reset();
  write_file(std::string(dir) + "/ended", "");
  _exit(0);
}

bool wait_for_file(const std::string& path) {
  for (int i = 0; i < 800; ++i) {
    if (file_exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

class DomainLock : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(product_conf.DUMP_D);
    for (const char* domain : {"example.com", "other.example"}) {
      set_status(domain, 0);
      ASSERT_EQ(create_dump_repository(domain), 0);
    }
    fs::remove_all(sitectl_dir());
    fs::create_directories(sitectl_dir());
  }
};

TEST_F(DomainLock, SwitchesOffAndOnAroundTheLock) {
  {
    const auto held = lock_domain("example.com");
    ASSERT_TRUE(held);
    EXPECT_EQ(held->domain(), "example.com");
    EXPECT_EQ(status_of("example.com"), 4u);
    EXPECT_EQ(read_file(sitectl_dir() + "/example.com"), "off\n");
  }
  EXPECT_EQ(status_of("example.com"), 0u);
  EXPECT_EQ(read_file(sitectl_dir() + "/example.com"), "on\n");
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\nturn-on example.com\n");
  EXPECT_EQ(LockHolder("example.com").state(), "locked");  // released
}

TEST_F(DomainLock, KeepsOtherStatusBitsAndTheirServicesOff) {
  // Off for another reason: the bit is added and removed, never switched on.
  set_status("example.com", 16);
  {
    const auto held = lock_domain("example.com");
    ASSERT_TRUE(held);
    EXPECT_EQ(status_of("example.com"), 20u);
  }
  EXPECT_EQ(status_of("example.com"), 16u);
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\n");

  // Backup bit already set (a run that ended without unlocking): locked
  // without any change; unlocking switches it on.
  fs::remove(sitectl_dir() + "/calls.log");
  set_status("example.com", 4);
  {
    const auto held = lock_domain("example.com");
    ASSERT_TRUE(held);
    EXPECT_EQ(status_of("example.com"), 4u);
    EXPECT_FALSE(file_exists(sitectl_dir() + "/calls.log"));
  }
  EXPECT_EQ(status_of("example.com"), 0u);
  EXPECT_EQ(sitectl_calls(), "turn-on example.com\n");
}

TEST_F(DomainLock, FailedSwitchOffIsRolledBack) {
  write_file(sitectl_dir() + "/fail-turn-off", "");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(lock_domain("example.com"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Unable to turn domain 'example.com' off."), std::string::npos) << err;
  EXPECT_EQ(status_of("example.com"), 0u);
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\nturn-on example.com\n");

  // Off for another reason: the status goes back, the services stay off.
  fs::remove(sitectl_dir() + "/calls.log");
  set_status("example.com", 16);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(lock_domain("example.com"));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(status_of("example.com"), 16u);
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\n");

  // The lock was released: another attempt can take it.
  fs::remove(sitectl_dir() + "/fail-turn-off");
  set_status("example.com", 0);
  EXPECT_TRUE(lock_domain("example.com"));
}

TEST_F(DomainLock, FailedSwitchOnLeavesTheDomainOffWithStatus64) {
  {
    const auto held = lock_domain("example.com");
    ASSERT_TRUE(held);
    write_file(sitectl_dir() + "/fail-turn-on", "");
    testing::internal::CaptureStderr();
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Unable to turn domain 'example.com' on."), std::string::npos) << err;
  EXPECT_EQ(status_of("example.com"), 64u);
  EXPECT_EQ(read_file(sitectl_dir() + "/example.com"), "off\n");
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\nturn-on example.com\nturn-off example.com\n");
}

// The server ends the run's status connection while the domain is held (as a
// restart does): the switch-on connects again on the same handle.
// The domain goes back on before the final mail: a switch-on that failed
// there is not tried again when the hold ends.
TEST_F(DomainLock, FailedEarlySwitchOnIsNotRepeatedAtTheEnd) {
  {
    auto held = lock_domain("example.com");
    ASSERT_TRUE(held);
    write_file(sitectl_dir() + "/fail-turn-on", "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(held->switch_on());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(status_of("example.com"), 64u);
  }
  EXPECT_EQ(status_of("example.com"), 64u);
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\nturn-on example.com\nturn-off example.com\n");
  EXPECT_EQ(LockHolder("other.example").state(), "locked");
}

// The foreground of a detached run ends without switching the domain on or
// giving up its locks; the detached process does both, once, when its
// operation ends.
TEST_F(DomainLock, DetachedForegroundLeavesTheDomainToTheDetachedRun) {
  TempDir dir;
  const pid_t foreground = fork();
  ASSERT_GE(foreground, 0);
  if (foreground == 0) {
    setenv(kHelperEnv, dir.path().c_str(), 1);
    setenv("HVX_LOCK_HELPER_DOMAIN", "example.com", 1);
    const std::string self = fs::read_symlink("/proc/self/exe");
    execl(self.c_str(), self.c_str(), "--gtest_filter=LockHelper.DetachWithDomain",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(foreground, &status, 0), foreground);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(wait_for_file(dir / "detached"));

  EXPECT_EQ(status_of("example.com"), 4u);
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\n");
  EXPECT_EQ(LockHolder("example.com").state(), "failed");  // the detached run holds it

  write_file(dir / "go", "");
  ASSERT_TRUE(wait_for_file(dir / "ended"));
  EXPECT_EQ(status_of("example.com"), 0u);
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\nturn-on example.com\n");
  EXPECT_EQ(LockHolder("example.com").state(), "locked");
}

TEST_F(DomainLock, SwitchOnAfterTheServerDroppedTheConnection) {
  setenv("HVX_DB_RECONNECT_TIMEOUT", "5", 1);
  {
    auto held = lock_domain("example.com");
    ASSERT_TRUE(held);
    MYSQL* conn = domain_db_connection();
    const unsigned long before = mysql_thread_id(conn);
    sql("KILL CONNECTION " + std::to_string(before));
    EXPECT_TRUE(held->switch_on());
    EXPECT_EQ(domain_db_connection(), conn);
    EXPECT_NE(mysql_thread_id(conn), before);
    EXPECT_EQ(status_of("example.com"), 0u);
    EXPECT_EQ(read_file(sitectl_dir() + "/example.com"), "on\n");
    // Switched on already: the end of the hold only releases the locks.
    EXPECT_TRUE(held->switch_on());
  }
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\nturn-on example.com\n");
  unsetenv("HVX_DB_RECONNECT_TIMEOUT");
}

TEST_F(DomainLock, OneLockPerRun) {
  {
    auto held = lock_domain("example.com");
    ASSERT_TRUE(held);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(lock_domain("other.example"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error locking domain: trying lock already locked domains other.example"),
              std::string::npos)
        << err;
    EXPECT_EQ(status_of("other.example"), 0u);
    // A hold moved to another owner is still the run's one hold, and ends
    // once.
    auto moved = std::move(held);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(lock_domain("other.example"));
    testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\nturn-on example.com\n");
  // Once the hold ended, another domain can be held.
  EXPECT_TRUE(lock_domain("other.example"));
}

TEST_F(DomainLock, AnotherProcessHoldsTheLockUntilItEnds) {
  LockHolder holder("example.com");
  ASSERT_EQ(holder.state(), "locked");
  EXPECT_EQ(status_of("example.com"), 4u);

  testing::internal::CaptureStderr();
  EXPECT_FALSE(lock_domain("example.com"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Unable to lock file for domain \"example.com\": domain is already locked."),
            std::string::npos)
      << err;
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\n");

  // The holder dies without unlocking: the kernel frees the lock, the backup
  // bit stays until this run switches the domain on.
  holder.end();
  {
    const auto held = lock_domain("example.com");
    ASSERT_TRUE(held);
    EXPECT_EQ(sitectl_calls(), "turn-off example.com\n");
  }
  EXPECT_EQ(status_of("example.com"), 0u);
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\nturn-on example.com\n");
}

TEST_F(DomainLock, RepositoryWideLockStopsEveryOperation) {
  EXPECT_EQ(check_server_wide_lock(), 0);
  // A server-wide dump outside this system holds the lock.
  const std::string lock = std::string(product_conf.DUMP_D) + "/backup_restore.lock";
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    setpgid(0, 0);  // the whole group is ended below
    execlp("flock", "flock", "-x", "-o", lock.c_str(), "sleep", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string text =
      "Can't perform domain backup operations while server-wide dump/restore running";
  std::string out;
  for (int i = 0; i < 200; ++i) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = check_server_wide_lock();
    out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    if (result == -1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  kill(-holder, SIGTERM);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(out.find(text + "\n"), 0u) << out;
  EXPECT_NE(out.find("sitevault: " + text + ": Can't lock file " + lock), std::string::npos) << out;
  EXPECT_EQ(check_server_wide_lock(), 0);
}

TEST_F(DomainLock, NameWithoutIdChangesNothing) {
  const std::string domain = "exa'mple.com";
  fs::create_directories(std::string(product_conf.DUMP_D) + "/" + domain);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(lock_domain(domain.c_str()));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Unable to define domain status."), std::string::npos) << err;
  EXPECT_FALSE(file_exists(sitectl_dir() + "/calls.log"));
  EXPECT_EQ(sql("SELECT COUNT(*) FROM domains WHERE status<>0"), "0\n");
}

TEST_F(DomainLock, EverySpellingOfADomainMeetsOneLock) {
  ASSERT_EQ(create_dump_repository("EXAMPLE.COM"), 0);
  {
    LockHolder holder("example.com");
    ASSERT_EQ(holder.state(), "locked");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(lock_domain("EXAMPLE.COM"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Unable to lock file for domain \"EXAMPLE.COM\": domain is already locked."),
              std::string::npos)
        << err;
    EXPECT_EQ(status_of("example.com"), 4u);
    EXPECT_EQ(sitectl_calls(), "turn-off example.com\n");
  }
  // And the other way round: the upper-case run holds, the lower-case one
  // is refused.
  {
    const auto held = lock_domain("EXAMPLE.COM");
    ASSERT_TRUE(held);
    EXPECT_EQ(LockHolder("example.com").state(), "failed");
  }
  EXPECT_EQ(status_of("example.com"), 0u);

  // An IDN in Unicode and in ASCII-compatible form.
  const std::string ace = "xn--bcher-kva.example";
  set_status(ace, 0);
  ASSERT_EQ(create_dump_repository(ace.c_str()), 0);
  ASSERT_EQ(create_dump_repository("bücher.example"), 0);
  {
    LockHolder holder(ace);
    ASSERT_EQ(holder.state(), "locked");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(lock_domain("bücher.example"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("domain is already locked."),
              std::string::npos);
  }
  ASSERT_TRUE(lock_domain("bücher.example"));
  EXPECT_EQ(status_of(ace), 0u);
}

TEST_F(DomainLock, RefusedRepositoryLockLeavesTheDomainFree) {
  // Only the repository lock is held (as dump removal holds it): the refusal
  // must not leave the domain's other lock behind.
  const LockedFile removal = take_domain_lock_file("example.com");
  ASSERT_TRUE(removal.held());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(lock_domain("example.com"));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("domain is already locked."),
            std::string::npos);
  EXPECT_FALSE(file_exists(sitectl_dir() + "/calls.log"));
  ASSERT_EQ(create_dump_repository("Example.Com"), 0);
  EXPECT_TRUE(lock_domain("Example.Com"));
}

TEST_F(DomainLock, LinkPlantedAsTheDomainsLockIsRefused) {
  TempDir victim_dir;
  const std::string victim = victim_dir.path() + "/victim";
  write_file(victim, "precious");
  const std::string lock = std::string(product_conf.DUMP_D) + "/.domain-3.lock";
  fs::remove(lock);
  fs::create_symlink(victim, lock);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(lock_domain("other.example"));
  testing::internal::GetCapturedStderr();
  fs::remove(lock);
  EXPECT_EQ(read_file(victim), "precious");
  EXPECT_EQ(status_of("other.example"), 0u);
  EXPECT_FALSE(file_exists(sitectl_dir() + "/calls.log"));
}

TEST_F(DomainLock, LinkPlantedAsTheRepositoryIsRefused) {
  // The repository's lock file would be created where the link points.
  TempDir victim_dir;
  const std::string repo = std::string(product_conf.DUMP_D) + "/other.example";
  fs::remove_all(repo);
  fs::create_directory_symlink(victim_dir.path(), repo);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(take_domain_lock_file("other.example"));
  EXPECT_FALSE(lock_domain("other.example"));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("(links are not followed)"),
            std::string::npos);
  fs::remove(repo);
  EXPECT_TRUE(fs::is_empty(victim_dir.path()));
  EXPECT_FALSE(file_exists(sitectl_dir() + "/calls.log"));
}

// A host that answers like sitevault's and records what it is told.
class RecordingHost final : public DomainSwitchHost {
 public:
  std::vector<std::string> reports;

  std::optional<std::string> domain_id(const std::string& domain) override {
    const char* id = get_dom_id(domain.c_str(), domain_db_connection());
    if (id == nullptr) return std::nullopt;
    return std::string(id);
  }
  MYSQL* status_connection() override { return domain_db_connection(); }
  void lock_not_created(const std::string& d) override { reports.push_back("no record " + d); }
  void lock_busy(const std::string& d) override { reports.push_back("busy " + d); }
  void lock_failed(const std::string& d, int) override { reports.push_back("failed " + d); }
  void status_unreadable(const std::string& d, const std::string&) override {
    reports.push_back("unreadable " + d);
  }
  void status_unwritten(const std::string& d, const std::string&) override {
    reports.push_back("unwritten " + d);
  }
  void switch_failed(const std::string& d, SwitchAction a) override {
    reports.push_back(std::string(a == SwitchAction::off ? "off failed " : "on failed ") + d);
  }
};

TEST_F(DomainLock, SwitchRestoresTheDomainWhenItEnds) {
  RecordingHost host;
  {
    DomainSwitch held("example.com", SwitchProtocol{}, host);
    ASSERT_TRUE(held.lock());
    ASSERT_TRUE(held.switch_off());
    EXPECT_EQ(status_of("example.com"), 4u);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(lock_domain("example.com"));
    testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(status_of("example.com"), 0u);
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\nturn-on example.com\n");
  EXPECT_TRUE(host.reports.empty());
  EXPECT_TRUE(lock_domain("example.com"));
}

TEST_F(DomainLock, SwitchWithoutRollbackKeepsItsLocks) {
  // chainrun's handling: a failed --turn-off puts the status back without
  // --turn-on, and the locks stay held until the switch ends; a failed
  // --turn-on leaves the status it found.
  const SwitchProtocol plain{.turn_off_when_off_for_other_reason = false,
                             .failed_turn_off_turns_back_on = false,
                             .failed_turn_on_marks_status_64 = false};
  RecordingHost host;
  write_file(sitectl_dir() + "/fail-turn-off", "");
  {
    DomainSwitch held("example.com", plain, host);
    ASSERT_TRUE(held.lock());
    EXPECT_FALSE(held.switch_off());
    EXPECT_EQ(status_of("example.com"), 0u);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(lock_domain("example.com"));
    testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\n");
  fs::remove(sitectl_dir() + "/fail-turn-off");
  fs::remove(sitectl_dir() + "/calls.log");

  set_status("example.com", 16);
  {
    DomainSwitch held("example.com", plain, host);
    ASSERT_TRUE(held.lock());
    EXPECT_TRUE(held.switch_off());
    EXPECT_EQ(status_of("example.com"), 20u);
  }
  EXPECT_EQ(status_of("example.com"), 16u);
  EXPECT_FALSE(file_exists(sitectl_dir() + "/calls.log"));

  set_status("example.com", 0);
  write_file(sitectl_dir() + "/fail-turn-on", "");
  {
    DomainSwitch held("example.com", plain, host);
    ASSERT_TRUE(held.lock());
    EXPECT_TRUE(held.switch_off());
  }
  EXPECT_EQ(status_of("example.com"), 4u);
  EXPECT_EQ(sitectl_calls(), "turn-off example.com\nturn-on example.com\n");
  EXPECT_EQ(host.reports,
            (std::vector<std::string>{"off failed example.com", "on failed example.com"}));
}

}  // namespace
