// The journalled commit of a staged dump: a crash after any single file
// operation leaves a state from which recovery gives back the older dump or
// the new one, whole; failures undo what they did; run identities judge
// leftovers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "common/run_identity.h"
#include "sitevault/dump_commit.h"
#include "sitevault/dump_staging.h"
#include "sitevault/local_commit_store.h"
#include "sitevault/local_rotation.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::TempDir;

// A directory in memory. Every change to a file counts; once the budget is
// spent the store "crashes": that change and every later call fail, as if
// the process had been killed there.
class MemoryStore final : public CommitStore {
 public:
  std::map<std::string, std::string> files;
  int budget = -1;            // changes allowed before the crash; -1: no crash
  std::string refuse_target;  // the first rename onto this name fails (a refusing server)
  // The first rename onto this name goes unanswered: it fails, and is
  // carried out only by carry_out_late() (a server session that outlives
  // the connection).
  std::string late_target;
  std::vector<std::pair<std::string, std::string>> late;

  bool crashed() const { return budget == 0; }

  std::optional<std::vector<std::string>> names(std::string_view prefix) override {
    if (crashed()) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& [name, content] : files) {
      if (name.starts_with(prefix)) out.push_back(name);
    }
    return out;
  }
  std::optional<std::uint64_t> size(const std::string& name) override {
    if (crashed() || !files.contains(name)) return std::nullopt;
    return files[name].size();
  }
  int rename(const std::vector<std::pair<std::string, std::string>>& moves) override {
    for (const auto& [from, to] : moves) {
      if (!change() || !files.contains(from) || files.contains(to)) return -1;
      if (to == refuse_target) {
        refuse_target.clear();
        return -1;
      }
      if (to == late_target) {
        late_target.clear();
        late.emplace_back(from, to);
        return -1;
      }
      files[to] = std::move(files[from]);
      files.erase(from);
    }
    return 0;
  }
  int remove(const std::vector<std::string>& names) override {
    for (const std::string& name : names) {
      if (!files.contains(name)) continue;
      if (!change()) return -1;
      files.erase(name);
    }
    return 0;
  }
  int put_record(const std::string& name, std::string_view text) override {
    if (crashed()) return -1;
    // A crash while writing leaves half the record.
    if (budget == 1) {
      files[name] = std::string(text.substr(0, text.size() / 2));
      budget = 0;
      return -1;
    }
    if (!change()) return -1;
    files[name] = std::string(text);
    return 0;
  }
  std::optional<std::string> get_record(const std::string& name) override {
    if (crashed() || !files.contains(name)) return std::nullopt;
    return files[name];
  }
  int make_durable(const std::vector<std::string>&) override { return crashed() ? -1 : 0; }
  bool changes_in_doubt() const override { return !late.empty(); }
  void carry_out_late() {
    for (const auto& [from, to] : late) {
      files[to] = std::move(files[from]);
      files.erase(from);
    }
    late.clear();
  }

 private:
  bool change() {
    if (budget == 0) return false;
    if (budget > 0) --budget;
    return true;
  }
};

// A run of this host that has ended: this process's pid with another start.
RunIdentity gone_run() {
  RunIdentity run = this_run();
  run.start += 1;
  return run;
}

using Dump = std::vector<std::string>;  // contents in part order

void put_dump(MemoryStore& store, const std::string& base, const Dump& parts) {
  for (std::size_t i = 0; i < parts.size(); ++i)
    store.files[dump_part_name(base, i + 1)] = parts[i];
}

std::vector<std::uint64_t> sizes_of(const Dump& parts) {
  std::vector<std::uint64_t> sizes;
  for (const std::string& p : parts) sizes.push_back(p.size());
  return sizes;
}

// The files under name (and nothing else), in part order.
Dump dump_under(const MemoryStore& store, const std::string& name) {
  std::map<std::size_t, std::string> found;
  for (const auto& [file, content] : store.files) {
    if (file == name)
      found[1] = content;
    else if (file.starts_with(name + ".part"))
      found[std::stoul(file.substr(name.size() + 5))] = content;
  }
  Dump parts;
  for (auto& [n, content] : found) parts.push_back(content);
  return parts;
}

bool has_staging_files(const MemoryStore& store) {
  for (const auto& [file, content] : store.files) {
    if (is_staging_name(file)) return true;
  }
  return false;
}

struct Shape {
  const char* what;
  Dump older;
  Dump newer;
};

const Shape kShapes[] = {
    {"three parts over five", {"o1", "o2", "o3", "o4", "o5last"}, {"n1-", "n2-", "n3last"}},
    {"five parts over two", {"o1", "o2last"}, {"n1", "n2", "n3", "n4", "n5last"}},
    {"one file over three", {"o1", "o2", "o3last"}, {"nsingle"}},
    {"no older dump", {}, {"n1", "n2last"}},
};

// Kill after each change in turn: recovery by a later run gives the older
// dump or the new one, whole, and no staging file remains.
TEST(DumpCommit, KilledAtEveryStepRecoversOneWholeDump) {
  for (const Shape& shape : kShapes) {
    for (int budget = 0;; ++budget) {
      SCOPED_TRACE(std::string(shape.what) + ", killed after change " + std::to_string(budget));
      MemoryStore store;
      const RunIdentity run = gone_run();
      put_dump(store, "d", shape.older);
      put_dump(store, staged_dump_name(run, "d"), shape.newer);
      store.files["d2"] = "another dump";
      store.budget = budget;
      const int committed = commit_dump_as(store, run, "d", sizes_of(shape.newer));
      const bool finished = !store.crashed();
      store.budget = -1;

      if (finished) {
        ASSERT_EQ(committed, 0);
        EXPECT_EQ(dump_under(store, "d"), shape.newer);
        EXPECT_FALSE(has_staging_files(store));
        break;
      }
      EXPECT_EQ(recover_commits(store), 0);
      const Dump now = dump_under(store, "d");
      EXPECT_TRUE(now == shape.older || now == shape.newer) << now.size() << " files";
      EXPECT_FALSE(has_staging_files(store));
      EXPECT_EQ(store.files["d2"], "another dump");
      // Once the whole commit record is down the new dump wins.
      if (budget >= 2) {
        EXPECT_EQ(now, shape.newer);
      }
      ASSERT_LT(budget, 40);
    }
  }
}

// A recovery killed half way is itself recovered by the next one.
TEST(DumpCommit, RecoveryKilledHalfWayIsFinishedByTheNext) {
  const Shape& shape = kShapes[0];
  for (int commit_budget = 2; commit_budget < 12; ++commit_budget) {
    for (int recover_budget = 0; recover_budget < 12; ++recover_budget) {
      SCOPED_TRACE("commit " + std::to_string(commit_budget) + " recovery " +
                   std::to_string(recover_budget));
      MemoryStore store;
      const RunIdentity run = gone_run();
      put_dump(store, "d", shape.older);
      put_dump(store, staged_dump_name(run, "d"), shape.newer);
      store.budget = commit_budget;
      commit_dump_as(store, run, "d", sizes_of(shape.newer));
      store.budget = recover_budget;
      recover_commits(store);
      store.budget = -1;
      EXPECT_EQ(recover_commits(store), 0);
      EXPECT_EQ(dump_under(store, "d"), shape.newer);
      EXPECT_FALSE(has_staging_files(store));
    }
  }
}

// A new part that went missing before recovery: the commit is undone and the
// older dump comes back whole.
TEST(DumpCommit, IncompleteNewDumpIsRolledBack) {
  const Shape& shape = kShapes[0];
  for (int budget = 2; budget < 8; ++budget) {
    SCOPED_TRACE(budget);
    MemoryStore store;
    const RunIdentity run = gone_run();
    put_dump(store, "d", shape.older);
    const std::string staged = staged_dump_name(run, "d");
    put_dump(store, staged, shape.newer);
    store.budget = budget;
    commit_dump_as(store, run, "d", sizes_of(shape.newer));
    store.budget = -1;
    // Part 1 is renamed last, so it is still staged: take it away.
    ASSERT_TRUE(store.files.contains(staged));
    store.files.erase(staged);
    EXPECT_EQ(recover_commits(store), 0);
    EXPECT_EQ(dump_under(store, "d"), shape.older);
    EXPECT_FALSE(has_staging_files(store));
  }
}

// A target the store refuses (a server answering 550, a name too long):
// the commit fails and puts back exactly what was there.
TEST(DumpCommit, RefusedRenameLeavesTheOlderDumpAlone) {
  for (const char* refused : {"d", "d.part2", "d.part3"}) {
    SCOPED_TRACE(refused);
    MemoryStore store;
    const Shape& shape = kShapes[0];
    put_dump(store, "d", shape.older);
    put_dump(store, staging_name("d"), shape.newer);
    store.refuse_target = refused;
    EXPECT_EQ(commit_dump(store, "d", sizes_of(shape.newer)), -1);
    EXPECT_EQ(dump_under(store, "d"), shape.older);
    EXPECT_FALSE(has_staging_files(store));
  }
  // Staged files that do not hold what was written never begin a commit.
  MemoryStore store;
  put_dump(store, "d", {"old"});
  put_dump(store, staging_name("d"), {"short"});
  EXPECT_EQ(commit_dump(store, "d", {6}), -1);
  EXPECT_EQ(dump_under(store, "d"), Dump{"old"});
  EXPECT_FALSE(has_staging_files(store));
}

// A rename the server did not answer and carried out later: the commit
// leaves everything to the next run (undone at once, an older file moved
// aside late would have no record and go as a leftover); that run's recovery
// then finds one whole dump.
TEST(DumpCommit, UnansweredRenameLeavesTheRecordForTheNextRun) {
  const RunIdentity run = gone_run();
  for (const std::string& late : {aside_dump_name(run, "d"), std::string("d.part3")}) {
    SCOPED_TRACE(late);
    MemoryStore store;
    const Shape& shape = kShapes[0];
    put_dump(store, "d", shape.older);
    put_dump(store, staged_dump_name(run, "d"), shape.newer);
    store.late_target = late;
    EXPECT_EQ(commit_dump_as(store, run, "d", sizes_of(shape.newer)), -1);
    EXPECT_TRUE(store.files.contains(commit_record_name(run, "d")));
    store.carry_out_late();
    EXPECT_EQ(recover_commits(store), 0);
    const Dump now = dump_under(store, "d");
    EXPECT_TRUE(now == shape.older || now == shape.newer);
    EXPECT_FALSE(has_staging_files(store));
  }
}

// Leftovers are judged by the whole identity: a live process with the pid
// keeps its files only when its start time matches; another host's are
// never touched.
TEST(DumpCommit, LeftoversJudgedByRunIdentity) {
  MemoryStore store;
  const RunIdentity self = this_run();  // a copy, like the others
  RunIdentity reused_pid = self;        // the pid lives, but it is another process
  reused_pid.pid = ::getppid();
  reused_pid.start = 1;
  RunIdentity parent = self;
  parent.pid = ::getppid();
  parent.start = process_start_time(parent.pid).value();
  RunIdentity other_host = gone_run();
  other_host.host = "0badc0de";
  RunIdentity earlier_boot = self;
  earlier_boot.boot = "00000001";

  for (const RunIdentity& run : {self, reused_pid, parent, other_host, earlier_boot})
    put_dump(store, staged_dump_name(run, "d"), {"x", "y"});
  store.files[".hvxtmp.999999999.d"] = "older version's name, no such pid";
  store.files[".hvxtmp.bogus"] = "not a staging name of ours";
  ASSERT_EQ(recover_commits(store), 0);

  std::vector<std::string> left;
  for (const auto& [name, content] : store.files) left.push_back(name);
  std::vector<std::string> want = {".hvxtmp.bogus"};
  for (const RunIdentity& run : {self, parent, other_host}) {
    want.push_back(staged_dump_name(run, "d"));
    want.push_back(staged_dump_name(run, "d") + ".part2");
  }
  std::sort(want.begin(), want.end());
  EXPECT_EQ(left, want);

  const auto token = parse_run_token(format_run_token(self));
  ASSERT_TRUE(token.has_value());
  EXPECT_EQ(token->pid, self.pid);
  EXPECT_EQ(token->start, self.start);
  for (const char* bad : {"", "1-2-3-4", "0badc0de-00000001-0-5", "0badc0de-00000001-12-",
                          "0badc0de-00000001-12-5-6", "0BADC0DE-00000001-12-5"})
    EXPECT_FALSE(parse_run_token(bad).has_value()) << bad;
}

// Long names: every staging name fits a file name, and the record keeps the
// whole name, so recovery restores the right dump.
TEST(DumpCommit, LongNamesAreCutInStagingNamesOnly) {
  const std::string name = std::string(230, 'n') + "\xc3\xa9" + std::string(8, 'e');
  const RunIdentity run = gone_run();
  for (const std::string& staged :
       {staged_dump_name(run, name), aside_dump_name(run, name), commit_record_name(run, name)}) {
    EXPECT_LE(staged.size() + std::string(".part4294967295").size(), 255u) << staged;
    EXPECT_NE(static_cast<unsigned char>(staged.back()) & 0xC0, 0x80) << "cut inside a character";
  }
  MemoryStore store;
  put_dump(store, name, {"o1", "o2"});
  put_dump(store, staged_dump_name(run, name), {"n1", "n2", "n3"});
  store.budget = 4;
  commit_dump_as(store, run, name, {2, 2, 2});
  store.budget = -1;
  EXPECT_EQ(recover_commits(store), 0);
  EXPECT_EQ(dump_under(store, name), (Dump{"n1", "n2", "n3"}));
}

// The directory store: renames never replace, nothing follows a link, and
// the commit works end to end on a real directory.
TEST(DumpCommit, LocalDirectoryStore) {
  TempDir dir;
  auto store = LocalCommitStore::open(dir.path());
  ASSERT_TRUE(store.has_value());
  testing_support::write_file(dir / "a", "a");
  testing_support::write_file(dir / "b", "b");
  testing::internal::CaptureStderr();
  EXPECT_EQ(store->rename({{"a", "b"}}), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing_support::read_file(dir / "b"), "b");
  ASSERT_EQ(::symlink((dir / "a").c_str(), (dir / "link").c_str()), 0);
  EXPECT_FALSE(store->size("link").has_value());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(store->get_record("link").has_value());
  testing::internal::GetCapturedStderr();

  testing_support::write_file(dir / "d", "old base");
  testing_support::write_file(dir / "d.part2", "old part2");
  testing_support::write_file(dir / "d.part3", "old part3");
  const std::string staged = staging_name("d");
  testing_support::write_file(dir / staged, "new base");
  testing_support::write_file(dir / (staged + ".part2"), "new last");
  ASSERT_EQ(commit_staged_dump(dir / staged, dir / "d", {8, 8}), 0);
  EXPECT_EQ(testing_support::read_file(dir / "d"), "new base");
  EXPECT_EQ(testing_support::read_file(dir / "d.part2"), "new last");
  EXPECT_FALSE(testing_support::file_exists(dir / "d.part3"));
  const auto left = store->names(kStagingMarker);
  ASSERT_TRUE(left.has_value());
  EXPECT_TRUE(left->empty());
}

}  // namespace

namespace {

// Files of dumps being written or moved aside never count as stored dumps
// against the owner's disk space.
TEST(DumpCommit, StagingFilesAreNotCountedAsStoredDumps) {
  TempDir dir;
  testing_support::write_file(dir / "d", std::string(100, 'd'));
  const std::int64_t stored = path_size(dir.path().c_str(), false);
  testing_support::write_file(dir / (staging_name("d") + ".part2"), std::string(5000, 's'));
  testing_support::write_file(dir / aside_dump_name(gone_run(), "d"), std::string(7000, 'o'));
  EXPECT_EQ(path_size(dir.path().c_str(), false), stored);
}

}  // namespace
