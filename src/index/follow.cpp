// Following another store's writes. Every store that has the directory open writes its
// changes into the shared files (rows, records, offsets) and logs them; a store that did not
// make a change takes it on from the log alone, without writing anything or linking again.
#include <algorithm>
#include <cstring>

#include "index/core_index.h"
#include "index/quantize.h"
#include "util/fnv.h"

namespace tarnix {
namespace {

// What the writer stored for a logged insert, to recognise its slot by.
struct StoredItem {
  std::string_view id;
  std::vector<uint8_t> codes;
  std::string metadata;
};

bool holds(const CoreIndex& index, uint32_t slot, const StoredItem& item, const BlobView& ids,
           const BlobView& metas) {
  const uint8_t* codes = index.vector_at(slot);
  if (!codes || std::memcmp(codes, item.codes.data(), item.codes.size()) != 0) return false;
  std::optional<std::string> id =
      CoreIndex::read_record(index.files.id_offsets, slot, ids, UINT32_MAX);
  if (!id || *id != item.id) return false;
  std::optional<std::string> meta =
      CoreIndex::read_record(index.files.meta_offsets, slot, metas, kMaxMetadataBytes);
  return meta && *meta == item.metadata;
}

}  // namespace

Result<bool> CoreIndex::follow_insert(std::string_view id, std::span<const float> vector,
                                      const Json& metadata, std::span<const std::string> skip_index,
                                      std::optional<uint32_t> ttl, bool superseded) {
  // The writer dropped what insert_in_mem drops.
  if (!storable(vector)) return false;
  const uint64_t hash = id_hash(id);
  const std::optional<uint32_t> replaced = live_slot_of(hash);
  std::optional<uint32_t> expiry;
  TARNIX_ASSIGN_OR_RETURN(expiry, expiry_after(ttl));
  if (dim == 0) {
    // The writer sized vectors.bin for the first vector.
    dim = vector.size();
    TARNIX_RETURN_IF_ERROR(refresh_files());
  }
  StoredItem item{id, std::vector<uint8_t>(dim), dump_compact(metadata)};
  quantize(vector.data(), dim, item.codes.data());

  // The slot this index would have chosen is the writer's, unless the two have diverged (a
  // different TARNIX_REVERSE_REUSE_MAX_CAPACITY, say); then the writer's is the free slot
  // whose records are the newest copy of exactly this item.
  const uint32_t guess = peek_slot(reuse_enabled(replaced.has_value()), replaced);
  auto free_here = [&](uint32_t s) { return s == replaced || !valid_ids.contains(s); };
  std::optional<uint32_t> slot;
  with_ids_and_metadata_mmap([&](const BlobView& ids, const BlobView& metas) {
    if (guess < capacity && free_here(guess) && holds(*this, guess, item, ids, metas)) {
      slot = guess;
      return;
    }
    uint64_t newest = 0;
    for (uint32_t s = 0; s < capacity; ++s) {
      if (!free_here(s) || !holds(*this, s, item, ids, metas)) continue;
      uint64_t offset = record_offset(files.id_offsets, s).value_or(0);
      if (!slot || offset > newest) {
        slot = s;
        newest = offset;
      }
    }
  });

  if (!slot) {
    // No slot holds the item. When a later record takes the id again, the writer's insert
    // did take effect, and a later write reused its slot: the item it replaced is gone (and
    // its slot may be among those reused). Otherwise the insert never took effect (it failed,
    // or its writer died in the middle of it), and the item it would have replaced stays.
    if (superseded && replaced) untrack_slot(*replaced, true, hash);
    return false;
  }
  if (replaced) untrack_slot(*replaced, true, hash);
  // The writer's code may have replaced one this index saw there before.
  code_norms.code_changed(*slot, vector_at(*slot), dim);
  if (*slot >= next_slot) next_slot = *slot == UINT32_MAX ? UINT32_MAX : *slot + 1;
  ext_to_int[hash] = *slot;
  valid_ids.add(*slot);
  deleted.remove(*slot);
  if (expiry) expiration_index[*expiry].push_back(*slot);
  const bool tracked = replay_repair_ && replay_repair_->touched.contains(*slot);
  for (const auto& [key, value] : metadata.items()) {
    if (key == "id" || key == "_id") continue;
    if (std::find(skip_index.begin(), skip_index.end(), key) != skip_index.end()) continue;
    index_metadata_value(key, value, *slot);
    if (tracked) replay_repair_->indexed[*slot].emplace_back(key, value);
  }
  if (!enter_point) enter_point = *slot;
  // The writer's rows changed; the lists of who points where are this index's own.
  incoming_edges.reset();
  return true;
}

void CoreIndex::follow_delete(std::string_view id) {
  const uint64_t hash = id_hash(id);
  auto it = ext_to_int.find(hash);
  if (it != ext_to_int.end()) untrack_slot(it->second, true, hash);
  incoming_edges.reset();
}

Status CoreIndex::refresh_files() {
  for (SlotFile* f : {&files.vectors, &files.graph, &files.id_offsets, &files.meta_offsets}) {
    TARNIX_RETURN_IF_ERROR(f->refresh());
  }
  TARNIX_RETURN_IF_ERROR(files.ids.refresh_end());
  TARNIX_RETURN_IF_ERROR(files.metadata.refresh_end());
  if (dim != 0) capacity = capacity_from_files();
  incoming_edges.reset();
  return Status();
}

}  // namespace tarnix
