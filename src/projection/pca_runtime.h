// PcaRuntime: the projection's side of a store. Writers tell it which items changed by
// appending small events to its queue; a background worker (when projection is enabled)
// drains the queue and keeps the 3-D projection up to date.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace tarnix {

// An item's id and its vector codes, as the model learns them.
struct PcaUpsert {
  std::string id;
  std::vector<uint8_t> code;
};

struct PcaEventUpsert {
  std::string id;
};
struct PcaEventDelete {
  std::string id;
};
// The complete live content of the store.
struct PcaEventSnapshotSync {
  std::vector<PcaUpsert> items;
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

  explicit PcaRuntime(Settings settings) : settings_(settings) {}
  const Settings& settings() const { return settings_; }

  // Numbers the event (the first gets 1, without gaps) and queues it. Never waits for the
  // worker: producers may hold the index exclusively while they call this.
  void enqueue_event(PcaEventKind kind);

  // Takes up to `max` events from the front of the queue.
  std::vector<PcaEvent> take_events(size_t max);

  uint64_t latest_seq() const { return latest_seq_.load(); }
  size_t queued() const;

 private:
  Settings settings_;
  // Raised before the push: a consumer may briefly see a sequence number whose event is not
  // queued yet, and treats that as nothing to do.
  std::atomic<uint64_t> latest_seq_{0};
  mutable std::mutex queue_mu_;
  std::deque<PcaEvent> queue_;
};

}  // namespace tarnix
