// The scripted workloads whose every crash state the explorer checks, and what each crash
// point lets the store hold.
//
// A script drives a real store through a RecordingFileSystem and notes, for every call, the
// operations it recorded and the change it made to the content. The store's clock is a
// script clock that moves 40 ms per call, so the log is synced every few calls at the
// default interval (and the checks can open each state at the moment it was cut).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash_log.h"
#include "storage/fs.h"
#include "verifier.h"

namespace tarnix::crash {

using testing::Expectation;
using testing::Item;

// One store call of a script and what it did to the content.
struct Call {
  struct Effect {
    std::string id;
    std::optional<Item> item;  // nothing: the item is gone
  };
  std::string what;
  size_t begin = 0;  // operations recorded before it started
  size_t end = 0;    // operations recorded once it returned
  // Just past the call's last change of the log (or `begin`): its records are durable once
  // the log is synced at or after this position.
  size_t log_end = 0;
  std::vector<Effect> effects;
  // The effects are a batch of new ids: while not settled they hold as a prefix.
  bool batch = false;
  // The effects may or may not show, however far the store got (items whose expiry came
  // reappear when their records are replayed, with their time to live counted afresh).
  bool never_settled = false;
};

struct Recording {
  std::string script;
  uint64_t interval_ms = 0;
  bool vacuum = false;
  CrashLog log;
  // Crash points from here on are explored; the operations before set the scene.
  size_t body_begin = 0;
  std::vector<Call> calls;
  int64_t start_clock_ns = 0;
  // Why the script could not run to its end, or the recorder could not follow it.
  std::string failure;
};

// What a crash after the first `point` operations may leave. A call that returned before
// the point is settled for a process crash; for a power loss only once the log was synced
// after its records. Unsettled calls that had begun may or may not show.
Expectation expectation_at(const Recording& r, size_t point, bool power);

// The clock time of a crash point: when its last operation was recorded.
int64_t clock_at(const Recording& r, size_t point);

struct ScriptInfo {
  const char* name;
  bool vacuum;
};
const std::vector<ScriptInfo>& scripts();

// Runs the script in `dir` (which must not exist yet) with the log synced at most every
// `interval_ms` milliseconds.
Recording record_script(const std::string& name, uint64_t interval_ms, const std::string& dir);

// A clock that stands still unless moved.
class ScriptClock final : public Clock {
 public:
  explicit ScriptClock(int64_t ns) : ns_(ns) {}
  int64_t now_nanos() const override { return ns_.load(); }
  void sleep_millis(uint64_t) const override {}
  void advance_millis(int64_t ms) { ns_ += ms * 1'000'000; }

 private:
  std::atomic<int64_t> ns_;
};

class RecordingFileSystem;

// Drives one store through the recorder and notes each call in the recording. Items get
// dimension 8, metadata {"k": id, "n": write number, "tag": tag} and a vector made from the
// write number, so that no two writes look alike. A failing call ends the script (the
// recording's `failure` says why); later calls do nothing.
class ScriptRunner {
 public:
  // The store is opened (the first call) in `dir`.
  ScriptRunner(Recording& r, std::string dir);
  ~ScriptRunner();

  bool ok() const { return r_.failure.empty(); }
  // Crash points from here on are explored.
  void begin_body();
  RecordingFileSystem& recorder() { return *fs_; }

  // A second store on the same directory, as another process would have it open; later
  // calls go to the store `use_store` picks (0, the first, or 1).
  void open_second_store();
  void use_store(int which);
  // Closes the store that `use_store` did not pick.
  void close_idle_store();

  void add(const std::string& id, const std::string& tag, std::optional<uint32_t> ttl = {});
  void add_batch(const std::vector<std::string>& ids, const std::string& tag, bool big);
  void remove(const std::string& id);
  // `tag` selects the victims: the filter must select exactly the items of that tag.
  void delete_by_tag(const std::string& tag);
  // Deletes the items whose write number is below `n`, by a numeric filter.
  void delete_by_number_below(int n);
  void persist();
  void vacuum(bool in_place, bool rebuild);
  // Moves time on; items whose expiry came may show or not from then on, until a sweep's
  // deletions are settled.
  void advance_seconds(int seconds);
  // A call that syncs the log whatever the interval, so that everything before it is
  // settled for a power loss too.
  void settle();

 private:
  struct LiveItem;
  template <class F>
  void call(std::string what, std::vector<Call::Effect> effects, F&& f, bool batch = false);
  LiveItem make(const std::string& id, const std::string& tag, std::optional<uint32_t> ttl);
  uint32_t now_seconds() const;
  uint32_t now_seconds_after_step() const;
  std::vector<Call::Effect> sweep_effects();
  void delete_where(const std::string& filter, const std::function<bool(const LiveItem&)>& hit);
  void open();

  Recording& r_;
  std::string dir_;
  std::shared_ptr<ScriptClock> clock_;
  std::shared_ptr<RecordingFileSystem> fs_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<Store> idle_store_;  // the other of two stores, when there are two
  int current_store_ = 0;
  std::map<std::string, std::shared_ptr<LiveItem>> live_;
  int next_n_ = 0;
  std::optional<uint64_t> interval_override_;
};

// Runs `body` as a script named `name`.
Recording record_workload(const std::string& name, uint64_t interval_ms, const std::string& dir,
                          const std::function<void(ScriptRunner&)>& body, bool vacuum = false);

}  // namespace tarnix::crash
