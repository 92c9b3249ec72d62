#include "storage/data_files.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "storage/format.h"

namespace tarnix {

Result<SlotFile> SlotFile::open(FileSystem& fs, const std::string& path, uint64_t min_length,
                                bool shared, bool create) {
  SlotFile f;
  f.shared_ = shared;
  TARNIX_ASSIGN_OR_RETURN(f.file_, File::open(fs, path, O_RDWR | (create ? O_CREAT : 0)));
  uint64_t length;
  TARNIX_ASSIGN_OR_RETURN(length, f.file_.size());
  if (length < min_length) {
    TARNIX_RETURN_IF_ERROR(f.file_.truncate(min_length));
    // Durable before rows can name the new slots (see set_length).
    if (shared) TARNIX_RETURN_IF_ERROR(f.file_.datasync());
    length = min_length;
  }
  TARNIX_ASSIGN_OR_RETURN(f.map_, Mapping::map(fs, f.file_.fd(), length, true, shared));
  return f;
}

Status SlotFile::set_length(uint64_t new_length) {
  if (new_length == map_.size()) return Status();
  if (new_length > map_.size()) {
    TARNIX_RETURN_IF_ERROR(file_.truncate(new_length));
    // Rows written next may name the new slots, and the kernel may write those pages back
    // at any time: were the new length lost in a power loss, they would point past the end.
    if (shared_) TARNIX_RETURN_IF_ERROR(file_.datasync());
    return map_.resize(file_.fd(), new_length, true, shared_);
  }
  TARNIX_RETURN_IF_ERROR(map_.resize(file_.fd(), new_length, true, shared_));
  reserved_ = std::min(reserved_, new_length);
  return file_.truncate(new_length);
}

Status SlotFile::reserve_through(uint64_t end) {
  // A private mapping's writes land in anonymous memory, never in the file.
  if (end <= reserved_ || !shared_) return Status();
  uint64_t target = std::min<uint64_t>(map_.size(), end + kReserveAheadBytes);
  if (target <= reserved_) return Status();
  TARNIX_RETURN_IF_ERROR(file_.allocate(reserved_, target - reserved_));
  reserved_ = target;
  return Status();
}

Status SlotFile::flush() {
  if (!shared_) return Status();
  TARNIX_RETURN_IF_ERROR(map_.flush());
  return file_.datasync();
}

Status SlotFile::datasync() { return shared_ ? file_.datasync() : Status(); }

std::optional<std::string_view> BlobView::record(uint64_t offset, uint32_t max_length) const {
  if (offset > end_ || end_ - offset < 4) return std::nullopt;
  const uint8_t* base;
  uint64_t avail;
  if (offset >= tail_base_ && !tail_.empty()) {
    base = reinterpret_cast<const uint8_t*>(tail_.data()) + (offset - tail_base_);
    avail = tail_.size() - std::min<uint64_t>(tail_.size(), offset - tail_base_);
  } else {
    if (!data_ || offset > size_) return std::nullopt;
    base = data_ + offset;
    avail = size_ - offset;
  }
  if (avail < 4) return std::nullopt;
  uint32_t len;
  std::memcpy(&len, base, 4);
  if (len > max_length || avail - 4 < len) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(base + 4), len);
}

BlobFile::BlobFile(BlobFile&& other) noexcept { *this = std::move(other); }

BlobFile& BlobFile::operator=(BlobFile&& other) noexcept {
  file_ = std::move(other.file_);
  end_ = other.end_;
  shared_ = other.shared_;
  private_tail_ = std::move(other.private_tail_);
  private_base_ = other.private_base_;
  read_map_ = std::move(other.read_map_);
  return *this;
}

Result<BlobFile> BlobFile::open(FileSystem& fs, const std::string& path, bool shared,
                                bool create) {
  BlobFile f;
  f.shared_ = shared;
  TARNIX_ASSIGN_OR_RETURN(f.file_, File::open(fs, path, O_RDWR | (create ? O_CREAT : 0)));
  TARNIX_ASSIGN_OR_RETURN(f.end_, f.file_.size());
  f.private_base_ = f.end_;
  return f;
}

Result<uint64_t> BlobFile::append(std::string_view bytes) {
  std::lock_guard<std::mutex> writer_lock(writer_mu_);
  uint64_t offset = end_;
  uint32_t len = static_cast<uint32_t>(bytes.size());
  if (shared_) {
    // Written at the logical end, so the bytes of an earlier failed append are overwritten.
    std::string record(4 + bytes.size(), '\0');
    std::memcpy(record.data(), &len, 4);
    std::memcpy(record.data() + 4, bytes.data(), bytes.size());
    TARNIX_RETURN_IF_ERROR(file_.pwrite_all(record.data(), record.size(), offset));
  } else {
    private_tail_.resize(offset - private_base_);
    private_tail_.append(reinterpret_cast<const char*>(&len), 4);
    private_tail_.append(bytes);
  }
  end_ = offset + 4 + bytes.size();
  std::lock_guard<std::mutex> map_lock(map_mu_);
  read_map_.reset();
  return offset;
}

Status BlobFile::ensure_read_map() const {
  // A private file only ever needs what it held at open. A shared one may have grown since
  // the mapping was made by another process's appends, and this process's slots may name
  // them: a writer that rebuilds its index replays the log again, and the replayed items'
  // slots then name the new copies of their records.
  if (!shared_ && (read_map_ || end_ == 0)) return Status();
  std::lock_guard<std::mutex> writer_lock(writer_mu_);
  uint64_t size;
  TARNIX_ASSIGN_OR_RETURN(size, file_.size());
  if (size == 0 || (read_map_ && read_map_->size() >= size)) return Status();
  TARNIX_ASSIGN_OR_RETURN(read_map_, Mapping::map(file_.fs(), file_.fd(), size, false, true));
  return Status();
}

BlobView BlobFile::current_view() const {
  // Without a mapping every record reads as missing; callers that must know use
  // with_checked_view.
  Status mapped = ensure_read_map();
  (void)mapped;
  const uint8_t* data = read_map_ ? read_map_->data() : nullptr;
  uint64_t size = read_map_ ? read_map_->size() : 0;
  // Records past this process's own end were appended by another process; the slot that
  // names one is the proof it is whole.
  if (shared_) return BlobView(data, size, std::max(end_, size), {}, std::max(end_, size));
  return BlobView(data, std::min(size, private_base_), end_, private_tail_, private_base_);
}

Status BlobFile::datasync() {
  std::lock_guard<std::mutex> writer_lock(writer_mu_);
  return shared_ ? file_.datasync() : Status();
}

Result<DataFiles> DataFiles::open(FileSystem& fs, const std::string& dir, bool shared) {
  DataFiles f;
  TARNIX_ASSIGN_OR_RETURN(f.vectors, SlotFile::open(fs, join_path(dir, kVectorsFile), 0, shared));
  TARNIX_ASSIGN_OR_RETURN(
      f.graph, SlotFile::open(fs, join_path(dir, kGraphFile), kInitialGraphBytes, shared));
  TARNIX_ASSIGN_OR_RETURN(
      f.id_offsets,
      SlotFile::open(fs, join_path(dir, kIdOffsetsFile), kInitialOffsetsBytes, shared));
  TARNIX_ASSIGN_OR_RETURN(f.ids, BlobFile::open(fs, join_path(dir, kIdsFile), shared));
  TARNIX_ASSIGN_OR_RETURN(
      f.meta_offsets,
      SlotFile::open(fs, join_path(dir, kMetaOffsetsFile), kInitialOffsetsBytes, shared));
  TARNIX_ASSIGN_OR_RETURN(f.metadata, BlobFile::open(fs, join_path(dir, kMetadataFile), shared));
  return f;
}

Result<DataFiles> DataFiles::open_existing(FileSystem& fs, const std::string& dir) {
  DataFiles f;
  TARNIX_ASSIGN_OR_RETURN(f.vectors,
                          SlotFile::open(fs, join_path(dir, kVectorsFile), 0, true, false));
  TARNIX_ASSIGN_OR_RETURN(f.graph, SlotFile::open(fs, join_path(dir, kGraphFile), 0, true, false));
  TARNIX_ASSIGN_OR_RETURN(f.id_offsets,
                          SlotFile::open(fs, join_path(dir, kIdOffsetsFile), 0, true, false));
  TARNIX_ASSIGN_OR_RETURN(f.ids, BlobFile::open(fs, join_path(dir, kIdsFile), true, false));
  TARNIX_ASSIGN_OR_RETURN(f.meta_offsets,
                          SlotFile::open(fs, join_path(dir, kMetaOffsetsFile), 0, true, false));
  TARNIX_ASSIGN_OR_RETURN(f.metadata,
                          BlobFile::open(fs, join_path(dir, kMetadataFile), true, false));
  return f;
}

Status DataFiles::sync_all() {
  for (SlotFile* f : {&vectors, &graph, &id_offsets, &meta_offsets}) {
    TARNIX_RETURN_IF_ERROR(f->flush());
  }
  TARNIX_RETURN_IF_ERROR(ids.datasync());
  return metadata.datasync();
}

}  // namespace tarnix
