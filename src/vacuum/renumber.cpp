#include "vacuum/renumber.h"

#include <algorithm>
#include <bit>

namespace tarnix {
namespace {

std::optional<uint32_t> mapped(const SlotMap& map, uint32_t slot) {
  if (slot >= map.size() || map[slot] == kEmptyEntry) return std::nullopt;
  return map[slot];
}

// The bitmap's surviving members in the new numbering. A rewrite keeps the order of slots,
// so its new numbers arrive sorted; an in-place vacuum keeps most slots where they are and
// moves a few high ones into low holes, so only those few need sorting.
Bitmap renumber_bitmap(const Bitmap& slots, const SlotMap& map) {
  std::vector<uint32_t> kept, moved;
  kept.reserve(slots.cardinality());
  slots.for_each([&](uint32_t s) {
    std::optional<uint32_t> n = mapped(map, s);
    if (!n) return;
    std::vector<uint32_t>& out = *n == s ? kept : moved;
    out.push_back(*n);
  });
  if (!std::is_sorted(moved.begin(), moved.end())) std::sort(moved.begin(), moved.end());
  Bitmap result;
  result.add_many(kept.data(), kept.size());
  result.add_many(moved.data(), moved.size());
  return result;
}

// The smallest (or largest) code among `slots`, found bit by bit from the top.
uint32_t extreme_code(const NumericBsiIndex& bsi, const Bitmap& slots, bool largest) {
  uint32_t code = 0;
  Bitmap candidates = slots;
  for (int i = 31; i >= 0; --i) {
    Bitmap narrowed = largest ? candidates & bsi.slices[i] : candidates - bsi.slices[i];
    bool bit = largest ? !narrowed.empty() : narrowed.empty();
    if (!narrowed.empty()) candidates = std::move(narrowed);
    if (bit) code |= 1u << i;
  }
  return code;
}

// The values of the surviving slots, with the bounds a fresh index would have after
// inserting exactly those values.
NumericBsiIndex renumber_numeric(const NumericBsiIndex& bsi, const Bitmap& live,
                                 const SlotMap& map) {
  NumericBsiIndex out;
  Bitmap kept = bsi.existence & live;
  if (kept.empty()) return out;
  out.min_code = extreme_code(bsi, kept, false);
  out.max_code = extreme_code(bsi, kept, true);
  out.max_bit = static_cast<uint8_t>(out.max_code == 0 ? 0 : std::bit_width(out.max_code) - 1);
  out.existence = renumber_bitmap(kept, map);
  for (size_t i = 0; i < out.slices.size(); ++i) {
    out.slices[i] = renumber_bitmap(bsi.slices[i] & kept, map);
  }
  return out;
}

}  // namespace

SnapshotData renumber_saved_fields(const CoreIndex& index, const SlotMap& map) {
  SnapshotData out;
  out.dim = index.dim;
  out.valid_ids = renumber_bitmap(index.valid_ids, map);
  // Only live slots are in the map, so only their entries survive.
  out.ext_to_int.reserve(index.ext_to_int.size());
  for (const auto& [hash, slot] : index.ext_to_int) {
    if (std::optional<uint32_t> n = mapped(map, slot)) out.ext_to_int.emplace(hash, *n);
  }
  for (const auto& [field, values] : index.str_index) {
    StringMap<Bitmap> renumbered;
    for (const auto& [text, slots] : values) {
      Bitmap kept = renumber_bitmap(slots, map);
      if (!kept.empty()) renumbered.emplace(text, std::move(kept));
    }
    if (!renumbered.empty()) out.str_index.emplace(field, std::move(renumbered));
  }
  // A numeric field keeps its (possibly empty) index, as it would after deletions.
  for (const auto& [field, bsi] : index.num_index) {
    out.num_index.emplace(field, renumber_numeric(bsi, index.valid_ids, map));
  }
  for (const auto& [second, slots] : index.expiration_index) {
    std::vector<uint32_t> kept;
    for (uint32_t s : slots) {
      if (std::optional<uint32_t> n = mapped(map, s)) kept.push_back(*n);
    }
    if (!kept.empty()) out.expiration_index.emplace(second, std::move(kept));
  }
  out.enter_point = index.enter_point ? mapped(map, *index.enter_point) : std::nullopt;
  if (!out.enter_point) out.enter_point = out.valid_ids.minimum();
  return out;
}

void renumber_row(const uint32_t* from, uint32_t* to, const SlotMap& map, uint32_t limit) {
  uint32_t row[kRowNeighbors];
  for (size_t i = 0; i < kRowNeighbors; ++i) {
    std::optional<uint32_t> n = from[i] == kEmptyEntry ? std::nullopt : mapped(map, from[i]);
    row[i] = n && *n < limit ? *n : kEmptyEntry;
  }
  std::copy(row, row + kRowNeighbors, to);
}

}  // namespace tarnix
