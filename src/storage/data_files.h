// The six data files: four fixed-stride slot files, mapped, and two append-only blob files.
//
// Slot files (vectors, graph rows, id offsets, metadata offsets) are arrays indexed by slot.
// Blob files (ids, metadata) are sequences of records: a 32-bit length and that many bytes.
//
// Every store that has the directory open maps the same files shared; a store that did not
// write a change sees it in its mappings at once, and refresh() catches a mapping up with a
// file another store has grown.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "storage/fs.h"
#include "storage/mapped_file.h"

namespace tarnix {

class SlotFile {
 public:
  SlotFile() = default;
  SlotFile(SlotFile&&) = default;
  SlotFile& operator=(SlotFile&&) = default;

  // Opens (creating it unless `create` is false) the file, extends it with zeros to
  // `min_length` (durably), and maps it whole.
  static Result<SlotFile> open(FileSystem& fs, const std::string& path, uint64_t min_length,
                               bool create = true);

  uint8_t* data() const { return map_.data(); }
  // The mapped length, which never exceeds the file's length.
  uint64_t length() const { return map_.size(); }

  // Grows or shrinks file and mapping together, never leaving the mapping longer than the
  // file; a new length is synced before the mapping grows. On failure the
  // mapping is unchanged or shorter-than-file, and the error is returned.
  Status set_length(uint64_t new_length);
  // Makes sure the file's blocks below `end` exist on disk, allocating a few MiB ahead, so
  // that writes through the mapping cannot meet a full disk.
  Status reserve_through(uint64_t end);
  // Writes dirty pages back synchronously, then syncs the file's data.
  Status flush();
  Status datasync();
  // Maps the file at the length it has now (another store grew it).
  Status refresh();

 private:
  File file_;
  Mapping map_;
  uint64_t reserved_ = 0;
};

// A read-only view of a whole blob file, valid while the file's read lock is held.
class BlobView {
 public:
  BlobView() = default;
  BlobView(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}

  // The record at `offset`: its bytes, or nothing when the record does not lie wholly inside
  // the mapping, or is longer than `max_length`.
  std::optional<std::string_view> record(uint64_t offset, uint32_t max_length) const;
  // Starts reading the record at `offset` into the cache.
  void prefetch(uint64_t offset) const {
    if (offset < size_) __builtin_prefetch(data_ + offset);
  }

 private:
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};

class BlobFile {
 public:
  BlobFile() = default;
  BlobFile(BlobFile&& other) noexcept;
  BlobFile& operator=(BlobFile&& other) noexcept;

  static Result<BlobFile> open(FileSystem& fs, const std::string& path, bool create = true);

  // The logical end: where the next record goes.
  uint64_t end() const { return end_; }

  // Appends one record under the writer mutex and drops the read mapping. Returns the
  // record's offset; on failure the logical end is unchanged.
  Result<uint64_t> append(std::string_view bytes);

  // Runs f(const BlobView&) with the read mapping (made on first use) held under its mutex.
  // A mapping that cannot be made gives an empty view: every record then reads as missing.
  // Logically const: the mapping is a cache, guarded by its own mutex.
  template <class F>
  auto with_view(F&& f) const {
    std::lock_guard<std::mutex> map_lock(map_mu_);
    return f(current_view());
  }

  // As with_view, but fails with the system's error when the file cannot be mapped, for
  // callers that must not take unreadable records for missing ones.
  template <class F>
  Status with_checked_view(F&& f) const {
    std::lock_guard<std::mutex> map_lock(map_mu_);
    TARNIX_RETURN_IF_ERROR(ensure_read_map());
    f(current_view());
    return Status();
  }

  // A read-only mapping of the records up to the logical end, for a caller that reads many
  // of them while records are appended (each append drops the shared read mapping).
  Result<Mapping> map_records() const;

  Status datasync();
  // Takes the file's length as the logical end (another store appended since).
  Status refresh_end();

 private:
  // Makes the read mapping if there is none; called with map_mu_ held.
  Status ensure_read_map() const;
  BlobView current_view() const;

  File file_;
  uint64_t end_ = 0;
  // Lock order: map_mu_ then writer_mu_ when building the read mapping; writer_mu_ then
  // map_mu_ when appending. The two never run at once: appends happen only while the index
  // is held exclusively.
  mutable std::mutex writer_mu_;
  mutable std::mutex map_mu_;
  mutable std::optional<Mapping> read_map_;
};

struct DataFiles {
  SlotFile vectors;
  SlotFile graph;
  SlotFile id_offsets;
  SlotFile meta_offsets;
  BlobFile ids;
  BlobFile metadata;

  // Opens, sizes and maps the six files in the order vectors, graph, offsets, ids,
  // meta_offsets, metadata.
  static Result<DataFiles> open(FileSystem& fs, const std::string& dir);
  // Opens and maps the six files as they are, creating and extending nothing (after a
  // vacuum replaced them).
  static Result<DataFiles> open_existing(FileSystem& fs, const std::string& dir);

  // Writes every slot file's dirty pages back and syncs all six files' data, so that a
  // snapshot written next never points at records the disk does not have.
  Status sync_all();
  // Fails when the id and metadata files could not both be mapped beside the slot files.
  Status check_blobs_mappable() const;
};

}  // namespace tarnix
