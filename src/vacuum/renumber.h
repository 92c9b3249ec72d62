// Renumbering slots: both vacuums give every surviving slot a new number and must carry the
// id map, the secondary indexes, the expiry index and the graph rows over to it.
#pragma once

#include <cstdint>
#include <vector>

#include "index/core_index.h"
#include "storage/snapshot.h"

namespace tarnix {

// map[old slot] is the slot's new number, or kEmptyEntry when it does not survive. Old slots
// at or beyond the map's length do not survive either.
using SlotMap = std::vector<uint32_t>;

// The index's saved fields in the new numbering: only live slots the map keeps survive,
// `deleted` is empty, and the entry point follows its slot (or becomes the smallest
// surviving slot, or none). Numeric indexes keep every field, with bounds narrowed to the
// surviving values, as if each value had been inserted afresh.
SnapshotData renumber_saved_fields(const CoreIndex& index, const SlotMap& map);

// Writes row `from` through the map into `to` (which may be the same row), position by
// position; entries that do not survive, or land at or beyond `limit`, become empty.
void renumber_row(const uint32_t* from, uint32_t* to, const SlotMap& map, uint32_t limit);

}  // namespace tarnix
