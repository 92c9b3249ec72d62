// The projection stream: the published points, after an optional refresh, wait and filter.
#include <mutex>
#include <unordered_set>

#include "store/store.h"
#include "util/string_map.h"

namespace tarnix {

Result<std::unique_ptr<PcaStream>> Store::stream_pca_3d(const PcaStreamRequest& request,
                                                        const std::function<bool()>& pause) {
  TARNIX_RETURN_IF_ERROR(usable());
  if (request.batch_size == 0) return Status::invalid_argument("batch_size must be > 0");
  TARNIX_RETURN_IF_ERROR(follow_outside_gate());
  if (!pca_enabled_) {
    return std::make_unique<PcaStream>(nullptr, std::nullopt, core_, gate_, request.batch_size,
                                       std::weak_ptr<PcaRuntime>());
  }
  if (request.force_refresh) enqueue_pca_snapshot_sync();
  uint64_t target = pca_->latest_seq();
  if (request.wait_for_latest && pca_->processed_seq() < target) {
    bool finished;
    TARNIX_ASSIGN_OR_RETURN(finished,
                            pca_->wait_for_processed(target, request.timeout_ms, *clock_, pause));
    if (!finished) return Status::internal("waiting for the projection was interrupted");
  }
  std::shared_ptr<const PcaCache> points = pca_->cache();

  std::optional<std::vector<uint32_t>> selection;
  if (request.filter_json) {
    Json filter;
    TARNIX_ASSIGN_OR_RETURN(filter, parse_filter_argument(*request.filter_json));
    std::unordered_set<std::string, StringHash, std::equal_to<>> ids;
    {
      GateReader inside(*gate_);
      TARNIX_RETURN_IF_ERROR(follow());
      std::shared_lock<std::shared_mutex> lock(core_->mu);
      const CoreIndex& index = *core_->index;
      Bitmap matches = index.evaluate_filter(filter);
      std::optional<Bitmap> expired;
      TARNIX_ASSIGN_OR_RETURN(expired, index.expired_if_due());
      if (expired) matches -= *expired;
      ids.reserve(matches.cardinality());
      index.with_ids_mmap([&](const BlobView& id_file) {
        matches.for_each(
            [&](uint32_t slot) { ids.insert(index.get_external_id_from_mmap(slot, id_file)); });
      });
    }
    selection.emplace();
    if (points) {
      for (size_t i = 0; i < points->points.size(); ++i) {
        if (ids.find(points->points[i].id()) != ids.end()) {
          selection->push_back(static_cast<uint32_t>(i));
        }
      }
    }
  }
  return std::make_unique<PcaStream>(std::move(points), std::move(selection), core_, gate_,
                                     request.batch_size, pca_);
}

}  // namespace tarnix
