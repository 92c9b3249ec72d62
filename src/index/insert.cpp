// Graph insertion: slot choice, the item's records, and construction linking.
#include <algorithm>
#include <cassert>
#include <cstring>

#include "index/core_index.h"
#include "index/distance.h"
#include "index/quantize.h"
#include "index/row_neighbors.h"
#include "util/env.h"
#include "util/fnv.h"

namespace tarnix {
namespace {

constexpr uint32_t kDefaultEfConstruction = 50;
constexpr uint32_t kDefaultReuseMaxCapacity = 1'000'000;

uint32_t ef_construction() {
  return env_usize("TARNIX_EF_CONSTRUCTION").value_or(kDefaultEfConstruction);
}

// The row entry a full row gives up for a new neighbour: a pure function of the two slots,
// so rebuilding a graph in the same order gives the same rows.
size_t eviction_index(uint32_t a, uint32_t b) {
  return static_cast<size_t>(((a + b) * 1664525u + 1013904223u) % kRowNeighbors);
}

// Adds a -> b to a row. Returns the evicted entry, or kEmptyEntry when nothing was evicted.
// `changed` reports whether the row changed at all.
uint32_t add_to_row(uint32_t* row, uint32_t a, uint32_t b, bool* changed) {
  *changed = false;
  for (size_t i = 0; i < kRowNeighbors; ++i) {
    if (row[i] == b) return kEmptyEntry;
    if (row[i] == kEmptyEntry) {
      row[i] = b;
      *changed = true;
      return kEmptyEntry;
    }
  }
  size_t victim = eviction_index(a, b);
  uint32_t evicted = row[victim];
  row[victim] = b;
  *changed = true;
  return evicted;
}

void remove_first(std::vector<uint32_t>& list, uint32_t value) {
  auto it = std::find(list.begin(), list.end(), value);
  if (it == list.end()) return;
  *it = list.back();
  list.pop_back();
}

// Best-first construction search from `entry` with width ef_c; returns the queue holding
// its nearest slots. VectorAt(slot) gives the slot's code bytes or null; RowAt(slot) its row
// or null.
template <class VectorAt, class RowAt>
const BestFirstQueue& construction_search(SearchContext& context, size_t dim, uint32_t entry,
                                          uint32_t ef_c, VectorAt&& vector_at,
                                          RowAt&& row_at) {
  BestFirstQueue& queue = context.nearest;
  queue.reset(ef_c);
  const uint8_t* query = context.query.data();
  const uint8_t* entry_vector = vector_at(entry);
  if (!entry_vector) return queue;
  queue.admit({distance(query, entry_vector, dim), entry});
  context.visit(entry);
  uint32_t d[kRowNeighbors];
  while (std::optional<Candidate> c = queue.next()) {
    const uint32_t* row = row_at(c->slot);
    if (!row) continue;
    // The row expanded next is most often the nearest unexpanded entry now, and its row was
    // asked for when it was admitted: its neighbours' loads overlap this row's distances
    // instead of stalling the next step.
    if (std::optional<uint32_t> next = queue.peek_slot()) {
      if (const uint32_t* next_row = row_at(*next)) {
        prefetch_row_targets(context, next_row, dim, vector_at);
      }
    }
    // The fresh neighbours' codes are prefetched as they are gathered, and their distances
    // taken in one batch; the decisions then follow row order as before.
    FreshNeighbors fresh = gather_fresh_neighbors(context, row, dim, vector_at);
    distance_gather(query, fresh.codes, fresh.count, dim, d);
    for (size_t j = 0; j < fresh.count; ++j) {
      if (queue.full() && d[j] >= queue.farthest().distance) continue;
      queue.admit({d[j], fresh.slots[j]});
      // A new entry's row is read when it is expanded, which is often soon.
      if (const uint32_t* next = row_at(fresh.slots[j])) __builtin_prefetch(next);
    }
  }
  return queue;
}

}  // namespace

bool CoreIndex::reuse_enabled(bool a_slot_is_freed) const {
  if (incoming_edges) return true;
  bool have_free = a_slot_is_freed || !free_slots.empty();
  return have_free &&
         capacity <=
             env_usize("TARNIX_REVERSE_REUSE_MAX_CAPACITY").value_or(kDefaultReuseMaxCapacity);
}

bool CoreIndex::may_overwrite_freed_slot(std::span<const std::string_view> ids,
                                         bool sweeping) const {
  if (dim == 0) return false;
  bool replacing = std::any_of(ids.begin(), ids.end(),
                               [&](std::string_view id) { return live_slot_of(id).has_value(); });
  if (!replacing && !sweeping && recently_freed.empty()) return false;
  return incoming_edges ||
         capacity <=
             env_usize("TARNIX_REVERSE_REUSE_MAX_CAPACITY").value_or(kDefaultReuseMaxCapacity);
}

uint32_t CoreIndex::peek_slot(bool reuse, std::optional<uint32_t> freed) {
  if (!reuse) return next_slot;
  // Stale entries at the top would be discarded by the allocation anyway.
  while (!free_slots.empty()) {
    uint32_t s = free_slots.top();
    if (s < capacity && deleted.contains(s)) break;
    free_slots.pop();
  }
  std::optional<uint32_t> best;
  if (!free_slots.empty()) best = free_slots.top();
  if (freed && *freed < capacity && (!best || *freed < *best)) best = freed;
  return best.value_or(next_slot);
}

uint32_t CoreIndex::take_slot(bool reuse) {
  if (reuse && !incoming_edges) ensure_incoming_edges();
  if (incoming_edges) {
    while (!free_slots.empty()) {
      uint32_t s = free_slots.top();
      free_slots.pop();
      if (s < capacity && deleted.contains(s)) {
        detach_node_graph(s);
        return s;
      }
    }
  }
  uint32_t s = next_slot;
  if (next_slot != UINT32_MAX) ++next_slot;
  return s;
}

bool CoreIndex::storable(std::span<const float> vector) const {
  return dim == 0 ? !vector.empty() && vector.size() <= kMaxDimension : vector.size() == dim;
}

std::optional<uint32_t> CoreIndex::live_slot_of(uint64_t hash) const {
  if (auto it = ext_to_int.find(hash); it != ext_to_int.end() && valid_ids.contains(it->second)) {
    return it->second;
  }
  return std::nullopt;
}

Result<std::optional<uint32_t>> CoreIndex::expiry_after(std::optional<uint32_t> ttl) const {
  if (!ttl) return std::optional<uint32_t>();
  uint32_t now;
  TARNIX_ASSIGN_OR_RETURN(now, unix_seconds(*clock_));
  // Saturates instead of wrapping: a huge ttl means "never", not "at once".
  return std::optional<uint32_t>(
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t{now} + *ttl, UINT32_MAX)));
}

Status CoreIndex::insert_in_mem(std::string_view id, std::span<const float> vector,
                                const Json& metadata, std::span<const std::string> skip_index,
                                std::optional<uint32_t> ttl) {
  // A vector that cannot be stored is dropped before anything changes, so a refused item
  // never deletes the item it would have replaced.
  if (!storable(vector)) return Status();
  const uint64_t hash = id_hash(id);
  const std::optional<uint32_t> replaced = live_slot_of(hash);

  // Everything that can fail comes first: a failed insert leaves the index untouched.
  std::optional<uint32_t> expiry;
  TARNIX_ASSIGN_OR_RETURN(expiry, expiry_after(ttl));
  if (dim == 0) TARNIX_RETURN_IF_ERROR(set_dimension(vector.size()));
  const bool reuse = reuse_enabled(replaced.has_value());
  const uint32_t slot = peek_slot(reuse, replaced);
  TARNIX_RETURN_IF_ERROR(ensure_capacity(uint64_t{slot} + 1));
  TARNIX_RETURN_IF_ERROR(reserve_slot(slot));
  static const std::optional<Mapping> kNoRecords;
  const bool replaying = replay_repair_ && !replay_repair_->track_all;
  uint64_t id_offset;
  TARNIX_ASSIGN_OR_RETURN(id_offset,
                          store_record(files.ids, files.id_offsets, slot,
                                       replaying ? replay_repair_->ids_before : kNoRecords, id));
  uint64_t meta_offset;
  TARNIX_ASSIGN_OR_RETURN(meta_offset,
                          store_record(files.metadata, files.meta_offsets, slot,
                                       replaying ? replay_repair_->metadata_before : kNoRecords,
                                       dump_compact(metadata)));

  // From here on nothing fails.
  if (replaced) delete_internal_id_with_options(*replaced, true);
  const uint32_t taken = take_slot(reuse);
  assert(taken == slot);
  (void)taken;
  std::memcpy(files.id_offsets.data() + uint64_t{slot} * kOffsetBytes, &id_offset, 8);
  std::memcpy(files.meta_offsets.data() + uint64_t{slot} * kOffsetBytes, &meta_offset, 8);
  quantize(vector.data(), dim, mutable_vector_at(slot));
  code_norms.code_changed(slot, vector_at(slot), dim);
  std::memset(mutable_row_at(slot), 0xFF, kRowBytes);
  ext_to_int[hash] = slot;
  valid_ids.add(slot);
  deleted.remove(slot);
  if (expiry) expiration_index[*expiry].push_back(slot);
  const bool tracked = replay_repair_ && replay_repair_->touched.contains(slot);
  for (const auto& [key, value] : metadata.items()) {
    if (key == "id" || key == "_id") continue;
    if (std::find(skip_index.begin(), skip_index.end(), key) != skip_index.end()) continue;
    index_metadata_value(key, value, slot);
    if (tracked) replay_repair_->indexed[slot].emplace_back(key, value);
  }
  if (!enter_point) {
    enter_point = slot;
  } else {
    link_new_slot(slot);
  }
  return Status();
}

void CoreIndex::link_new_slot(uint32_t slot) {
  SearchContext& context = SearchContext::for_this_thread();
  context.reset(capacity, dim);
  std::memcpy(context.query.data(), vector_at(slot), dim);
  const BestFirstQueue& nearest = construction_search(
      context, dim, *enter_point, ef_construction(), [this](uint32_t s) { return vector_at(s); },
      [this](uint32_t s) { return row_at(s); });
  for (const Candidate& c : nearest.nearest(kRowNeighbors)) {
    add_neighbor(slot, c.slot);
    add_neighbor(c.slot, slot);
  }
}

void CoreIndex::add_neighbor(uint32_t a, uint32_t b) {
  if (a == b || a >= capacity || b >= capacity) return;
  uint32_t* row = mutable_row_at(a);
  if (!row) return;
  bool changed;
  uint32_t evicted = add_to_row(row, a, b, &changed);
  if (!changed || !incoming_edges) return;
  auto& incoming = *incoming_edges;
  if (evicted != kEmptyEntry && evicted < incoming.size()) remove_first(incoming[evicted], a);
  if (b < incoming.size()) {
    auto& list = incoming[b];
    if (std::find(list.begin(), list.end(), a) == list.end()) list.push_back(a);
  }
}

void CoreIndex::add_neighbor_static(uint8_t* graph, uint32_t a, uint32_t b) {
  bool changed;
  add_to_row(reinterpret_cast<uint32_t*>(graph + uint64_t{a} * kRowBytes), a, b, &changed);
}

void CoreIndex::link_slot_static(const uint8_t* vectors, uint8_t* graph, uint32_t count, size_t dim,
                                 uint32_t entry, uint32_t slot) {
  SearchContext& context = SearchContext::for_this_thread();
  auto vector_of = [&](uint32_t s) -> const uint8_t* {
    return s < count ? vectors + uint64_t{s} * dim : nullptr;
  };
  auto row_of = [&](uint32_t s) -> const uint32_t* {
    return s < count ? reinterpret_cast<const uint32_t*>(graph + uint64_t{s} * kRowBytes) : nullptr;
  };
  context.reset(count, dim);
  std::memcpy(context.query.data(), vector_of(slot), dim);
  const BestFirstQueue& nearest =
      construction_search(context, dim, entry, ef_construction(), vector_of, row_of);
  // The slot itself is among them when another row already points at it.
  size_t links = 0;
  for (const Candidate& c : nearest.items()) {
    if (links == kRowNeighbors) break;
    if (c.slot == slot) continue;
    add_neighbor_static(graph, slot, c.slot);
    add_neighbor_static(graph, c.slot, slot);
    ++links;
  }
}

std::optional<uint32_t> CoreIndex::rebuild_graph_links(const uint8_t* vectors, uint8_t* graph,
                                                       uint32_t count, size_t dim) {
  if (count == 0) return std::nullopt;
  for (uint32_t i = 1; i < count; ++i) link_slot_static(vectors, graph, count, dim, 0, i);
  return 0;
}

}  // namespace tarnix
