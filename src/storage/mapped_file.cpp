#include "storage/mapped_file.h"

#include <cerrno>

#include <atomic>
#include <cstdint>
#include <string>

#include "util/env.h"

namespace tarnix {
namespace {

std::atomic<uint64_t> g_mapped_bytes{0};

constexpr uint64_t kWordLimit = SIZE_MAX < UINT64_MAX ? kMaxMappedBytes32 : UINT64_MAX;

// "2.0 GiB", "12.5 MiB": to a tenth, rounded to nearest.
std::string size_text(uint64_t bytes) {
  int shift = bytes >= (uint64_t{1} << 30) ? 30 : 20;
  uint64_t unit = uint64_t{1} << shift;
  uint64_t tenths = bytes / unit * 10 + ((bytes % unit) * 10 + unit / 2) / unit;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
         (shift == 30 ? " GiB" : " MiB");
}

Status no_room(uint64_t more) {
  uint64_t limit = Mapping::limit();
  std::string what = limit == kMaxMappedBytes32 && kWordLimit == kMaxMappedBytes32
                         ? "the most a 32-bit process maps"
                         : "the TARNIX_MAX_MAPPED_BYTES limit";
  return Status::io_error(ENOMEM, "mapping " + std::to_string(more) +
                                      " more bytes would take the mapped store files past " +
                                      size_text(limit) + ", " + what + " (" +
                                      size_text(Mapping::mapped_bytes()) + " mapped now)");
}

// Takes `more` bytes from the budget, or fails leaving it as it was.
Status reserve(uint64_t more) {
  uint64_t limit = Mapping::limit();
  uint64_t now = g_mapped_bytes.load(std::memory_order_relaxed);
  do {
    if (more > limit || now > limit - more) return no_room(more);
  } while (!g_mapped_bytes.compare_exchange_weak(now, now + more, std::memory_order_relaxed));
  return Status();
}

void release(uint64_t bytes) {
  g_mapped_bytes.fetch_sub(bytes, std::memory_order_relaxed);
}

}  // namespace

uint64_t Mapping::limit() {
  std::optional<uint64_t> lowered = env_u64_trimmed("TARNIX_MAX_MAPPED_BYTES");
  return lowered && *lowered < kWordLimit ? *lowered : kWordLimit;
}

uint64_t Mapping::mapped_bytes() {
  return g_mapped_bytes.load(std::memory_order_relaxed);
}

Status Mapping::check_room(uint64_t more) {
  uint64_t limit = Mapping::limit();
  uint64_t now = mapped_bytes();
  if (more > limit || now > limit - more) return no_room(more);
  return Status();
}

Result<Mapping> Mapping::map(FileSystem& fs, int fd, uint64_t length, bool writable, bool shared) {
  Mapping m;
  m.fs_ = &fs;
  if (length == 0) return m;
  TARNIX_RETURN_IF_ERROR(reserve(length));
  Result<void*> p = fs.mmap(fd, static_cast<size_t>(length), writable, shared);
  if (!p.ok()) {
    release(length);
    return p.take_status();
  }
  m.data_ = static_cast<uint8_t*>(*p);
  m.size_ = static_cast<size_t>(length);
  fs.madvise_random(m.data_, m.size_);
  return m;
}

Status Mapping::resize(int fd, uint64_t new_length, bool writable, bool shared) {
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
  uint64_t growth = new_length > size_ ? new_length - size_ : 0;
  TARNIX_RETURN_IF_ERROR(reserve(growth));
  Result<void*> p = fs_->mremap(data_, size_, static_cast<size_t>(new_length));
  if (!p.ok()) {
    release(growth);
    return p.take_status();
  }
  if (new_length < size_) release(size_ - new_length);
  data_ = static_cast<uint8_t*>(*p);
  size_ = static_cast<size_t>(new_length);
  fs_->madvise_random(data_, size_);
  return Status();
}

Status Mapping::flush() const {
  if (size_ == 0) return Status();
  return fs_->msync(data_, size_);
}

void Mapping::reset() {
  if (data_) {
    fs_->munmap(data_, size_);
    release(size_);
  }
  data_ = nullptr;
  size_ = 0;
}

}  // namespace tarnix
