#include "projection/pca_runtime.h"

namespace tarnix {

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

}  // namespace tarnix
