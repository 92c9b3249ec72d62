// The index and its reader-writer lock (`core`), shared by the store with the projection
// worker and with streams, which may outlive the store.
#pragma once

#include <memory>
#include <shared_mutex>

#include "index/core_index.h"

namespace tarnix {

struct SharedIndex {
  std::shared_mutex mu;
  std::unique_ptr<CoreIndex> index;
};

}  // namespace tarnix
