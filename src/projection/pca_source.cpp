#include "projection/pca_source.h"

#include <algorithm>

#include "util/fnv.h"

namespace tarnix {
namespace {

// Whether a live slot's expiry second has come, without building the whole expired set.
bool expired(const CoreIndex& index, uint32_t slot) {
  if (index.expiration_index.empty()) return false;
  Result<uint32_t> now = unix_seconds(index.clock());
  if (!now.ok() || index.expiration_index.begin()->first > *now) return false;
  auto end = index.expiration_index.upper_bound(*now);
  for (auto it = index.expiration_index.begin(); it != end; ++it) {
    if (std::find(it->second.begin(), it->second.end(), slot) != it->second.end()) return true;
  }
  return false;
}

}  // namespace

std::optional<PcaUpsert> fetch_pca_upsert(const CoreIndex& index, std::string_view id) {
  if (index.ext_to_int.empty()) return std::nullopt;
  auto it = index.ext_to_int.find(id_hash(id));
  if (it == index.ext_to_int.end()) return std::nullopt;
  uint32_t slot = it->second;
  if (!index.valid_ids.contains(slot) || expired(index, slot)) return std::nullopt;
  const uint8_t* code = index.vector_at(slot);
  if (!code) return std::nullopt;
  return PcaUpsert{std::string(id), std::vector<uint8_t>(code, code + index.dim)};
}

PcaUpsertList pca_snapshot_of(const CoreIndex& index) {
  PcaUpsertList items(static_cast<uint32_t>(index.dim));
  if (index.dim == 0 || index.valid_ids.empty()) return items;
  Bitmap live = index.valid_ids;
  Result<std::optional<Bitmap>> due = index.expired_if_due();
  if (due.ok() && *due) live -= **due;
  index.with_ids_mmap([&](const BlobView& ids) {
    live.for_each([&](uint32_t slot) {
      const uint8_t* code = index.vector_at(slot);
      if (code) items.add(index.get_external_id_from_mmap(slot, ids), code);
    });
  });
  return items;
}

}  // namespace tarnix
