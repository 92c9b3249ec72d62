#include "projection/pca_runtime.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "projection/pca_source.h"

namespace tarnix {
namespace {

constexpr uint64_t kSleepSliceMs = 100;
constexpr auto kWaitPause = std::chrono::milliseconds(10);

}  // namespace

PcaRuntime::~PcaRuntime() { stop_pca_worker(); }

// ---- The queue. ----

void PcaRuntime::enqueue_event(PcaEventKind kind) {
  uint64_t seq = latest_seq_.fetch_add(1) + 1;
  std::lock_guard<std::mutex> lock(queue_mu_);
  queue_.push_back(PcaEvent{std::move(kind), seq});
}

std::vector<PcaEvent> PcaRuntime::take_events(size_t max) {
  std::lock_guard<std::mutex> lock(queue_mu_);
  std::vector<PcaEvent> out;
  while (out.size() < max && !queue_.empty()) {
    out.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  return out;
}

size_t PcaRuntime::queued() const {
  std::lock_guard<std::mutex> lock(queue_mu_);
  return queue_.size();
}

void PcaRuntime::enqueue_pca_snapshot_sync() {
  PcaUpsertList items;
  if (index_) {
    std::shared_lock<std::shared_mutex> lock(index_->mu);
    if (index_->index) items = pca_snapshot_of(*index_->index);
  }
  enqueue_event(PcaEventSnapshotSync{std::move(items)});
}

void PcaRuntime::enqueue_followed(const std::vector<LoggedChange>& changes, bool reloaded) {
  if (reloaded) {
    enqueue_pca_snapshot_sync();
    return;
  }
  for (const LoggedChange& change : changes) {
    if (change.inserted) {
      enqueue_event(PcaEventUpsert{change.id});
    } else {
      enqueue_event(PcaEventDelete{change.id});
    }
  }
}

std::optional<PcaUpsert> PcaRuntime::fetch_pca_upsert_by_id(const std::string& id) const {
  if (!index_) return std::nullopt;
  std::shared_lock<std::shared_mutex> lock(index_->mu);
  if (!index_->index) return std::nullopt;
  return fetch_pca_upsert(*index_->index, id);
}

// ---- The worker. ----

Status PcaRuntime::start_pca_worker() {
  std::lock_guard<std::mutex> lock(worker_mu_);
  if (worker_) return Status();
  worker_running_ = true;
  try {
    worker_.emplace([this] { worker_main(); });
  } catch (const std::system_error&) {
    worker_running_ = false;
    return Status::internal("failed to spawn thread");
  }
  return Status();
}

void PcaRuntime::stop_pca_worker() {
  stop_ = true;
  {
    // Taken so that a worker about to sleep either sees the flag or gets the wake-up.
    std::lock_guard<std::mutex> lock(sleep_mu_);
  }
  sleep_cv_.notify_all();
  std::optional<std::thread> worker;
  {
    std::lock_guard<std::mutex> lock(worker_mu_);
    worker.swap(worker_);
  }
  if (!worker || !worker->joinable()) return;
  if (worker->get_id() == std::this_thread::get_id()) {
    worker->detach();
  } else {
    worker->join();
  }
}

bool PcaRuntime::sleep_unless_stopped(uint64_t ms) {
  while (ms > 0) {
    if (stop_) return false;
    uint64_t slice = std::min(ms, kSleepSliceMs);
    std::unique_lock<std::mutex> lock(sleep_mu_);
    sleep_cv_.wait_for(lock, std::chrono::milliseconds(slice), [&] { return stop_.load(); });
    ms -= slice;
  }
  return !stop_;
}

void PcaRuntime::worker_main() {
  std::vector<float> scratch;
  try {
    while (!stop_) {
      uint64_t processed = processed_seq_.load();
      uint64_t latest = latest_seq_.load();
      if (processed < latest) {
        // Every pass waits out the delay, so a burst of writes is handled together.
        if (!sleep_unless_stopped(settings_.update_delay_ms)) break;
        process_pass(processed, scratch);
      } else if (!sleep_unless_stopped(settings_.worker_interval_ms)) {
        break;
      }
    }
  } catch (...) {
    // A failure (out of memory) ends only this thread: the store goes on, its projection
    // stays as it was last published.
  }
  worker_running_ = false;
}

void PcaRuntime::process_pass(uint64_t processed, std::vector<float>& scratch) {
  std::unique_lock<std::mutex> model_lock(model_mu_);
  std::vector<PcaEvent> events = take_events(settings_.batch_size);
  uint64_t last = processed;
  for (PcaEvent& event : events) {
    last = event.seq;
    if (auto* upsert = std::get_if<PcaEventUpsert>(&event.kind)) {
      // An item deleted or expired since the event was queued is skipped; whatever the
      // model holds for it stays until its delete event comes.
      std::optional<PcaUpsert> item = fetch_pca_upsert_by_id(upsert->id);
      if (!item) continue;
      scratch.resize(item->code.size());
      model_.apply_upsert_internal(item->id, item->code, scratch);
    } else if (auto* removal = std::get_if<PcaEventDelete>(&event.kind)) {
      if (model_.dim() != 0) scratch.resize(model_.dim());
      model_.apply_delete_internal(removal->id, scratch);
    } else {
      auto& sync = std::get<PcaEventSnapshotSync>(event.kind);
      if (!sync.items.empty()) scratch.resize(sync.items.code_length());
      // Shutting down: nobody will read the model again.
      if (!model_.reconcile_snapshot_incremental(sync.items, scratch, &stop_)) return;
    }
  }
  events.clear();
  if (model_.dim() != 0) scratch.resize(model_.dim());
  model_.reproject_some(uint64_t{4} * settings_.batch_size, scratch);
  model_.orthonormalize();
  auto published = std::make_shared<const PcaCache>(model_.build_cache_from_model());
  {
    std::unique_lock<std::shared_mutex> cache_lock(cache_mu_);
    cache_.swap(published);
  }
  model_lock.unlock();
  processed_seq_.store(last);
  // `published` now holds the previous points, released here outside every lock.
}

// ---- Readers. ----

std::shared_ptr<const PcaCache> PcaRuntime::cache() const {
  std::shared_lock<std::shared_mutex> lock(cache_mu_);
  return cache_;
}

Result<bool> PcaRuntime::wait_for_processed(uint64_t target, uint64_t timeout_ms,
                                            const Clock& clock,
                                            const std::function<bool()>& pause) const {
  auto caught_up = [&] { return processed_seq_.load() >= target || !worker_running_.load(); };
  if (caught_up()) return true;
  if (timeout_ms == 0) {
    while (true) {
      if (!pause()) return false;
      if (caught_up()) return true;
    }
  }
  uint64_t start;
  TARNIX_ASSIGN_OR_RETURN(start, unix_millis(clock));
  while (true) {
    uint64_t now;
    TARNIX_ASSIGN_OR_RETURN(now, unix_millis(clock));
    uint64_t elapsed = now >= start ? now - start : 0;
    if (elapsed >= timeout_ms) return true;
    if (!pause()) return false;
    if (caught_up()) return true;
  }
}

bool PcaRuntime::sleep_pause() {
  std::this_thread::sleep_for(kWaitPause);
  return true;
}

}  // namespace tarnix
