// Fitting a loaded index to its files at open.
#include "index/core_index.h"

namespace tarnix {
namespace {

// Every slot any secondary index mentions.
Bitmap indexed_slots(const StrIndex& str_index, const NumIndex& num_index) {
  Bitmap all;
  for (const auto& [field, values] : str_index) {
    for (const auto& [text, slots] : values) all |= slots;
  }
  for (const auto& [field, bsi] : num_index) {
    all |= bsi.existence;
    for (const Bitmap& slice : bsi.slices) all |= slice;
  }
  return all;
}

}  // namespace

void CoreIndex::reconcile_with_files() {
  if (dim == 0) {
    // No vector was ever stored, so nothing the snapshot names can be real.
    enter_point.reset();
    valid_ids.clear();
    deleted.clear();
    ext_to_int.clear();
    expiration_index.clear();
    str_index.clear();
    num_index.clear();
    incoming_edges.reset();
    free_slots = FreeSlots();
    next_slot = 0;
    return;
  }
  capacity = capacity_from_files();
  valid_ids.remove_from(capacity);
  deleted.remove_from(capacity);
  // A slot is never both live and deleted; its last record made it live.
  deleted -= valid_ids;

  // For a consistent snapshot this removes exactly the slots cut off above; it also keeps a
  // damaged one from naming slots that are not live.
  Bitmap dead = indexed_slots(str_index, num_index) - valid_ids;
  if (!dead.empty()) remove_slots_from_indexes(str_index, num_index, dead);
  std::erase_if(ext_to_int, [&](const auto& e) { return !valid_ids.contains(e.second); });
  for (auto it = expiration_index.begin(); it != expiration_index.end();) {
    std::erase_if(it->second, [&](uint32_t slot) { return !valid_ids.contains(slot); });
    it = it->second.empty() ? expiration_index.erase(it) : std::next(it);
  }
  if (!enter_point || !valid_ids.contains(*enter_point)) enter_point = valid_ids.minimum();
  rebuild_runtime_state();
}

}  // namespace tarnix
