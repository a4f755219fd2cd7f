#include "sitevault/dump_commit.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <set>

#include "common/messages.h"
#include "sitevault/dump_files.h"
#include "sitevault/dump_staging.h"

namespace {

constexpr std::string_view kRecordHeader = "hvx-commit 1\n";
constexpr std::string_view kAsideTag = "~old";
constexpr std::string_view kRecordTag = "~commit";

// Every name this tool writes fits a file name of 255 bytes: the marker, the
// longest token and tag, a dot and the longest part suffix beside the cut
// dump name.
constexpr std::size_t kNameMax = 255;
constexpr std::size_t kLongestToken = 8 + 1 + 8 + 1 + 10 + 1 + 20;
constexpr std::size_t kLongestPartSuffix = std::string_view(".part4294967295").size();
constexpr std::size_t kCutName =
    kNameMax - kStagingMarker.size() - kLongestToken - kRecordTag.size() - 1 - kLongestPartSuffix;

// The dump's name cut to kCutName bytes, never inside a UTF-8 sequence.
std::string cut_name(const std::string& name) {
  if (name.size() <= kCutName) return name;
  std::size_t end = kCutName;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return name.substr(0, end);
}

std::string run_name(const RunIdentity& run, std::string_view tag, const std::string& name) {
  std::string result(kStagingMarker);
  result += format_run_token(run);
  result += tag;
  result += '.';
  result += cut_name(name);
  return result;
}

std::string part_suffix(std::size_t part) {
  return part <= 1 ? std::string() : ".part" + std::to_string(part);
}

// What a staging-marked name says of itself.
enum class StagingKind { staged, aside, record };
struct StagingEntry {
  std::string token;  // the run token as written (or a bare pid of an older version)
  StagingKind kind = StagingKind::staged;
};

std::optional<StagingEntry> parse_staging(std::string_view name) {
  if (!is_staging_name(name)) return std::nullopt;
  name.remove_prefix(kStagingMarker.size());
  const std::size_t end = name.find_first_of(".~");
  if (end == 0 || end == std::string_view::npos) return std::nullopt;
  StagingEntry entry;
  entry.token = std::string(name.substr(0, end));
  name.remove_prefix(end);
  if (name.starts_with(kAsideTag)) {
    entry.kind = StagingKind::aside;
    name.remove_prefix(kAsideTag.size());
  } else if (name.starts_with(kRecordTag)) {
    entry.kind = StagingKind::record;
    name.remove_prefix(kRecordTag.size());
  }
  if (!name.starts_with('.')) return std::nullopt;
  return entry;
}

// Whether the run that wrote a staging name is gone. Earlier versions wrote
// a bare pid: such a run is gone when no process has that pid.
bool token_run_gone(const std::string& token) {
  if (const auto run = parse_run_token(token)) return run_state(*run) == RunState::gone;
  if (token.empty() || token.size() > 9 ||
      !std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  pid_t pid = 0;
  std::from_chars(token.data(), token.data() + token.size(), pid);
  return pid > 0 && (pid == this_run().pid || process_start_time(pid) == std::nullopt);
}

// The record of one commit: the dump's name, the sizes of the new parts and
// the suffixes of the older dump's files ("" for its base file).
struct CommitRecord {
  std::string name;
  std::vector<std::uint64_t> sizes;
  std::vector<std::string> old_suffixes;
};

std::string escape_line(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::optional<std::string> unescape_line(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    if (text[i] == '\\')
      out += '\\';
    else if (text[i] == 'n')
      out += '\n';
    else
      return std::nullopt;
  }
  return out;
}

std::string format_record(const CommitRecord& record) {
  std::string text(kRecordHeader);
  text += "name " + escape_line(record.name) + "\n";
  for (std::uint64_t size : record.sizes) text += "new " + std::to_string(size) + "\n";
  for (const std::string& suffix : record.old_suffixes) text += "old " + suffix + "\n";
  text += "end\n";
  return text;
}

// nullopt unless the whole record is there: one written only in part was
// cut before the commit moved anything.
std::optional<CommitRecord> parse_record(std::string_view text) {
  if (!text.starts_with(kRecordHeader)) return std::nullopt;
  text.remove_prefix(kRecordHeader.size());
  CommitRecord record;
  bool named = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (line == "end") {
      if (!text.empty() || !named || record.sizes.empty()) return std::nullopt;
      return record;
    }
    if (line.starts_with("name ")) {
      auto name = unescape_line(line.substr(5));
      if (!name || name->empty()) return std::nullopt;
      record.name = std::move(*name);
      named = true;
    } else if (line.starts_with("new ")) {
      std::uint64_t size = 0;
      const std::string_view digits = line.substr(4);
      const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), size);
      if (ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
      record.sizes.push_back(size);
    } else if (line.starts_with("old ") || line == "old") {
      const std::string suffix(line.size() > 4 ? line.substr(4) : std::string_view());
      if (!suffix.empty() && dump_part_number("x", "x" + suffix) == 0) return std::nullopt;
      record.old_suffixes.push_back(suffix);
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// The names of one commit, and what the store holds of them right now.
class CommitState {
 public:
  CommitState(CommitStore& store, const RunIdentity& run, CommitRecord record)
      : store_(store),
        record_(std::move(record)),
        staged_(staged_dump_name(run, record_.name)),
        aside_(aside_dump_name(run, record_.name)),
        record_name_(commit_record_name(run, record_.name)) {}

  const CommitRecord& record() const { return record_; }
  const std::string& record_name() const { return record_name_; }
  std::size_t parts() const { return record_.sizes.size(); }
  std::string staged(std::size_t part) const { return staged_ + part_suffix(part); }
  std::string final_name(std::size_t part) const { return record_.name + part_suffix(part); }
  std::string aside(const std::string& suffix) const { return aside_ + suffix; }

  // Reads which names exist: the dump's own and this run's staging files.
  bool look() {
    auto finals = store_.names(record_.name);
    auto own = finals ? store_.names(staged_run_prefix()) : std::nullopt;
    if (!finals || !own) return false;
    present_.clear();
    present_.insert(finals->begin(), finals->end());
    present_.insert(own->begin(), own->end());
    return true;
  }
  bool has(const std::string& name) const { return present_.contains(name); }

  bool is_old(const std::string& suffix) const {
    return std::find(record_.old_suffixes.begin(), record_.old_suffixes.end(), suffix) !=
           record_.old_suffixes.end();
  }

  // Where new part `part` is now (staged, or already under the dump's name),
  // or the empty string when it is in neither place.
  std::string new_part_location(std::size_t part) const {
    if (has(staged(part))) return staged(part);
    const std::string suffix = part_suffix(part);
    // Under the dump's name the file is the new one only once the older
    // file of that name went aside.
    if (has(final_name(part)) && (!is_old(suffix) || has(aside(suffix)))) return final_name(part);
    return "";
  }

  // Whether every new part is there with the size written.
  bool new_dump_complete() const {
    for (std::size_t part = 1; part <= parts(); ++part) {
      const std::string where = new_part_location(part);
      if (where.empty() || store_.size(where) != record_.sizes[part - 1]) return false;
    }
    return true;
  }

  bool any_staged() const {
    for (std::size_t part = 1; part <= parts(); ++part) {
      if (has(staged(part))) return true;
    }
    return false;
  }

  std::vector<std::string> final_names() const {
    std::vector<std::string> names;
    for (std::size_t part = 1; part <= parts(); ++part) names.push_back(final_name(part));
    return names;
  }

  std::vector<std::string> present_asides() const {
    std::vector<std::string> names;
    for (const std::string& suffix : record_.old_suffixes) {
      if (has(aside(suffix))) names.push_back(aside(suffix));
    }
    return names;
  }

  std::vector<std::string> present_staged() const {
    std::vector<std::string> names;
    for (std::size_t part = 1; part <= parts(); ++part) {
      if (has(staged(part))) names.push_back(staged(part));
    }
    return names;
  }

 private:
  std::string staged_run_prefix() const {
    // Everything of this run: staged, aside and record names.
    const std::size_t end = staged_.find('.', kStagingMarker.size());
    return staged_.substr(0, end);
  }

  CommitStore& store_;
  CommitRecord record_;
  std::string staged_;
  std::string aside_;
  std::string record_name_;
  std::set<std::string> present_;
};

// The files under the dump's name exactly the new ones, with their sizes.
bool placed_as_written(CommitStore& store, const CommitState& state) {
  const auto names = store.names(state.record().name);
  if (!names) return false;
  std::size_t members = 0;
  for (const std::string& name : *names) {
    if (dump_part_number(state.record().name, name) != 0) ++members;
  }
  if (members != state.parts()) return false;
  for (std::size_t part = 1; part <= state.parts(); ++part) {
    if (store.size(state.final_name(part)) != state.record().sizes[part - 1]) return false;
  }
  return true;
}

// Ends a commit whose new dump is in place: the record goes first (from
// then on the older files aside are plain leftovers of the run), then those
// files.
int finish_commit(CommitStore& store, const CommitState& state) {
  if (store.remove({state.record_name()}) != 0 || store.make_durable({}) != 0) return -1;
  return store.remove(state.present_asides());
}

// Rolls the commit forward: the older files that are still under the dump's
// name go aside, the staged files take it (last part first).
int roll_forward(CommitStore& store, CommitState& state) {
  if (state.any_staged()) {
    std::vector<std::pair<std::string, std::string>> aside;
    for (const std::string& suffix : state.record().old_suffixes) {
      const std::string current = state.record().name + suffix;
      if (state.has(current) && !state.has(state.aside(suffix)))
        aside.emplace_back(current, state.aside(suffix));
    }
    if (store.rename(aside) != 0) return -1;
    std::vector<std::pair<std::string, std::string>> into_place;
    for (std::size_t part = state.parts(); part >= 1; --part) {
      if (state.has(state.staged(part)))
        into_place.emplace_back(state.staged(part), state.final_name(part));
    }
    if (store.rename(into_place) != 0) return -1;
    if (store.make_durable(state.final_names()) != 0) return -1;
    if (!state.look()) return -1;
  }
  if (!placed_as_written(store, state)) {
    errno = 0;
    report_error("The dump '%s' does not hold the files written\n", state.record().name.c_str());
    return -1;
  }
  return finish_commit(store, state);
}

// Rolls the commit back: the new files that already took the dump's name
// go, the older files return to it, and the staged files and the record are
// removed.
int roll_back(CommitStore& store, CommitState& state) {
  std::vector<std::string> placed_new;
  for (std::size_t part = 1; part <= state.parts(); ++part) {
    const std::string where = state.new_part_location(part);
    if (where == state.final_name(part)) placed_new.push_back(where);
  }
  if (store.remove(placed_new) != 0) return -1;
  std::vector<std::pair<std::string, std::string>> back;
  for (const std::string& suffix : state.record().old_suffixes) {
    const std::string name = state.record().name + suffix;
    // A new file under that name was removed just now.
    const bool taken = state.has(name) &&
                       std::find(placed_new.begin(), placed_new.end(), name) == placed_new.end();
    if (state.has(state.aside(suffix)) && !taken) back.emplace_back(state.aside(suffix), name);
  }
  if (store.rename(back) != 0) return -1;
  if (store.make_durable({}) != 0) return -1;
  if (store.remove(state.present_staged()) != 0) return -1;
  if (store.remove({state.record_name()}) != 0) return -1;
  return store.make_durable({});
}

std::vector<std::string> staged_names(const std::string& staged, std::size_t parts) {
  std::vector<std::string> names;
  for (std::size_t part = 1; part <= parts; ++part) names.push_back(staged + part_suffix(part));
  return names;
}

}  // namespace

std::string staged_dump_name(const RunIdentity& run, const std::string& dump_name) {
  return run_name(run, "", dump_name);
}

std::string aside_dump_name(const RunIdentity& run, const std::string& dump_name) {
  return run_name(run, kAsideTag, dump_name);
}

std::string commit_record_name(const RunIdentity& run, const std::string& dump_name) {
  return run_name(run, kRecordTag, dump_name);
}

std::string dump_part_name(const std::string& base, std::size_t part) {
  return base + part_suffix(part);
}

std::optional<RunIdentity> staging_run(std::string_view name) {
  const auto entry = parse_staging(name);
  if (!entry) return std::nullopt;
  return parse_run_token(entry->token);
}

int commit_dump(CommitStore& store, const std::string& dump_name,
                const std::vector<std::uint64_t>& sizes) {
  return commit_dump_as(store, this_run(), dump_name, sizes);
}

int commit_dump_as(CommitStore& store, const RunIdentity& run, const std::string& dump_name,
                   const std::vector<std::uint64_t>& sizes) {
  const std::string staged = staged_dump_name(run, dump_name);
  const std::vector<std::string> staged_files = staged_names(staged, sizes.size());

  // The staged set is complete, as written, and on disk before anything
  // under the dump's name changes.
  bool complete = !sizes.empty();
  for (std::size_t i = 0; complete && i < sizes.size(); ++i) {
    complete = store.size(staged_files[i]) == sizes[i];
  }
  if (!complete) {
    errno = 0;
    report_error("The new dump '%s' is not complete as written\n", dump_name.c_str());
    store.remove(staged_files);
    return -1;
  }
  const auto listed = store.make_durable(staged_files) == 0 ? store.names(dump_name) : std::nullopt;
  if (!listed) {
    store.remove(staged_files);
    return -1;
  }

  CommitRecord record;
  record.name = dump_name;
  record.sizes = sizes;
  for (const std::string& name : *listed) {
    if (dump_part_number(dump_name, name) != 0)
      record.old_suffixes.push_back(name.substr(dump_name.size()));
  }
  CommitState state(store, run, record);
  if (store.put_record(state.record_name(), format_record(record)) != 0) {
    store.remove({state.record_name()});
    store.remove(staged_files);
    return -1;
  }

  // Older files aside, then the new ones in: no rename replaces a file.
  std::vector<std::pair<std::string, std::string>> aside;
  for (const std::string& suffix : record.old_suffixes)
    aside.emplace_back(dump_name + suffix, state.aside(suffix));
  std::vector<std::pair<std::string, std::string>> into_place;
  for (std::size_t part = sizes.size(); part >= 1; --part)
    into_place.emplace_back(state.staged(part), state.final_name(part));
  if (store.rename(aside) == 0 && store.rename(into_place) == 0 &&
      store.make_durable(state.final_names()) == 0 && state.look() &&
      placed_as_written(store, state)) {
    // The new dump is in place and durable; should the older files outlast
    // this run, the next recovery removes them with the record.
    finish_commit(store, state);
    return 0;
  }

  // Whatever moved goes back; when even that fails the record stays, and
  // the next run that takes the name finishes the undoing. A rename that
  // went unanswered may still be carried out: undone now, it could move an
  // older file aside after the record is gone, and the next recovery would
  // take that file for a leftover. The record and every file stay for the
  // next run, which sees what the server did in the end.
  if (store.changes_in_doubt() || !state.look() || roll_back(store, state) != 0) {
    errno = 0;
    report_error("The older dump '%s' is kept aside until the next run restores it\n",
                 dump_name.c_str());
  }
  return -1;
}

int recover_commits(CommitStore& store) {
  const auto names = store.names(kStagingMarker);
  if (!names) return -1;
  // Runs that are gone, each with its records; a run whose record cannot
  // be read or undone keeps all of its files.
  std::set<std::string> gone;
  std::set<std::string> kept;
  std::set<std::string> with_aside;
  std::vector<std::pair<std::string, std::string>> records;  // token, record name
  for (const std::string& name : *names) {
    const auto entry = parse_staging(name);
    if (!entry || !token_run_gone(entry->token)) continue;
    gone.insert(entry->token);
    if (entry->kind == StagingKind::aside) with_aside.insert(entry->token);
    if (entry->kind == StagingKind::record) records.emplace_back(entry->token, name);
  }

  int result = 0;
  for (const auto& [token, record_name] : records) {
    const auto run = parse_run_token(token);
    const auto text = run ? store.get_record(record_name) : std::nullopt;
    if (!text) {
      kept.insert(token);
      result = -1;
      continue;
    }
    const auto record = parse_record(*text);
    if (!record) {
      // Cut while being written, before anything moved; older files aside
      // beside it mean the record is damaged, and they are kept.
      if (with_aside.contains(token)) {
        errno = 0;
        report_error("The commit record '%s' is damaged; its files are kept\n",
                     record_name.c_str());
        kept.insert(token);
        result = -1;
      }
      continue;
    }
    CommitState state(store, *run, *record);
    if (!state.look()) {
      kept.insert(token);
      result = -1;
      continue;
    }
    const int recovered =
        state.new_dump_complete() ? roll_forward(store, state) : roll_back(store, state);
    if (recovered != 0) {
      errno = 0;
      report_error("Unable to finish the interrupted commit of the dump '%s'\n",
                   record->name.c_str());
      kept.insert(token);
      result = -1;
    }
  }

  // What else such runs left: staged files of a dump never finished, and
  // records cut while being written.
  const auto after = store.names(kStagingMarker);
  if (!after) return -1;
  std::vector<std::string> leftovers;
  for (const std::string& name : *after) {
    const auto entry = parse_staging(name);
    if (entry && gone.contains(entry->token) && !kept.contains(entry->token))
      leftovers.push_back(name);
  }
  if (store.remove(leftovers) != 0) result = -1;
  return result;
}
