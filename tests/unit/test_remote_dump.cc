// The dump-level work on a remote repository over a store in memory, with
// the knobs of real servers (names beginning with a dot left out of plain
// listings, bounded deletion batches, refused or unanswered renames, files
// a listing leaves out): rotation by the signed rule, a dump's files, the
// commit through the adapter, recovery, and the clean-up of failed uploads.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/run_identity.h"
#include "sitevault/dump_check.h"
#include "sitevault/dump_commit.h"
#include "sitevault/dump_files.h"
#include "sitevault/remote/remote_store.h"
#include "sitevault/remote_dump.h"
#include "sitevault/signed_stream.h"

namespace {

const std::string kSigned = "Magic1: " + std::string(40, '0') + "\nMagic2: 00\n";

// A repository directory in memory. Every call is logged ("put NAME",
// "tail NAME", "rename FROM TO", "remove[cleanup] A B", ...).
class MemoryStore final : public RemoteStore {
 public:
  std::map<std::string, std::string> files;
  StoreFeatures knobs;
  std::set<std::string> unlisted;  // present, but left out of every listing
  std::set<std::string> fail_put;  // a put of this name fails after taking the bytes
  bool fail_list = false;
  bool fail_remove = false;
  std::string unanswered_target;  // a rename onto it goes unanswered (and is not done)
  // A get of the name hands over that many bytes, then the connection
  // drops (a failure) or, in quiet_cut, the server ends as if that were all.
  std::map<std::string, std::size_t> cut_get;
  bool quiet_cut = false;
  std::vector<std::string> log;

  const StoreFeatures& features() const override { return knobs; }

  std::optional<std::uint64_t> put(const std::string& name, const ByteSource& source) override {
    log.push_back("put " + name);
    std::string content;
    char buffer[4096];
    for (;;) {
      const auto n = source(std::span<char>(buffer, sizeof buffer));
      if (!n) {
        files[name] = content;
        report("put \"%s\" failed: the source failed\n", name.c_str());
        return std::nullopt;
      }
      if (*n == 0) break;
      content.append(buffer, *n);
    }
    files[name] = content;
    if (fail_put.contains(name)) {
      report("put \"%s\" failed\n", name.c_str());
      return std::nullopt;
    }
    return content.size();
  }
  bool get(const std::string& name, const ByteSink& sink) override {
    log.push_back("get " + name);
    if (!files.contains(name)) {
      report("no file \"%s\"\n", name.c_str());
      return false;
    }
    const std::string& content = files[name];
    if (const auto cut = cut_get.find(name); cut != cut_get.end()) {
      if (!sink(std::span<const char>(content.data(), std::min(cut->second, content.size()))))
        return false;
      if (quiet_cut) return true;
      report("connection to the server dropped\n");
      return false;
    }
    return sink(std::span<const char>(content.data(), content.size()));
  }
  std::optional<std::string> tail(const std::string& name, std::size_t bytes) override {
    log.push_back("tail " + name);
    if (!files.contains(name)) {
      report("no file \"%s\"\n", name.c_str());
      return std::nullopt;
    }
    const std::string& content = files[name];
    return content.substr(content.size() - std::min(bytes, content.size()));
  }
  std::optional<std::vector<RemoteFile>> list(std::string_view prefix,
                                              DotNames dot_names) override {
    log.push_back(std::string("list ") + (dot_names == DotNames::included ? "all " : "") +
                  std::string(prefix));
    if (fail_list) {
      report("listing refused\n");
      return std::nullopt;
    }
    std::vector<RemoteFile> out;
    for (const auto& [name, content] : files) {
      if (!name.starts_with(prefix) || unlisted.contains(name)) continue;
      if (name.starts_with('.') && !knobs.lists_dot_names && dot_names != DotNames::included) {
        continue;
      }
      out.push_back({name, content.size()});
    }
    return out;
  }
  bool remove(const std::vector<std::string>& names, Missing missing, Urgency urgency) override {
    std::string entry = urgency == Urgency::cleanup ? "remove[cleanup]" : "remove";
    for (const std::string& name : names) entry += " " + name;
    log.push_back(entry);
    if (knobs.delete_batch != 0) {
      EXPECT_LE(names.size(), knobs.delete_batch);
    }
    if (fail_remove) {
      report("deletion refused\n");
      return false;
    }
    for (const std::string& name : names) {
      if (files.erase(name) == 0 && missing == Missing::fails) {
        report("no file \"%s\"\n", name.c_str());
        return false;
      }
    }
    return true;
  }
  Renamed rename(const std::vector<std::pair<std::string, std::string>>& moves) override {
    for (const auto& [from, to] : moves) {
      log.push_back("rename " + from + " " + to);
      if (to == unanswered_target) {
        report("no answer\n");
        return Renamed::unanswered;
      }
      if (!files.contains(from) || files.contains(to)) {
        report("rename refused\n");
        return Renamed::refused;
      }
      files[to] = std::move(files[from]);
      files.erase(from);
    }
    return Renamed::done;
  }
  std::optional<std::uint64_t> size(const std::string& name, Missing missing) override {
    if (!files.contains(name)) {
      if (missing == Missing::fails) report("no file \"%s\"\n", name.c_str());
      return std::nullopt;
    }
    return files[name].size();
  }
  bool probe_writable(const std::string&) override { return true; }

  std::set<std::string> names() const {
    std::set<std::string> out;
    for (const auto& entry : files) out.insert(entry.first);
    return out;
  }
  bool logged(const std::string& entry) const {
    return std::find(log.begin(), log.end(), entry) != log.end();
  }
  std::size_t position(const std::string& entry) const {
    return static_cast<std::size_t>(std::find(log.begin(), log.end(), entry) - log.begin());
  }
};

// The number of times needle occurs in text.
std::size_t occurrences(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

TEST(RemoteRotation, CountsAndDeletesOnlySignedDumpsAndSparesTheNewOne) {
  MemoryStore store;
  store.knobs.lists_dot_names = false;
  store.files = {
      {"p_2005.01.05_10.00", "new\n" + kSigned},       // the dump just uploaded
      {"p_2005.01.04_10.00", "x\n" + kSigned},         // kept: counts as the second
      {"p_2005.01.03_10.00", "cut short\n"},           // unsigned, newer than a victim
      {"p_2005.01.02_10.00", "base, no signature\n"},  // its last part is signed
      {"p_2005.01.02_10.00.part2", "y\n" + kSigned},
      {"p_2005.01.01_10.00", "z\n" + kSigned},
      {"p_2005.01.01_10.00.part2", "cut short\n"},    // unsigned by its last file
      {"p_2004.12.31_10.00.part3", "w\n" + kSigned},  // signed parts without a base
      {"p_x_2001.01.01_10.00", "other series\n" + kSigned},
      {"pp_2001.01.01_10.00", "other series\n" + kSigned},
      {"notes.txt", "other file\n"},
      {".hvxtmp.x.p_2005.01.06_10.00", "staged\n"},
  };
  testing::internal::CaptureStderr();
  EXPECT_TRUE(rotate_remote_dumps(store, "p", 2, "p_2005.01.05_10.00", true));
  const std::string err = testing::internal::GetCapturedStderr();

  EXPECT_EQ(store.names(),
            (std::set<std::string>{"p_2005.01.05_10.00", "p_2005.01.04_10.00", "p_2005.01.03_10.00",
                                   "p_2005.01.01_10.00", "p_2005.01.01_10.00.part2",
                                   "p_x_2001.01.01_10.00", "pp_2001.01.01_10.00", "notes.txt",
                                   ".hvxtmp.x.p_2005.01.06_10.00"}));
  // One deletion, newest first and each base file after its parts.
  EXPECT_TRUE(
      store.logged("remove p_2005.01.02_10.00.part2 p_2005.01.02_10.00 p_2004.12.31_10.00.part3"));
  // Each unsigned dump is reported once, under its base name.
  EXPECT_EQ(occurrences(err, "\"p_2005.01.03_10.00\""), 1u) << err;
  EXPECT_EQ(occurrences(err, "\"p_2005.01.01_10.00\""), 1u) << err;
  EXPECT_EQ(occurrences(err, "Rotation neither counts nor removes"), 2u) << err;
  // Only the last file of each dump is looked at, and only its tail; the
  // dump just uploaded needs no look.
  EXPECT_TRUE(store.logged("tail p_2005.01.02_10.00.part2"));
  EXPECT_FALSE(store.logged("tail p_2005.01.02_10.00"));
  EXPECT_FALSE(store.logged("tail p_2005.01.05_10.00"));
  for (const std::string& entry : store.log) EXPECT_FALSE(entry.starts_with("get ")) << entry;
}

TEST(RemoteRotation, QuietWithoutVerboseAndKeepsTheNewDumpWhenKeepingNone) {
  MemoryStore store;
  store.files = {{"p_2005.01.03_10.00", kSigned},
                 {"p_2005.01.02_10.00", "a\n"},
                 {"p_2005.01.02_10.00.part2", kSigned},
                 {"p_2005.01.01_10.00", "cut short\n"}};
  testing::internal::CaptureStderr();
  EXPECT_TRUE(rotate_remote_dumps(store, "p", 0, "p_2005.01.02_10.00", false));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(store.names(), (std::set<std::string>{"p_2005.01.02_10.00", "p_2005.01.02_10.00.part2",
                                                  "p_2005.01.01_10.00"}));

  // Nothing to delete: no deletion request at all.
  store.log.clear();
  EXPECT_TRUE(rotate_remote_dumps(store, "p", 0, "p_2005.01.02_10.00", false));
  for (const std::string& entry : store.log) EXPECT_FALSE(entry.starts_with("remove")) << entry;
}

TEST(RemoteRotation, DeletesInTheStoresBatchesAndFailsWithTheListingOrDeletion) {
  MemoryStore store;
  store.knobs.delete_batch = 2;
  for (int day = 1; day <= 5; ++day) {
    store.files["p_2005.01.0" + std::to_string(day) + "_10.00"] = kSigned;
  }
  EXPECT_TRUE(rotate_remote_dumps(store, "p", 0, "", false));
  EXPECT_TRUE(store.names().empty());
  EXPECT_EQ(std::count_if(store.log.begin(), store.log.end(),
                          [](const std::string& e) { return e.starts_with("remove "); }),
            3);

  store.files = {{"p_2005.01.01_10.00", kSigned}};
  testing::internal::CaptureStderr();
  store.fail_remove = true;
  EXPECT_FALSE(rotate_remote_dumps(store, "p", 0, "", false));
  store.fail_remove = false;
  store.fail_list = true;
  EXPECT_FALSE(rotate_remote_dumps(store, "p", 0, "", false));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("deletion refused"), std::string::npos) << err;
  EXPECT_NE(err.find("listing refused"), std::string::npos) << err;
  EXPECT_EQ(store.names(), std::set<std::string>{"p_2005.01.01_10.00"});
}

TEST(RemoteDumpFiles, DumpOrderFromWhateverTheListingHolds) {
  MemoryStore store;
  const std::string dump = "my dump#1";
  for (const char* suffix : {"", ".part2", ".part3", ".part10", ".partX", ".old"}) {
    store.files[dump + suffix] = "x";
  }
  store.files["my dump#10"] = "x";
  EXPECT_EQ(remote_dump_files(store, dump),
            (std::vector<std::string>{dump, dump + ".part2", dump + ".part3", dump + ".part10"}));

  // A listing with parts missing gives what it holds, still in order.
  store.unlisted = {dump + ".part2"};
  EXPECT_EQ(remote_dump_files(store, dump),
            (std::vector<std::string>{dump, dump + ".part3", dump + ".part10"}));

  EXPECT_EQ(remote_dump_files(store, "absent"), std::vector<std::string>{});
  store.fail_list = true;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(remote_dump_files(store, dump).has_value());
  testing::internal::GetCapturedStderr();
}

// The commit over the adapter on a store that hides dot-names from plain
// listings: the older dump's parts beyond the new last one are gone, the
// record is written before the first rename and removed after the last, the
// older files go aside before the staged ones take the name, the last part
// first and the base file last.
TEST(RemoteCommit, CommitOrderAndStaleParts) {
  MemoryStore store;
  store.knobs.lists_dot_names = false;
  const std::string staged = staged_dump_name(this_run(), "d");
  store.files = {{"d", "old 1"},        {"d.part2", "old 2"}, {"d.part3", "old 3"},
                 {"d.part9", "stale"},  {staged, "new 1"},    {staged + ".part2", "new 22"},
                 {"other", "unrelated"}};
  RemoteCommitStore commits(store);
  ASSERT_EQ(commit_dump(commits, "d", {5, 6}), 0);
  EXPECT_EQ(store.names(), (std::set<std::string>{"d", "d.part2", "other"}));
  EXPECT_EQ(store.files["d"], "new 1");
  EXPECT_EQ(store.files["d.part2"], "new 22");
  EXPECT_FALSE(commits.changes_in_doubt());

  const std::string record = commit_record_name(this_run(), "d");
  const std::string aside = aside_dump_name(this_run(), "d");
  const std::size_t put = store.position("put " + record);
  const std::size_t aside_base = store.position("rename d " + aside);
  const std::size_t new_last = store.position("rename " + staged + ".part2 d.part2");
  const std::size_t new_base = store.position("rename " + staged + " d");
  ASSERT_LT(new_base, store.log.size());
  EXPECT_LT(put, aside_base);
  EXPECT_LT(aside_base, new_last);
  EXPECT_LT(new_last, new_base);
  // The commit's listings ask for every name, those the store hides too.
  for (const std::string& entry : store.log) {
    if (entry.starts_with("list ")) {
      EXPECT_TRUE(entry.starts_with("list all ")) << entry;
    }
  }
  bool record_removed = false;
  for (std::size_t i = new_base; i < store.log.size(); ++i) {
    record_removed = record_removed || (store.log[i].starts_with("remove ") &&
                                        store.log[i].find(record) != std::string::npos);
  }
  EXPECT_TRUE(record_removed);
}

TEST(RemoteCommit, MissingStagedPartOrUnansweredRenameLeavesTheOlderDump) {
  // The staged dump lacks its second part: nothing of the older dump moves.
  MemoryStore store;
  const std::string staged = staged_dump_name(this_run(), "d");
  store.files = {{"d", "old"}, {staged, "new 1"}};
  RemoteCommitStore commits(store);
  testing::internal::CaptureStderr();
  EXPECT_NE(commit_dump(commits, "d", {5, 6}), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(store.files["d"], "old");

  // A rename that goes unanswered may still be carried out: the commit says
  // so, and leaves its record for the next run's recovery.
  MemoryStore late;
  late.files = {{"d", "old"}, {staged, "new 1"}};
  late.unanswered_target = "d";
  RemoteCommitStore late_commits(late);
  testing::internal::CaptureStderr();
  EXPECT_NE(commit_dump(late_commits, "d", {5}), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(late_commits.changes_in_doubt());
  EXPECT_TRUE(late.files.contains(commit_record_name(this_run(), "d")));
}

// A run of this host that has ended (its pid reaped and not yet reused).
RunIdentity gone_run() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  RunIdentity gone = this_run();
  gone.pid = child;
  return gone;
}

TEST(RemoteRecovery, RemovesOnlyLeftoversOfThisHostsRunsThatAreGoneEvenWhenHidden) {
  MemoryStore store;
  store.knobs.lists_dot_names = false;
  const RunIdentity gone = gone_run();
  RunIdentity foreign = gone;
  foreign.host = this_run().host == "0badc0de" ? "0badf00d" : "0badc0de";
  store.files = {
      {staged_dump_name(gone, "d"), "x"},       {staged_dump_name(gone, "d") + ".part2", "x"},
      {staged_dump_name(foreign, "d"), "x"},    {aside_dump_name(foreign, "d"), "x"},
      {staged_dump_name(this_run(), "e"), "x"}, {"d", "older\n"}};
  EXPECT_TRUE(recover_remote_commits(store, "repo"));
  EXPECT_EQ(store.names(),
            (std::set<std::string>{staged_dump_name(foreign, "d"), aside_dump_name(foreign, "d"),
                                   staged_dump_name(this_run(), "e"), "d"}));
  EXPECT_EQ(store.files["d"], "older\n");

  // A listing that fails: the store's reason, then what could not be done.
  store.fail_list = true;
  std::string reason;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(recover_remote_commits(store, "repo", &reason));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(reason,
            "listing refused\nUnable to finish or undo an earlier commit on the FTP server in "
            "\"repo\"\n");
}

// A failed upload leaves nothing of its dump: the staged files are deleted
// by name (hidden from listings as they are) with the clean-up's bounds.
TEST(RemoteUpload, FailureRemovesTheStagedFilesByName) {
  const std::string staged = staged_dump_name(this_run(), "d");
  {
    // The writer fails after two of three parts.
    MemoryStore store;
    store.knobs.lists_dot_names = false;
    store.files = {{"d", "older"}};
    SignedDumpStream stream;
    ASSERT_TRUE(stream.start("head -c 1500000 /dev/zero; exit 3", -1, 1 << 20));
    std::string reason;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(upload_signed_dump(store, stream, "d", reason));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(store.names(), std::set<std::string>{"d"});
    EXPECT_EQ(store.files["d"], "older");
    EXPECT_TRUE(store.logged("remove[cleanup] " + staged + " " + staged + ".part2"));
    EXPECT_NE(reason, "");
  }
  {
    // The store refuses the second part, and then the clean-up too.
    MemoryStore store;
    store.fail_put = {staged + ".part2"};
    store.fail_remove = true;
    SignedDumpStream stream;
    ASSERT_TRUE(stream.start("head -c 3000000 /dev/zero", -1, 1 << 20));
    std::string reason;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(upload_signed_dump(store, stream, "d", reason));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reason, "put \"" + staged + ".part2\" failed\n");
    EXPECT_FALSE(store.logged("put " + staged + ".part3")) << "nothing sent after a failure";
    EXPECT_NE(
        err.find("Unable to remove the incomplete dump \"" + staged + "\" from the FTP server"),
        std::string::npos)
        << err;
  }
}

}  // namespace

namespace {

// A dump of three parts, the last one small, whose Magic1 is the SHA-1 of
// the stream before the signature lines.
void plant_split_dump(MemoryStore& store) {
  store.files["d"] = std::string(70000, 'a');
  store.files["d.part2"] = std::string(70000, 'b');
  std::string stream = store.files["d"] + store.files["d.part2"] + "tail\n";
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ASSERT_EQ(1, EVP_Digest(stream.data(), stream.size(), md, &length, EVP_sha1(), nullptr));
  store.files["d.part3"] = "tail\nMagic1: " + hex_encode(md, length) + "\nMagic2: 00\n";
}

}  // namespace

TEST(RemoteCheck, ADumpNotWhollyThereGivesNoVerdict) {
  MemoryStore store;
  EXPECT_EQ(-1, check_remote_dump(store, "d"));  // not there at all
  plant_split_dump(store);
  store.files.erase("d.part2");
  EXPECT_EQ(-1, check_remote_dump(store, "d"));  // a part missing
  EXPECT_FALSE(store.logged("get d")) << "nothing is read of an incomplete dump";
  plant_split_dump(store);
  store.files.erase("d");
  EXPECT_EQ(-1, check_remote_dump(store, "d"));  // the base file missing
  store.fail_list = true;
  EXPECT_EQ(-1, check_remote_dump(store, "d"));
}

TEST(RemoteCheck, ADroppedOrShortTransferIsNeverTakenForTheDump) {
  MemoryStore store;
  plant_split_dump(store);
  auto whole = stream_remote_dump(store, "d");
  ASSERT_TRUE(whole.has_value());
  EXPECT_TRUE(whole->digest_matches());
  // The connection drops within a part: no result at all.
  store.cut_get["d.part2"] = 1000;
  EXPECT_FALSE(stream_remote_dump(store, "d").has_value());
  EXPECT_EQ(-1, check_remote_dump(store, "d"));
  // A server that ends a part early as if it were whole: the digest tells.
  store.quiet_cut = true;
  auto shortened = stream_remote_dump(store, "d");
  ASSERT_TRUE(shortened.has_value());
  EXPECT_TRUE(shortened->fields.has_value());
  EXPECT_FALSE(shortened->digest_matches());
  EXPECT_EQ(1, check_remote_dump(store, "d"));
  // One that ends the last file before its signature lines: none found.
  store.cut_get = {{"d.part3", 20}};
  EXPECT_FALSE(stream_remote_dump(store, "d")->fields.has_value());
  EXPECT_EQ(1, check_remote_dump(store, "d"));
  // A changed byte of a part.
  store.cut_get.clear();
  store.files["d.part2"][5] = 'c';
  EXPECT_FALSE(stream_remote_dump(store, "d")->digest_matches());
}

TEST(RemoteRotation, CalendarRulesJudgeOnlySignedDumpsOfTheSeries) {
  MemoryStore store;
  for (const char* name : {"w_2026.12.31_10.00", "w_2026.12.30_10.00", "w_2026.11.30_10.00",
                           "w_2026.11.29_10.00", "w_2025.12.31_10.00"})
    store.files[name] = kSigned;
  store.files["w_2026.12.29_10.00"] = "cut short\n";
  store.files["w_x_2020.01.01_10.00"] = kSigned;
  store.files["../w_2020.01.01_10.00"] = kSigned;
  RetentionRules rules;
  rules.monthly = 2;
  rules.yearly = 2;
  ASSERT_TRUE(rotate_remote_dumps(store, "w", rules, "w_2026.12.31_10.00", false));
  EXPECT_EQ(
      (std::set<std::string>{"../w_2020.01.01_10.00", "w_2025.12.31_10.00", "w_2026.11.30_10.00",
                             "w_2026.12.29_10.00", "w_2026.12.31_10.00", "w_x_2020.01.01_10.00"}),
      store.names());
}
