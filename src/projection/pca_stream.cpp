#include "projection/pca_stream.h"

#include <algorithm>
#include <mutex>

#include "storage/follow.h"
#include "util/fnv.h"

namespace tarnix {

PcaStream::PcaStream(std::shared_ptr<const PcaCache> points,
                     std::optional<std::vector<uint32_t>> selection,
                     std::shared_ptr<SharedIndex> index, std::shared_ptr<ProcessGate> gate,
                     uint32_t batch_size, std::weak_ptr<PcaRuntime> projection)
    : points_(std::move(points)),
      selection_(std::move(selection)),
      index_(std::move(index)),
      gate_(std::move(gate)),
      projection_(std::move(projection)),
      batch_size_(std::max<uint32_t>(batch_size, 1)) {}

size_t PcaStream::size() const {
  if (!points_) return 0;
  return selection_ ? selection_->size() : points_->points.size();
}

std::vector<PcaStream::Item> PcaStream::next_batch() {
  std::vector<Item> batch;
  const size_t total = size();
  if (cursor_ >= total) return batch;
  const size_t end = std::min<size_t>(total, cursor_ + batch_size_);
  batch.reserve(end - cursor_);
  GateReader inside(*gate_);
  // A batch that cannot catch up shows the metadata of the view the index has.
  Result<Followed> followed = follow_directory(*index_);
  if (followed.ok()) {
    if (std::shared_ptr<PcaRuntime> projection = projection_.lock()) {
      projection->enqueue_followed(followed->changes, followed->reloaded);
    }
  }
  std::shared_lock<std::shared_mutex> lock(index_->mu);
  const CoreIndex& index = *index_->index;
  index.with_ids_and_metadata_mmap([&](const BlobView& ids, const BlobView& metadata) {
    for (size_t i = cursor_; i < end; ++i) {
      const PcaPoint& p = point(i);
      Item item{&p, "{}"};
      auto it = index.ext_to_int.find(id_hash(p.id()));
      if (it != index.ext_to_int.end() &&
          index.get_external_id_from_mmap(it->second, ids) == p.id()) {
        item.metadata = index.get_metadata_from_mmap(it->second, metadata);
      }
      batch.push_back(std::move(item));
    }
  });
  cursor_ = end;
  return batch;
}

}  // namespace tarnix
