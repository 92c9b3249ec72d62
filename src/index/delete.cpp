// Deletion: tombstones, index cleanup and cutting a slot out of the graph. The vector, row
// position and records stay in the files until the slot is reused or vacuumed.
#include <algorithm>

#include "index/core_index.h"
#include "util/fnv.h"

namespace tarnix {

void CoreIndex::delete_in_mem(std::string_view id) {
  const uint64_t hash = id_hash(id);
  auto it = ext_to_int.find(hash);
  if (it == ext_to_int.end()) return;
  const uint32_t slot = it->second;
  if (untrack_slot(slot, true, hash)) detach_node_graph(slot);
}

bool CoreIndex::delete_internal_id_with_options(uint32_t slot, bool drop_expiry) {
  if (!untrack_slot(slot, drop_expiry, std::nullopt)) return false;
  detach_node_graph(slot);
  return true;
}

bool CoreIndex::untrack_slot(uint32_t slot, bool drop_expiry,
                             std::optional<uint64_t> id_hash_known) {
  if (!valid_ids.contains(slot)) return false;
  // The id map entry goes by the hash of the stored id; an empty id hashes like any other
  // text. When the stored id cannot be read back (a damaged record, or a slot another store
  // has reused since), the entry is found by its slot instead, so that no entry is left
  // pointing at a dead slot.
  auto entry = ext_to_int.find(id_hash_known ? *id_hash_known : id_hash(get_external_id(slot)));
  if (entry == ext_to_int.end() || entry->second != slot) {
    entry = std::find_if(ext_to_int.begin(), ext_to_int.end(),
                         [slot](const auto& e) { return e.second == slot; });
  }
  if (entry != ext_to_int.end()) ext_to_int.erase(entry);
  valid_ids.remove(slot);
  deleted.add(slot);
  recently_freed.add(slot);
  if (replay_repair_ &&
      (replay_repair_->track_all || replay_repair_->snapshot_live.contains(slot))) {
    replay_repair_->touched.add(slot);
    replay_repair_->indexed.erase(slot);
  }

  // The metadata says which values to take out. When it cannot be read (a damaged record,
  // or a mapping that failed just now), the slot is taken out of every value instead: a
  // value left holding it would select whatever item reuses the slot.
  std::optional<Json> meta;
  if (std::optional<std::string> text = read_metadata(slot)) {
    Result<Json> parsed = parse_json(*text);
    if (parsed.ok() && parsed->is_object()) meta = std::move(parsed).value();
  }
  if (meta) {
    for (const auto& [key, value] : meta->items()) {
      if (key == "id" || key == "_id") continue;
      deindex_metadata_value(key, value, slot);
    }
    for (auto& [field, bsi] : num_index) bsi.remove(slot);
  } else {
    Bitmap just_this;
    just_this.add(slot);
    remove_slots_from_indexes(str_index, num_index, just_this);
  }

  if (drop_expiry) {
    for (auto it = expiration_index.begin(); it != expiration_index.end();) {
      std::vector<uint32_t>& slots = it->second;
      slots.erase(std::remove(slots.begin(), slots.end(), slot), slots.end());
      it = slots.empty() ? expiration_index.erase(it) : std::next(it);
    }
  }
  free_slots.push(slot);
  if (enter_point == slot) enter_point = valid_ids.minimum();
  return true;
}

void CoreIndex::detach_node_graph(uint32_t slot) {
  if (slot >= capacity) return;
  uint32_t* row = mutable_row_at(slot);
  if (!row) return;
  uint32_t neighbours[kRowNeighbors];
  size_t count = 0;
  for (size_t i = 0; i < kRowNeighbors; ++i) {
    if (row[i] != kEmptyEntry) neighbours[count++] = row[i];
    row[i] = kEmptyEntry;
  }
  if (!incoming_edges) return;
  auto& incoming = *incoming_edges;
  for (size_t i = 0; i < count; ++i) {
    uint32_t n = neighbours[i];
    if (n >= incoming.size()) continue;
    auto& list = incoming[n];
    auto it = std::find(list.begin(), list.end(), slot);
    if (it != list.end()) {
      *it = list.back();
      list.pop_back();
    }
  }
  if (slot >= incoming.size()) return;
  std::vector<uint32_t> pointing = std::move(incoming[slot]);
  incoming[slot].clear();
  for (uint32_t p : pointing) {
    if (p >= capacity) continue;
    uint32_t* prow = mutable_row_at(p);
    if (!prow) continue;
    // Only the first copy: a row may hold a second one after a hole was filled.
    auto it = std::find(prow, prow + kRowNeighbors, slot);
    if (it != prow + kRowNeighbors) *it = kEmptyEntry;
  }
}

void CoreIndex::ensure_incoming_edges() {
  if (incoming_edges && incoming_edges->size() == capacity) return;
  std::vector<std::vector<uint32_t>> incoming(capacity);
  valid_ids.for_each([&](uint32_t u) {
    if (u >= capacity) return;
    const uint32_t* row = row_at(u);
    if (!row) return;
    for (size_t i = 0; i < kRowNeighbors; ++i) {
      uint32_t t = row[i];
      if (t >= capacity || !valid_ids.contains(t)) continue;
      auto& list = incoming[t];
      if (std::find(list.begin(), list.end(), u) == list.end()) list.push_back(u);
    }
  });
  incoming_edges = std::move(incoming);
}

}  // namespace tarnix
