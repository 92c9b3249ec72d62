// PcaRuntime: the projection's side of a store. Writers tell it which items changed by
// appending small events to its queue; a background worker (when projection is enabled)
// drains the queue after a debounce delay, keeps the model up to date and publishes the
// projected points for streams to read.
//
// Locks, outermost first: the model, the queue (only while events are taken out), the
// index's shared lock (while an item is read), the cache. Producers may hold the index
// exclusively while they enqueue, so nothing waits for the index while holding the queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "index/shared_index.h"
#include "projection/pca_model.h"
#include "storage/fs.h"
#include "storage/wal.h"
#include "util/status.h"

namespace tarnix {

struct PcaEventUpsert {
  std::string id;
};
struct PcaEventDelete {
  std::string id;
};
// The complete live content of the store.
struct PcaEventSnapshotSync {
  PcaUpsertList items;
};
using PcaEventKind = std::variant<PcaEventUpsert, PcaEventDelete, PcaEventSnapshotSync>;

struct PcaEvent {
  PcaEventKind kind;
  uint64_t seq;
};

class PcaRuntime {
 public:
  // Read once, when the store opens.
  struct Settings {
    uint64_t update_delay_ms = 120'000;
    uint64_t worker_interval_ms = 5'000;
    uint32_t batch_size = 128;
  };

  // `index` is what the worker and the full sync read; without one, upserts find nothing
  // and a sync is empty.
  explicit PcaRuntime(Settings settings, std::shared_ptr<SharedIndex> index = nullptr)
      : settings_(settings), index_(std::move(index)) {}
  // Stops and joins the worker.
  ~PcaRuntime();
  PcaRuntime(const PcaRuntime&) = delete;
  PcaRuntime& operator=(const PcaRuntime&) = delete;

  const Settings& settings() const { return settings_; }

  // ---- Producers. ----

  // Numbers the event (the first gets 1, without gaps) and queues it. Never waits for the
  // worker: producers may hold the index exclusively while they call this.
  void enqueue_event(PcaEventKind kind);
  // Queues every live item of the index. The caller holds no index lock.
  void enqueue_pca_snapshot_sync();
  // What the index took on from other stores' writes: an event per change, or a full sync
  // after a reload. The caller holds no index lock.
  void enqueue_followed(const std::vector<LoggedChange>& changes, bool reloaded);

  // ---- The worker. ----

  // Spawns the worker unless it runs already; "failed to spawn thread" when it cannot.
  Status start_pca_worker();
  // Sets the stop flag, takes the worker's handle out and joins it. A pass that is
  // processing a full sync gives up within a few milliseconds; the model is not published.
  void stop_pca_worker();

  // One processing pass, as the worker runs it after its delay: takes up to batch_size
  // events, applies them, refreshes some points, publishes the cache and then
  // processed_seq. `processed` is the processed_seq read before the delay.
  void process_pass(uint64_t processed, std::vector<float>& scratch);

  // ---- Readers. ----

  uint64_t latest_seq() const { return latest_seq_.load(); }
  uint64_t processed_seq() const { return processed_seq_.load(); }
  size_t queued() const;
  // The last published points (null before the first pass).
  std::shared_ptr<const PcaCache> cache() const;

  // Waits until processed_seq reaches `target`: without bound when timeout_ms is 0, else
  // until timeout_ms have passed on `clock` (a clock that went backwards counts as no time
  // passed). Between checks it calls pause(), which waits about 10 ms and returns false to
  // give up (the host was interrupted). Also gives up once the worker has ended, since
  // nothing would be processed any more. Returns false only when pause() did.
  Result<bool> wait_for_processed(uint64_t target, uint64_t timeout_ms, const Clock& clock,
                                  const std::function<bool()>& pause) const;
  // The default pause: sleeps 10 ms.
  static bool sleep_pause();

  // Takes up to `max` events from the front of the queue.
  std::vector<PcaEvent> take_events(size_t max);

 private:
  void worker_main();
  // Sleeps `ms` in slices of at most 100 ms; false as soon as stop is set.
  bool sleep_unless_stopped(uint64_t ms);
  std::optional<PcaUpsert> fetch_pca_upsert_by_id(const std::string& id) const;

  const Settings settings_;
  const std::shared_ptr<SharedIndex> index_;

  std::mutex model_mu_;
  PcaModel model_;

  mutable std::shared_mutex cache_mu_;
  std::shared_ptr<const PcaCache> cache_;

  // Raised before the push: a consumer may briefly see a sequence number whose event is not
  // queued yet, and treats that as nothing to do.
  std::atomic<uint64_t> latest_seq_{0};
  std::atomic<uint64_t> processed_seq_{0};
  mutable std::mutex queue_mu_;
  std::deque<PcaEvent> queue_;

  std::mutex worker_mu_;
  std::optional<std::thread> worker_;
  std::atomic<bool> worker_running_{false};
  std::atomic<bool> stop_{false};
  // Wakes a sleeping worker when stop is set, so a drop does not wait out a sleep slice.
  std::mutex sleep_mu_;
  std::condition_variable sleep_cv_;
};

}  // namespace tarnix
