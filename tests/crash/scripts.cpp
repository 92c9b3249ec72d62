#include "scripts.h"

#include <stdlib.h>

#include <cmath>
#include <functional>
#include <map>

#include "recording_fs.h"
#include "store/store.h"

namespace tarnix::crash {
namespace {

constexpr size_t kDim = 8;
constexpr int64_t kStartNs = 1'700'000'000LL * 1'000'000'000;
constexpr int64_t kCallStepMs = 40;
// A batch whose log records pass the writer's 1 MiB buffer: a long skip_index name repeated
// in every record, which costs the store nothing to index.
constexpr size_t kBigBatchItems = 12;
constexpr size_t kBigSkipName = 90'000;

}  // namespace

struct ScriptRunner::LiveItem {
  Item item;
  std::string tag;
  int n = 0;
  std::optional<uint32_t> expires;  // Unix second
};

ScriptRunner::ScriptRunner(Recording& r, std::string dir)
    : r_(r),
      dir_(std::move(dir)),
      clock_(std::make_shared<ScriptClock>(kStartNs)),
      fs_(std::make_shared<RecordingFileSystem>(dir_, &r.log, clock_)) {
  r_.start_clock_ns = kStartNs;
  open();
}

ScriptRunner::~ScriptRunner() {
  store_.reset();
  idle_store_.reset();
  if (r_.failure.empty() && !fs_->trouble().empty()) r_.failure = fs_->trouble();
  unsetenv("TARNIX_WAL_SYNC_INTERVAL_MS");
}

void ScriptRunner::begin_body() {
  r_.body_begin = fs_->point();
}

void ScriptRunner::open() {
  call("open", {}, [&] {
    store_.reset();
    Result<std::unique_ptr<Store>> opened = Store::open(dir_, StoreOptions{fs_, clock_, false});
    if (!opened.ok()) return opened.take_status();
    store_ = std::move(opened).value();
    return Status();
  });
}

void ScriptRunner::open_second_store() {
  call("open a second store", {}, [&] {
    Result<std::unique_ptr<Store>> opened = Store::open(dir_, StoreOptions{fs_, clock_, false});
    if (!opened.ok()) return opened.take_status();
    idle_store_ = std::move(opened).value();
    return Status();
  });
}

void ScriptRunner::use_store(int which) {
  if (which == current_store_ || !idle_store_) return;
  std::swap(store_, idle_store_);
  current_store_ = which;
}

void ScriptRunner::close_idle_store() {
  call("close a store", {}, [&] {
    idle_store_.reset();
    return Status();
  });
}

void ScriptRunner::add(const std::string& id, const std::string& tag, std::optional<uint32_t> ttl) {
  LiveItem li = make(id, tag, ttl);
  std::vector<Call::Effect> effects = sweep_effects();
  effects.push_back({id, li.item});
  live_[id] = std::make_shared<LiveItem>(li);
  call("add " + id, std::move(effects),
       [&] { return store_->add(id, li.item.vector, li.item.meta, std::nullopt, ttl); });
}

void ScriptRunner::add_batch(const std::vector<std::string>& ids, const std::string& tag,
                             bool big) {
  std::vector<std::string> metas;
  std::vector<std::vector<float>> vectors;
  std::vector<Call::Effect> effects;
  for (const std::string& id : ids) {
    LiveItem li = make(id, tag, std::nullopt);
    metas.push_back(li.item.meta);
    vectors.push_back(li.item.vector);
    effects.push_back({id, li.item});
    live_[id] = std::make_shared<LiveItem>(li);
  }
  std::optional<std::vector<std::string>> skip;
  if (big) skip = std::vector<std::string>{std::string(kBigSkipName, 's')};
  // A batch's sweep would be settled apart from the batch's own prefix rule.
  if (!sweep_effects().empty()) r_.failure = "a batch over expired items is not modelled";
  call(
      "add_batch of " + std::to_string(ids.size()), std::move(effects),
      [&] { return store_->add_batch(ids, vectors, metas, skip, std::nullopt); }, true);
}

void ScriptRunner::remove(const std::string& id) {
  live_.erase(id);
  call("delete " + id, {{id, std::nullopt}}, [&] { return store_->remove(id); });
}

void ScriptRunner::delete_where(const std::string& filter,
                                const std::function<bool(const LiveItem&)>& hit) {
  std::vector<Call::Effect> effects = sweep_effects();
  for (auto it = live_.begin(); it != live_.end();) {
    if (hit(*it->second)) {
      effects.push_back({it->first, std::nullopt});
      it = live_.erase(it);
    } else {
      ++it;
    }
  }
  call("delete_by_filter " + filter, std::move(effects), [&] {
    Result<uint64_t> n = store_->delete_by_filter(filter);
    return n.ok() ? Status() : n.take_status();
  });
}

void ScriptRunner::delete_by_tag(const std::string& tag) {
  delete_where(Json{{"tag", tag}}.dump(), [&](const LiveItem& li) { return li.tag == tag; });
}

void ScriptRunner::delete_by_number_below(int n) {
  delete_where(Json{{"n", {{"$lt", n}}}}.dump(), [&](const LiveItem& li) { return li.n < n; });
}

void ScriptRunner::persist() {
  call("persist", sweep_effects(), [&] { return store_->persist(); });
}

void ScriptRunner::vacuum(bool in_place, bool rebuild) {
  if (in_place) setenv("TARNIX_VACUUM_IN_PLACE", "1", 1);
  if (rebuild) setenv("TARNIX_VACUUM_REBUILD_GRAPH", "1", 1);
  call(std::string("vacuum") + (in_place ? " in place" : "") + (rebuild ? " rebuilding" : ""), {},
       [&] { return store_->vacuum(); });
  unsetenv("TARNIX_VACUUM_IN_PLACE");
  unsetenv("TARNIX_VACUUM_REBUILD_GRAPH");
}

void ScriptRunner::advance_seconds(int seconds) {
  clock_->advance_millis(int64_t{seconds} * 1000);
  uint32_t now = now_seconds();
  Call c;
  c.what = "time passes";
  c.begin = c.end = c.log_end = fs_->point();
  c.never_settled = true;
  for (const auto& [id, li] : live_) {
    if (li->expires && *li->expires <= now) c.effects.push_back({id, std::nullopt});
  }
  r_.calls.push_back(std::move(c));
}

void ScriptRunner::settle() {
  interval_override_ = 0;
  call("delete of an unknown id, synced", {}, [&] { return store_->remove("no-such-id"); });
  interval_override_.reset();
}

uint32_t ScriptRunner::now_seconds() const {
  return static_cast<uint32_t>(clock_->now_nanos() / 1'000'000'000);
}

// The calls run a step after they are prepared.
uint32_t ScriptRunner::now_seconds_after_step() const {
  return static_cast<uint32_t>((clock_->now_nanos() + kCallStepMs * 1'000'000) / 1'000'000'000);
}

ScriptRunner::LiveItem ScriptRunner::make(const std::string& id, const std::string& tag,
                                          std::optional<uint32_t> ttl) {
  LiveItem li;
  li.n = next_n_++;
  li.tag = tag;
  Json meta = {{"k", id}, {"n", li.n}, {"tag", tag}};
  li.item.meta = meta.dump();
  li.item.vector.resize(kDim);
  for (size_t i = 0; i < kDim; ++i) {
    li.item.vector[i] = static_cast<float>(std::sin(1.7 * li.n + 0.9 * static_cast<double>(i)));
  }
  if (ttl) li.expires = now_seconds_after_step() + *ttl;
  return li;
}

// The ids a write call's expiry sweep deletes (and logs) before it does its own work.
std::vector<Call::Effect> ScriptRunner::sweep_effects() {
  std::vector<Call::Effect> out;
  uint32_t now = now_seconds_after_step();
  for (auto it = live_.begin(); it != live_.end();) {
    if (it->second->expires && *it->second->expires <= now) {
      out.push_back({it->first, std::nullopt});
      it = live_.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

template <class F>
void ScriptRunner::call(std::string what, std::vector<Call::Effect> effects, F&& f, bool batch) {
  if (!ok()) return;
  clock_->advance_millis(kCallStepMs);
  setenv("TARNIX_WAL_SYNC_INTERVAL_MS",
         std::to_string(interval_override_.value_or(r_.interval_ms)).c_str(), 1);
  Call c;
  c.what = std::move(what);
  c.begin = fs_->point();
  Status s = f();
  c.end = fs_->point();
  std::optional<size_t> log_change = fs_->last_log_change();
  c.log_end = log_change && *log_change >= c.begin ? *log_change + 1 : c.begin;
  c.effects = std::move(effects);
  c.batch = batch;
  if (!s.ok()) r_.failure = c.what + " failed: " + s.message();
  r_.calls.push_back(std::move(c));
}

namespace {

std::string key(int i) {
  return "k" + std::to_string(i);
}
const char* tag_of(int i) {
  return i % 3 == 0 ? "a" : i % 3 == 1 ? "b" : "c";
}

void add_range(ScriptRunner& run, int from, int to) {
  for (int i = from; i < to; ++i) run.add(key(i), tag_of(i));
}

// Deleted slots, replaced items and log-only changes for a vacuum to compact, all settled.
void vacuum_scene(ScriptRunner& run) {
  add_range(run, 0, 40);
  run.persist();
  for (int i = 0; i < 40; i += 4) run.remove(key(i));
  run.add(key(5), "b");
  run.add(key(1), "c");
  add_range(run, 40, 44);
  run.settle();
}

void vacuum_script(ScriptRunner& run, bool in_place, bool rebuild) {
  vacuum_scene(run);
  run.begin_body();
  run.vacuum(in_place, rebuild);
  run.add(key(44), "a");
  run.remove(key(2));
}

const std::map<std::string, std::function<void(ScriptRunner&)>>& bodies() {
  static const std::map<std::string, std::function<void(ScriptRunner&)>> kBodies = {
      {"add",
       [](ScriptRunner& run) {
         // The first add of a new store fixes the dimension and sizes vectors.bin.
         add_range(run, 0, 30);
       }},
      {"add_growth",
       [](ScriptRunner& run) {
         add_range(run, 0, 12);
         run.persist();  // trims the slot files to 12 slots: the next add grows them
         run.begin_body();
         add_range(run, 12, 28);
       }},
      {"add_batch_1mib",
       [](ScriptRunner& run) {
         add_range(run, 0, 6);
         run.begin_body();
         std::vector<std::string> big, small;
         for (size_t i = 0; i < kBigBatchItems; ++i) big.push_back("b" + std::to_string(i));
         for (int i = 0; i < 5; ++i) small.push_back("s" + std::to_string(i));
         run.add_batch(big, "batch", true);
         run.add_batch(small, "small", false);
         run.add(key(6), "a");
       }},
      {"add_reuse",
       [](ScriptRunner& run) {
         add_range(run, 0, 30);
         run.persist();
         run.begin_body();
         for (int i : {3, 7, 11, 15, 19, 23}) run.remove(key(i));
         for (int i = 0; i < 6; ++i) run.add("r" + std::to_string(i), "r");
         // Replacing an item frees its slot, which the replacement takes at once.
         run.add(key(1), "c");
         run.add(key(2), "a");
         run.remove(key(5));
         run.add("r6", "r");
         run.add(key(8), "b");
       }},
      {"delete",
       [](ScriptRunner& run) {
         add_range(run, 0, 30);
         run.persist();
         add_range(run, 30, 35);
         run.begin_body();
         for (const char* id :
              {"k0", "k4", "k31", "k9", "nope", "k33", "k14", "k20", "k29", "k30"}) {
           run.remove(id);
         }
         run.add(key(40), "a");
         run.remove(key(40));
       }},
      {"delete_by_filter",
       [](ScriptRunner& run) {
         add_range(run, 0, 30);
         run.persist();
         run.begin_body();
         run.delete_by_tag("b");
         for (int i = 30; i < 33; ++i) run.add(key(i), "b");
         run.delete_by_number_below(10);
         run.add(key(33), "c");
       }},
      {"ttl_expiry",
       [](ScriptRunner& run) {
         for (int i = 0; i < 10; ++i) run.add("t" + std::to_string(i), "t", 5);
         add_range(run, 0, 10);
         run.persist();
         run.begin_body();
         for (int i = 10; i < 14; ++i) run.add("t" + std::to_string(i), "t", 5);
         run.add(key(10), "b");
         run.advance_seconds(6);
         run.add(key(11), "c");  // sweeps the expired items, logging their deletions
         run.add("t20", "t", 5);
         run.remove(key(0));
         run.persist();
         run.add(key(12), "a");
       }},
      {"persist_trim",
       [](ScriptRunner& run) {
         add_range(run, 0, 40);
         run.persist();
         add_range(run, 40, 45);  // grows the files again
         for (int i = 30; i < 45; ++i) run.remove(key(i));
         run.begin_body();
         run.persist();  // trims the tail of the slot files
         add_range(run, 45, 48);
         run.persist();
         // The cut slots are deleted only in the log, and nothing in it grows the files again.
         for (int i = 45; i < 48; ++i) run.remove(key(i));
         run.persist();
       }},
      {"two_stores",
       [](ScriptRunner& run) {
         // Two stores take turns writing: each reuses slots the other freed in records that
         // only the other's calls appended, and whose sync this store did not see.
         add_range(run, 0, 30);
         run.persist();
         run.open_second_store();
         run.begin_body();
         run.remove(key(3));
         run.use_store(1);
         run.add("r0", "r");
         run.use_store(0);
         run.remove(key(7));
         run.use_store(1);
         run.add("r1", "r");
         run.remove(key(11));
         run.use_store(0);
         run.add("r2", "r");
         run.add(key(1), "c");
         run.use_store(1);
         run.add(key(2), "a");
         run.use_store(0);
         for (int i = 25; i < 30; ++i) run.remove(key(i));
         // Alone now, the other store's persist cuts the slot files' tail, over items whose
         // deletions only the closed store logged.
         run.use_store(1);
         run.close_idle_store();
         run.persist();
         run.add("r3", "r");
       }},
      {"vacuum_rewrite", [](ScriptRunner& run) { vacuum_script(run, false, false); }},
      {"vacuum_rewrite_rebuild", [](ScriptRunner& run) { vacuum_script(run, false, true); }},
      {"vacuum_in_place", [](ScriptRunner& run) { vacuum_script(run, true, false); }},
      // The flag belongs to the rewrite; the in-place vacuum must not change with it.
      {"vacuum_in_place_rebuild", [](ScriptRunner& run) { vacuum_script(run, true, true); }},
      {"vacuum_in_place_no_moves",
       [](ScriptRunner& run) {
         // Only the highest slots are deleted: nothing moves, the files are only cut.
         add_range(run, 0, 30);
         run.persist();
         for (int i = 25; i < 30; ++i) run.remove(key(i));
         run.settle();
         run.begin_body();
         run.vacuum(true, false);
         run.add(key(30), "a");
       }},
  };
  return kBodies;
}

}  // namespace

const std::vector<ScriptInfo>& scripts() {
  static const std::vector<ScriptInfo> kScripts = {
      {"add", false},
      {"add_growth", false},
      {"add_batch_1mib", false},
      {"add_reuse", false},
      {"delete", false},
      {"delete_by_filter", false},
      {"ttl_expiry", false},
      {"persist_trim", false},
      {"two_stores", false},
      {"vacuum_rewrite", true},
      {"vacuum_rewrite_rebuild", true},
      {"vacuum_in_place", true},
      {"vacuum_in_place_rebuild", true},
      {"vacuum_in_place_no_moves", true},
  };
  return kScripts;
}

Recording record_workload(const std::string& name, uint64_t interval_ms, const std::string& dir,
                          const std::function<void(ScriptRunner&)>& body, bool vacuum) {
  Recording r;
  r.script = name;
  r.interval_ms = interval_ms;
  r.vacuum = vacuum;
  {
    ScriptRunner run(r, dir);
    body(run);
  }
  return r;
}

Recording record_script(const std::string& name, uint64_t interval_ms, const std::string& dir) {
  auto it = bodies().find(name);
  if (it == bodies().end()) {
    Recording r;
    r.script = name;
    r.failure = "no script " + name;
    return r;
  }
  bool vacuum = false;
  for (const ScriptInfo& s : scripts()) {
    if (name == s.name) vacuum = s.vacuum;
  }
  return record_workload(name, interval_ms, dir, it->second, vacuum);
}

Expectation expectation_at(const Recording& r, size_t point, bool power) {
  Expectation expect;
  for (const Call& c : r.calls) {
    const bool started = c.begin < point || (c.begin == c.end && c.end <= point);
    if (!started) break;
    bool settled = c.end <= point && !c.never_settled;
    if (settled && power && c.log_end > c.begin) {
      std::optional<size_t> sync = r.log.last_log_sync_before(point);
      settled = sync && *sync >= c.log_end;
    }
    if (settled) {
      for (const Call::Effect& e : c.effects) {
        e.item ? expect.put(e.id, *e.item) : expect.erase(e.id);
      }
    } else if (c.batch) {
      std::vector<std::pair<std::string, Item>> batch;
      for (const Call::Effect& e : c.effects) batch.emplace_back(e.id, *e.item);
      expect.maybe_put_prefix(batch);
    } else {
      for (const Call::Effect& e : c.effects) {
        e.item ? expect.maybe_put(e.id, *e.item) : expect.maybe_erase(e.id);
      }
    }
  }
  return expect;
}

int64_t clock_at(const Recording& r, size_t point) {
  return point == 0 ? r.start_clock_ns : r.log.ops[point - 1].clock_ns;
}

}  // namespace tarnix::crash
