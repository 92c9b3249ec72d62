// Gathering one graph row's unvisited neighbours, shared by the construction search and the
// graph walk.
//
// Both searches first stamp and collect a row's fresh neighbours with their codes prefetched,
// then take the distances in row order: the same decisions as a single pass, without a
// memory stall per neighbour.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/distance.h"
#include "index/search_context.h"
#include "storage/format.h"

namespace tarnix {

struct FreshNeighbors {
  uint32_t slots[kRowNeighbors];
  const uint8_t* codes[kRowNeighbors];
  size_t count = 0;
};

// VectorAt(slot) gives the slot's code bytes, or null when they lie beyond the mapping (such
// neighbours are stamped visited but skipped).
template <class VectorAt>
FreshNeighbors gather_fresh_neighbors(SearchContext& context, const uint32_t* row, size_t dim,
                                      VectorAt&& vector_at) {
  FreshNeighbors fresh;
  // Every entry's visit stamp is asked for first, so the twelve reads (each a likely cache
  // miss on a large index) overlap instead of waiting one after another.
  const size_t stamps = context.visited.size();
  for (size_t i = 0; i < kRowNeighbors; ++i) {
    if (row[i] < stamps) __builtin_prefetch(context.visited.data() + row[i]);
  }
  for (size_t i = 0; i < kRowNeighbors; ++i) {
    uint32_t n = row[i];
    if (n == kEmptyEntry || !context.visit(n)) continue;
    const uint8_t* v = vector_at(n);
    if (!v) continue;
    prefetch_code(v, dim);
    fresh.slots[fresh.count] = n;
    fresh.codes[fresh.count++] = v;
  }
  return fresh;
}

// Asks for the visit stamps and codes of a row's entries without marking anything: called
// for the row most likely expanded next, while the current row's distances are computed,
// so that its neighbours are in cache when their turn comes.
template <class VectorAt>
void prefetch_row_targets(const SearchContext& context, const uint32_t* row, size_t dim,
                          VectorAt&& vector_at) {
  const size_t stamps = context.visited.size();
  for (size_t i = 0; i < kRowNeighbors; ++i) {
    const uint32_t n = row[i];
    if (n >= stamps) continue;
    __builtin_prefetch(context.visited.data() + n);
    if (const uint8_t* v = vector_at(n)) prefetch_code(v, dim);
  }
}

}  // namespace tarnix
