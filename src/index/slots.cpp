// Slot files: growth, the first vector's sizing, block reservation, and per-slot access.
#include <algorithm>
#include <cstring>

#include "index/core_index.h"
#include "util/env.h"
#include "util/fnv.h"

namespace tarnix {
namespace {

uint64_t read_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace

Status CoreIndex::ensure_capacity(uint64_t required) {
  if (dim == 0 || required < capacity) return Status();
  uint64_t step = env_usize("TARNIX_CAPACITY_GROWTH")
                      .value_or(std::max<uint32_t>(capacity / 4, 250'000));
  uint64_t headroom = std::max<uint64_t>(step / 10, 25'000);
  uint64_t wanted = std::max(capacity + step, required + headroom);
  uint32_t new_capacity = static_cast<uint32_t>(std::min<uint64_t>(wanted, UINT32_MAX));
  struct Target {
    SlotFile& file;
    uint64_t record_bytes;
  };
  for (Target t : {Target{files.vectors, dim}, Target{files.graph, kRowBytes},
                   Target{files.id_offsets, kOffsetBytes},
                   Target{files.meta_offsets, kOffsetBytes}}) {
    // Growth never shrinks a file that is already longer.
    uint64_t length = std::max(t.file.length(), uint64_t{new_capacity} * t.record_bytes);
    // On failure the files grown so far stay grown; capacity still fits every mapping.
    TARNIX_RETURN_IF_ERROR(t.file.set_length(length));
  }
  capacity = new_capacity;
  if (incoming_edges) incoming_edges->resize(capacity);
  return Status();
}

Status CoreIndex::set_dimension(uint64_t new_dim) {
  uint64_t length = std::max(files.vectors.length(), uint64_t{capacity} * new_dim);
  Status s = files.vectors.set_length(length);
  if (!s.ok()) return s;
  dim = new_dim;
  capacity = std::max<uint64_t>(capacity, std::min<uint64_t>(files.vectors.length() / dim,
                                                              UINT32_MAX));
  return Status();
}

uint32_t CoreIndex::capacity_from_files() const {
  uint64_t slots = std::min({files.graph.length() / kRowBytes,
                             files.id_offsets.length() / kOffsetBytes,
                             files.meta_offsets.length() / kOffsetBytes});
  if (dim != 0) slots = std::min(slots, files.vectors.length() / dim);
  return static_cast<uint32_t>(std::min<uint64_t>(slots, UINT32_MAX));
}

void CoreIndex::rebuild_runtime_state() {
  std::optional<uint32_t> highest = valid_ids.maximum();
  if (auto d = deleted.maximum(); d && (!highest || *d > *highest)) highest = d;
  if (!highest) {
    next_slot = 0;
  } else {
    next_slot = *highest == UINT32_MAX ? UINT32_MAX : *highest + 1;
  }
  std::vector<uint32_t> free = deleted.to_vector();
  free_slots = FreeSlots(std::greater<uint32_t>(), std::move(free));
  incoming_edges.reset();
  code_norms.clear();
  // A loaded or renumbered numeric index arrives as its slices alone; one kept up by inserts
  // already has its codes (or is too sparse to want them).
  for (auto& [field, bsi] : num_index) {
    if (!bsi.has_codes()) bsi.rebuild_codes();
  }
}

Status CoreIndex::reserve_slot(uint32_t slot) {
  uint64_t end = uint64_t{slot} + 1;
  if (dim != 0) TARNIX_RETURN_IF_ERROR(files.vectors.reserve_through(end * dim));
  TARNIX_RETURN_IF_ERROR(files.graph.reserve_through(end * kRowBytes));
  TARNIX_RETURN_IF_ERROR(files.id_offsets.reserve_through(end * kOffsetBytes));
  return files.meta_offsets.reserve_through(end * kOffsetBytes);
}

uint8_t* CoreIndex::mutable_vector_at(uint32_t slot) {
  return const_cast<uint8_t*>(std::as_const(*this).vector_at(slot));
}

uint32_t* CoreIndex::mutable_row_at(uint32_t slot) {
  return const_cast<uint32_t*>(std::as_const(*this).row_at(slot));
}

std::optional<uint32_t> CoreIndex::live_slot_of(std::string_view id) const {
  auto it = ext_to_int.find(id_hash(id));
  if (it == ext_to_int.end() || !valid_ids.contains(it->second)) return std::nullopt;
  return it->second;
}

std::string CoreIndex::get_external_id(uint32_t slot) const {
  return with_ids_mmap([&](const BlobView& ids) { return get_external_id_from_mmap(slot, ids); });
}

std::string CoreIndex::get_external_id_from_mmap(uint32_t slot, const BlobView& ids) const {
  return read_record(files.id_offsets, slot, ids, UINT32_MAX).value_or("");
}

const uint8_t* CoreIndex::offset_entry(const SlotFile& offsets, uint32_t slot) {
  if ((uint64_t{slot} + 1) * kOffsetBytes > offsets.length()) return nullptr;
  return offsets.data() + uint64_t{slot} * kOffsetBytes;
}

std::optional<uint64_t> CoreIndex::record_offset(const SlotFile& offsets, uint32_t slot) {
  const uint8_t* entry = offset_entry(offsets, slot);
  if (!entry) return std::nullopt;
  return read_u64(entry);
}

Result<uint64_t> CoreIndex::store_record(BlobFile& blob, const SlotFile& offsets, uint32_t slot,
                                         const std::optional<Mapping>& before,
                                         std::string_view bytes) {
  if (before) {
    std::optional<uint64_t> offset = record_offset(offsets, slot);
    if (offset) {
      std::optional<std::string_view> held =
          BlobView(before->data(), before->size()).record(*offset, UINT32_MAX);
      if (held && *held == bytes) return *offset;
    }
  }
  return blob.append(bytes);
}

void CoreIndex::prefetch_records(std::span<const Candidate> found, const BlobView& ids,
                                 const BlobView* metadata) const {
  auto prefetch_entry = [](const SlotFile& offsets, uint32_t slot) {
    if (const uint8_t* entry = offset_entry(offsets, slot)) __builtin_prefetch(entry);
  };
  for (const Candidate& c : found) {
    prefetch_entry(files.id_offsets, c.slot);
    if (metadata) prefetch_entry(files.meta_offsets, c.slot);
  }
  for (const Candidate& c : found) {
    if (std::optional<uint64_t> at = record_offset(files.id_offsets, c.slot)) ids.prefetch(*at);
    if (!metadata) continue;
    if (std::optional<uint64_t> at = record_offset(files.meta_offsets, c.slot)) {
      metadata->prefetch(*at);
    }
  }
}

std::optional<std::string> CoreIndex::read_record(const SlotFile& offsets, uint32_t slot,
                                                  const BlobView& blob, uint32_t max_length) {
  std::optional<uint64_t> offset = record_offset(offsets, slot);
  if (!offset) return std::nullopt;
  std::optional<std::string_view> bytes = blob.record(*offset, max_length);
  if (!bytes || !is_valid_utf8(*bytes)) return std::nullopt;
  return std::string(*bytes);
}

}  // namespace tarnix
