// Reading a slot's metadata text back. Every read that cannot produce a well-formed record
// gives "{}" (or, from read_metadata, nothing); none fails.
#include "index/core_index.h"

namespace tarnix {
namespace {

constexpr const char* kMissingMetadata = "{}";

}  // namespace

std::string CoreIndex::get_metadata_from_mmap(uint32_t slot, const BlobView& metadata) const {
  return read_record(files.meta_offsets, slot, metadata, kMaxMetadataBytes)
      .value_or(kMissingMetadata);
}

std::optional<std::string> CoreIndex::read_metadata(uint32_t slot) const {
  // Cheap checks first, so a slot that cannot have a record never takes the mutex.
  std::optional<uint64_t> offset = record_offset(files.meta_offsets, slot);
  if (!offset || *offset > files.metadata.end() || files.metadata.end() - *offset < 4) {
    return std::nullopt;
  }
  return with_metadata_mmap([&](const BlobView& metadata) {
    return read_record(files.meta_offsets, slot, metadata, kMaxMetadataBytes);
  });
}

std::string CoreIndex::get_metadata(uint32_t slot) const {
  return read_metadata(slot).value_or(kMissingMetadata);
}

}  // namespace tarnix
