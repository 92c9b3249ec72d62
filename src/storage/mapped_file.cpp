#include "storage/mapped_file.h"

namespace tarnix {

Result<Mapping> Mapping::map(FileSystem& fs, int fd, size_t length, bool writable, bool shared) {
  Mapping m;
  m.fs_ = &fs;
  if (length == 0) return m;
  Result<void*> p = fs.mmap(fd, length, writable, shared);
  if (!p.ok()) return p.take_status();
  m.data_ = static_cast<uint8_t*>(*p);
  m.size_ = length;
  fs.madvise_random(m.data_, m.size_);
  return m;
}

Status Mapping::resize(int fd, size_t new_length, bool writable, bool shared) {
  if (new_length == size_) return Status();
  if (size_ == 0) {
    Result<Mapping> fresh = map(*fs_, fd, new_length, writable, shared);
    if (!fresh.ok()) return fresh.take_status();
    *this = std::move(*fresh);
    return Status();
  }
  if (new_length == 0) {
    reset();
    return Status();
  }
  Result<void*> p = fs_->mremap(data_, size_, new_length);
  if (!p.ok()) return p.take_status();
  data_ = static_cast<uint8_t*>(*p);
  size_ = new_length;
  fs_->madvise_random(data_, size_);
  return Status();
}

Status Mapping::flush() const {
  if (size_ == 0) return Status();
  return fs_->msync(data_, size_);
}

void Mapping::reset() {
  if (data_) fs_->munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace tarnix
