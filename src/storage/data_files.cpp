#include "storage/data_files.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "storage/format.h"

namespace tarnix {

Result<SlotFile> SlotFile::open(FileSystem& fs, const std::string& path, uint64_t min_length,
                                bool create) {
  SlotFile f;
  TARNIX_ASSIGN_OR_RETURN(f.file_, File::open(fs, path, O_RDWR | (create ? O_CREAT : 0)));
  uint64_t length;
  TARNIX_ASSIGN_OR_RETURN(length, f.file_.size());
  if (length < min_length) {
    TARNIX_RETURN_IF_ERROR(Mapping::check_room(min_length));
    TARNIX_RETURN_IF_ERROR(f.file_.truncate(min_length));
    // Durable before rows can name the new slots (see set_length).
    TARNIX_RETURN_IF_ERROR(f.file_.datasync());
    length = min_length;
  }
  TARNIX_ASSIGN_OR_RETURN(f.map_, Mapping::map(fs, f.file_.fd(), length, true, true));
  return f;
}

Status SlotFile::set_length(uint64_t new_length) {
  if (new_length == map_.size()) return Status();
  if (new_length > map_.size()) {
    // Refused before the file grows, so a store that reached the limit keeps its files as
    // they were.
    TARNIX_RETURN_IF_ERROR(Mapping::check_room(new_length - map_.size()));
    TARNIX_RETURN_IF_ERROR(file_.truncate(new_length));
    // Rows written next may name the new slots, and the kernel may write those pages back
    // at any time: were the new length lost in a power loss, they would point past the end.
    TARNIX_RETURN_IF_ERROR(file_.datasync());
    return map_.resize(file_.fd(), new_length, true, true);
  }
  TARNIX_RETURN_IF_ERROR(map_.resize(file_.fd(), new_length, true, true));
  reserved_ = std::min(reserved_, new_length);
  return file_.truncate(new_length);
}

Status SlotFile::reserve_through(uint64_t end) {
  if (end <= reserved_) return Status();
  uint64_t target = std::min<uint64_t>(map_.size(), end + kReserveAheadBytes);
  if (target <= reserved_) return Status();
  TARNIX_RETURN_IF_ERROR(file_.allocate(reserved_, target - reserved_));
  reserved_ = target;
  return Status();
}

Status SlotFile::flush() {
  TARNIX_RETURN_IF_ERROR(map_.flush());
  return file_.datasync();
}

Status SlotFile::datasync() {
  return file_.datasync();
}

Status SlotFile::refresh() {
  uint64_t length;
  TARNIX_ASSIGN_OR_RETURN(length, file_.size());
  return map_.resize(file_.fd(), length, true, true);
}

std::optional<std::string_view> BlobView::record(uint64_t offset, uint32_t max_length) const {
  if (!data_ || offset > size_ || size_ - offset < 4) return std::nullopt;
  const uint8_t* base = data_ + offset;
  uint32_t len;
  std::memcpy(&len, base, 4);
  if (len > max_length || size_ - offset - 4 < len) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(base + 4), len);
}

BlobFile::BlobFile(BlobFile&& other) noexcept {
  *this = std::move(other);
}

BlobFile& BlobFile::operator=(BlobFile&& other) noexcept {
  file_ = std::move(other.file_);
  end_ = other.end_;
  read_map_ = std::move(other.read_map_);
  return *this;
}

Result<BlobFile> BlobFile::open(FileSystem& fs, const std::string& path, bool create) {
  BlobFile f;
  TARNIX_ASSIGN_OR_RETURN(f.file_, File::open(fs, path, O_RDWR | (create ? O_CREAT : 0)));
  TARNIX_ASSIGN_OR_RETURN(f.end_, f.file_.size());
  return f;
}

Result<uint64_t> BlobFile::append(std::string_view bytes) {
  std::lock_guard<std::mutex> writer_lock(writer_mu_);
  uint64_t offset = end_;
  uint32_t len = static_cast<uint32_t>(bytes.size());
  {
    // A record the file could not then be mapped with would read as missing: refuse it.
    std::lock_guard<std::mutex> map_lock(map_mu_);
    uint64_t mapped = read_map_ ? read_map_->size() : 0;
    uint64_t new_end = offset + 4 + bytes.size();
    if (new_end > mapped) TARNIX_RETURN_IF_ERROR(Mapping::check_room(new_end - mapped));
  }
  // Written at the logical end, so the bytes of an earlier failed append are overwritten.
  std::string record(4 + bytes.size(), '\0');
  std::memcpy(record.data(), &len, 4);
  std::memcpy(record.data() + 4, bytes.data(), bytes.size());
  TARNIX_RETURN_IF_ERROR(file_.pwrite_all(record.data(), record.size(), offset));
  end_ = offset + 4 + bytes.size();
  std::lock_guard<std::mutex> map_lock(map_mu_);
  read_map_.reset();
  return offset;
}

Status BlobFile::ensure_read_map() const {
  // The file may have grown since the mapping was made, by this store's appends or another
  // store's, and this index's slots may name the new records.
  std::lock_guard<std::mutex> writer_lock(writer_mu_);
  uint64_t size;
  TARNIX_ASSIGN_OR_RETURN(size, file_.size());
  if (size == 0 || (read_map_ && read_map_->size() >= size)) return Status();
  // The old mapping goes first: both at once would count twice against the address space.
  read_map_.reset();
  TARNIX_ASSIGN_OR_RETURN(read_map_, Mapping::map(file_.fs(), file_.fd(), size, false, true));
  return Status();
}

BlobView BlobFile::current_view() const {
  // Without a mapping every record reads as missing; callers that must know use
  // with_checked_view.
  Status mapped = ensure_read_map();
  (void)mapped;
  if (!read_map_) return BlobView();
  return BlobView(read_map_->data(), read_map_->size());
}

Result<Mapping> BlobFile::map_records() const {
  std::lock_guard<std::mutex> writer_lock(writer_mu_);
  return Mapping::map(file_.fs(), file_.fd(), end_, false, true);
}

Status BlobFile::datasync() {
  std::lock_guard<std::mutex> writer_lock(writer_mu_);
  return file_.datasync();
}

Status BlobFile::refresh_end() {
  std::lock_guard<std::mutex> writer_lock(writer_mu_);
  TARNIX_ASSIGN_OR_RETURN(end_, file_.size());
  return Status();
}

Result<DataFiles> DataFiles::open(FileSystem& fs, const std::string& dir) {
  DataFiles f;
  TARNIX_ASSIGN_OR_RETURN(f.vectors, SlotFile::open(fs, join_path(dir, kVectorsFile), 0));
  TARNIX_ASSIGN_OR_RETURN(f.graph,
                          SlotFile::open(fs, join_path(dir, kGraphFile), kInitialGraphBytes));
  TARNIX_ASSIGN_OR_RETURN(f.id_offsets,
                          SlotFile::open(fs, join_path(dir, kIdOffsetsFile), kInitialOffsetsBytes));
  TARNIX_ASSIGN_OR_RETURN(f.ids, BlobFile::open(fs, join_path(dir, kIdsFile)));
  TARNIX_ASSIGN_OR_RETURN(
      f.meta_offsets, SlotFile::open(fs, join_path(dir, kMetaOffsetsFile), kInitialOffsetsBytes));
  TARNIX_ASSIGN_OR_RETURN(f.metadata, BlobFile::open(fs, join_path(dir, kMetadataFile)));
  TARNIX_RETURN_IF_ERROR(f.check_blobs_mappable());
  return f;
}

Result<DataFiles> DataFiles::open_existing(FileSystem& fs, const std::string& dir) {
  DataFiles f;
  TARNIX_ASSIGN_OR_RETURN(f.vectors, SlotFile::open(fs, join_path(dir, kVectorsFile), 0, false));
  TARNIX_ASSIGN_OR_RETURN(f.graph, SlotFile::open(fs, join_path(dir, kGraphFile), 0, false));
  TARNIX_ASSIGN_OR_RETURN(f.id_offsets,
                          SlotFile::open(fs, join_path(dir, kIdOffsetsFile), 0, false));
  TARNIX_ASSIGN_OR_RETURN(f.ids, BlobFile::open(fs, join_path(dir, kIdsFile), false));
  TARNIX_ASSIGN_OR_RETURN(f.meta_offsets,
                          SlotFile::open(fs, join_path(dir, kMetaOffsetsFile), 0, false));
  TARNIX_ASSIGN_OR_RETURN(f.metadata, BlobFile::open(fs, join_path(dir, kMetadataFile), false));
  TARNIX_RETURN_IF_ERROR(f.check_blobs_mappable());
  return f;
}

Status DataFiles::check_blobs_mappable() const {
  // The id and metadata files are mapped whole when first read. A store too large for this
  // process's address space is refused as it opens, rather than reading as if its records
  // were missing.
  return Mapping::check_room(ids.end() + metadata.end());
}

Status DataFiles::sync_all() {
  for (SlotFile* f : {&vectors, &graph, &id_offsets, &meta_offsets}) {
    TARNIX_RETURN_IF_ERROR(f->flush());
  }
  TARNIX_RETURN_IF_ERROR(ids.datasync());
  return metadata.datasync();
}

}  // namespace tarnix
