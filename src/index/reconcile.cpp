// Fitting a loaded index to its files at open.
#include <optional>
#include <string>
#include <vector>

#include "index/core_index.h"
#include "util/fnv.h"

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

// Makes the id map name every live slot exactly once. A consistent snapshot needs nothing
// here; a damaged one may map two ids to one slot or leave a live slot without its id. The
// id file says which item each slot holds: a slot keeps the entry for its stored id, and a
// slot that cannot be named that way leaves the live set, since no call could reach it.
// Called once the entries of slots that are not live are gone, so every entry's slot lies
// below the capacity.
void name_live_slots(CoreIndex& index) {
  // Entries per slot, counted up to 2.
  std::vector<uint8_t> entries(index.capacity, 0);
  for (const auto& [hash, slot] : index.ext_to_int) {
    if (entries[slot] < 2) ++entries[slot];
  }
  std::vector<uint32_t> to_name;
  index.valid_ids.for_each([&](uint32_t slot) {
    if (entries[slot] != 1) to_name.push_back(slot);
  });
  if (to_name.empty()) return;
  std::erase_if(index.ext_to_int, [&](const auto& e) { return entries[e.second] != 1; });
  Bitmap unnamed;
  index.with_ids_mmap([&](const BlobView& ids) {
    for (uint32_t slot : to_name) {
      std::optional<std::string> id =
          CoreIndex::read_record(index.files.id_offsets, slot, ids, UINT32_MAX);
      if (id && index.ext_to_int.emplace(id_hash(*id), slot).second) continue;
      unnamed.add(slot);
    }
  });
  index.valid_ids -= unnamed;
  index.deleted |= unnamed;
}

}  // namespace

void CoreIndex::begin_replay(bool track_all) {
  replay_repair_ = std::make_unique<ReplayRepair>();
  replay_repair_->track_all = track_all;
  if (!track_all) replay_repair_->snapshot_live = valid_ids;
}

void CoreIndex::finish_replay() {
  std::unique_ptr<ReplayRepair> repair = std::move(replay_repair_);
  if (!repair || repair->touched.empty()) return;
  for (auto field = str_index.begin(); field != str_index.end();) {
    StringMap<Bitmap>& values = field->second;
    for (auto value = values.begin(); value != values.end();) {
      value->second -= repair->touched;
      value = value->second.empty() ? values.erase(value) : std::next(value);
    }
    field = values.empty() ? str_index.erase(field) : std::next(field);
  }
  for (const auto& [slot, members] : repair->indexed) {
    if (!valid_ids.contains(slot)) continue;
    for (const auto& [key, value] : members) index_metadata_value(key, value, slot);
  }
}

uint64_t CoreIndex::reconcile_with_files() {
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
    return 0;
  }
  capacity = capacity_from_files();
  uint64_t before = valid_ids.cardinality() + deleted.cardinality();
  valid_ids.remove_from(capacity);
  deleted.remove_from(capacity);
  uint64_t dropped = before - valid_ids.cardinality() - deleted.cardinality();
  // A slot is never both live and deleted; its last record made it live.
  deleted -= valid_ids;

  std::erase_if(ext_to_int, [&](const auto& e) { return !valid_ids.contains(e.second); });
  name_live_slots(*this);

  // For a consistent snapshot this removes exactly the slots cut off above; it also keeps a
  // damaged one from naming slots that are not live.
  Bitmap dead = indexed_slots(str_index, num_index) - valid_ids;
  if (!dead.empty()) remove_slots_from_indexes(str_index, num_index, dead);
  // A damaged snapshot may name values, or whole fields, without any slot.
  for (auto field_it = str_index.begin(); field_it != str_index.end();) {
    std::erase_if(field_it->second, [](const auto& value) { return value.second.empty(); });
    field_it = field_it->second.empty() ? str_index.erase(field_it) : std::next(field_it);
  }
  for (auto it = expiration_index.begin(); it != expiration_index.end();) {
    std::erase_if(it->second, [&](uint32_t slot) { return !valid_ids.contains(slot); });
    it = it->second.empty() ? expiration_index.erase(it) : std::next(it);
  }
  if (!enter_point || !valid_ids.contains(*enter_point)) enter_point = valid_ids.minimum();
  rebuild_runtime_state();
  return dropped;
}

}  // namespace tarnix
