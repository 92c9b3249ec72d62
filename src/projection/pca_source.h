// What the projection reads from the index: the codes of one live item, and of all of them.
// The caller holds the index's lock (shared is enough).
#pragma once

#include <optional>
#include <string_view>

#include "index/core_index.h"
#include "projection/pca_model.h"

namespace tarnix {

// The item's current codes, when the id names a live item that has not expired. The slot
// found for the id's hash is taken without reading its stored id again.
std::optional<PcaUpsert> fetch_pca_upsert(const CoreIndex& index, std::string_view id);

// Every live, unexpired item in ascending slot order, with its stored external id.
PcaUpsertList pca_snapshot_of(const CoreIndex& index);

}  // namespace tarnix
