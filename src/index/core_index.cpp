#include "index/core_index.h"

#include <algorithm>

namespace tarnix {

CoreIndex::CoreIndex(std::string dir, Options options)
    : dir_(std::move(dir)), fs_(std::move(options.fs)), clock_(std::move(options.clock)) {}

Result<std::unique_ptr<CoreIndex>> CoreIndex::open(const std::string& dir, Options options) {
  std::unique_ptr<CoreIndex> index(new CoreIndex(dir, std::move(options)));
  TARNIX_ASSIGN_OR_RETURN(index->files, DataFiles::open(*index->fs_, dir));
  return index;
}

Result<std::unique_ptr<CoreIndex>> CoreIndex::open_existing(const std::string& dir,
                                                            Options options) {
  std::unique_ptr<CoreIndex> index(new CoreIndex(dir, std::move(options)));
  TARNIX_ASSIGN_OR_RETURN(index->files, DataFiles::open_existing(*index->fs_, dir));
  return index;
}

Status CoreIndex::check_invariants() const {
  auto fail = [](std::string what) { return Status::internal("invariant violated: " + what); };
  if (valid_ids.intersects(deleted)) return fail("a slot is both live and deleted");
  if (capacity > capacity_from_files() && dim != 0) {
    return fail("capacity " + std::to_string(capacity) + " exceeds the files");
  }
  for (const auto& [hash, slot] : ext_to_int) {
    if (!valid_ids.contains(slot)) {
      return fail("id map entry points at slot " + std::to_string(slot) + ", which is not live");
    }
  }
  if (ext_to_int.size() != valid_ids.cardinality()) {
    return fail("the id map and the live set differ in size");
  }
  if (enter_point ? !valid_ids.contains(*enter_point) : !valid_ids.empty()) {
    return fail("the entry point is not a live slot");
  }
  if (auto max = valid_ids.maximum(); max && *max >= capacity) {
    return fail("live slot " + std::to_string(*max) + " is beyond the capacity");
  }
  // Only live rows matter, and walking the live set keeps this cheap on large capacities.
  const uint64_t rows = std::min<uint64_t>(capacity, files.graph.length() / kRowBytes);
  std::optional<uint32_t> bad_row;
  if (dim != 0) {
    valid_ids.for_each([&](uint32_t slot) {
      if (slot >= rows) return false;
      const uint32_t* row = row_at(slot);
      for (size_t i = 0; i < kRowNeighbors; ++i) {
        if (row[i] != kEmptyEntry && row[i] >= capacity) {
          bad_row = slot;
          return false;
        }
      }
      return true;
    });
  }
  if (bad_row) return fail("row " + std::to_string(*bad_row) + " points past the capacity");
  for (const auto& [field, values] : str_index) {
    for (const auto& [text, slots] : values) {
      if (slots.empty()) return fail("empty value bitmap for field " + field);
      if (!(slots - valid_ids).empty()) return fail("string index holds a dead slot");
    }
    if (values.empty()) return fail("empty string index field " + field);
  }
  for (const auto& [field, bsi] : num_index) {
    if (!(bsi.existence - valid_ids).empty()) return fail("numeric index holds a dead slot");
    if (bsi.has_codes() && !bsi.codes_cover_existence()) {
      return fail("numeric index of field " + field + " lacks the codes of its slots");
    }
  }
  for (const auto& [second, slots] : expiration_index) {
    if (slots.empty()) return fail("empty expiry bucket");
    for (uint32_t slot : slots) {
      if (!valid_ids.contains(slot)) return fail("expiry bucket holds a dead slot");
    }
  }
  return Status();
}

}  // namespace tarnix
