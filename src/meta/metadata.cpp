// Reading a slot's metadata text back. Every read that cannot produce a well-formed record
// gives "{}" (or, from read_metadata, nothing); none fails.
#include <cstring>

#include "index/core_index.h"

namespace tarnix {
namespace {

constexpr const char* kMissingMetadata = "{}";

std::optional<std::string> record_text(const CoreIndex& index, uint32_t slot,
                                       const BlobView& metadata) {
  if ((uint64_t{slot} + 1) * kOffsetBytes > index.files.meta_offsets.length()) {
    return std::nullopt;
  }
  uint64_t offset;
  std::memcpy(&offset, index.files.meta_offsets.data() + uint64_t{slot} * kOffsetBytes, 8);
  std::optional<std::string_view> bytes = metadata.record(offset, kMaxMetadataBytes);
  if (!bytes || !is_valid_utf8(*bytes)) return std::nullopt;
  return std::string(*bytes);
}

}  // namespace

std::string CoreIndex::get_metadata_from_mmap(uint32_t slot, const BlobView& metadata) const {
  return record_text(*this, slot, metadata).value_or(kMissingMetadata);
}

std::optional<std::string> CoreIndex::read_metadata(uint32_t slot) const {
  // Cheap checks first, so a slot that cannot have a record never takes the mutex.
  if ((uint64_t{slot} + 1) * kOffsetBytes > files.meta_offsets.length()) return std::nullopt;
  uint64_t offset;
  std::memcpy(&offset, files.meta_offsets.data() + uint64_t{slot} * kOffsetBytes, 8);
  if (offset > files.metadata.end() || files.metadata.end() - offset < 4) return std::nullopt;
  return with_metadata_mmap(
      [&](const BlobView& metadata) { return record_text(*this, slot, metadata); });
}

std::string CoreIndex::get_metadata(uint32_t slot) const {
  return read_metadata(slot).value_or(kMissingMetadata);
}

}  // namespace tarnix
