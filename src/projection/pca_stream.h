// PcaStream: a batch iterator over the points published when it was created, each paired
// with the item's metadata as it is when the batch is read. It holds its own handles to
// the index and the gate, so it stays usable after the store that made it is gone.
//
// Thread safety: one caller at a time (the host serialises the iterator).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "index/shared_index.h"
#include "projection/pca_model.h"
#include "projection/pca_runtime.h"
#include "storage/process_gate.h"

namespace tarnix {

class PcaStream {
 public:
  struct Item {
    const PcaPoint* point;
    std::string metadata;
  };

  // `points` may be null (an empty stream). `selection`, when given, holds the indices of
  // the points to show, in order; otherwise every point is shown.
  // `projection` hears of what other stores changed when a batch catches the index up.
  PcaStream(std::shared_ptr<const PcaCache> points, std::optional<std::vector<uint32_t>> selection,
            std::shared_ptr<SharedIndex> index, std::shared_ptr<ProcessGate> gate,
            uint32_t batch_size, std::weak_ptr<PcaRuntime> projection);

  size_t size() const;

  // The next batch_size points (fewer at the end), or none once all were returned. Runs
  // inside the gate as a reader with the index held shared, after catching the index up
  // with the directory. A point whose id no longer names the item it was projected from
  // (deleted, or the slot reused) gets "{}".
  std::vector<Item> next_batch();

 private:
  const PcaPoint& point(size_t i) const {
    return points_->points[selection_ ? (*selection_)[i] : i];
  }

  std::shared_ptr<const PcaCache> points_;
  std::optional<std::vector<uint32_t>> selection_;
  // Declared before the gate, which is released first: the gate unmaps through the file
  // system that the index keeps alive.
  std::shared_ptr<SharedIndex> index_;
  std::shared_ptr<ProcessGate> gate_;
  std::weak_ptr<PcaRuntime> projection_;
  uint32_t batch_size_;
  size_t cursor_ = 0;
};

}  // namespace tarnix
