// Per slot, the part of a distance that depends on the code alone (code_norm). With it an
// exact scan takes one byte dot product per 32 bytes of code instead of three, which is what
// lets a scan from the cache keep up with its reads (distance_run_normed).
//
// Norms are computed a block of slots at a time, by the first scan that wants the block, and
// kept right by every change this index makes to a code: an insert and a followed insert
// recompute their slot's norm, a vacuum (which moves codes) forgets them all. Another store
// may rewrite a code that this index has not followed yet; its norm is then stale, and the
// scan checks its results against the codes themselves (search.cpp).
//
// Thread safety: readers holding the core lock shared may fill blocks concurrently (one at a
// time, under the fill mutex; a block is published once all its norms are written). The
// writers' calls need the core lock exclusively.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace tarnix {

class CodeNorms {
 public:
  static constexpr uint32_t kBlockSlots = 256;

  CodeNorms() = default;
  CodeNorms(const CodeNorms&) = delete;
  CodeNorms& operator=(const CodeNorms&) = delete;
  ~CodeNorms() { clear(); }

  // Whether this CPU has a kernel that uses norms and codes of this length are ones it
  // takes; otherwise block() is always null.
  static bool usable(size_t dim);

  // The norms of block `b` (slots b * kBlockSlots onwards), computed from `codes` (stride
  // dim) if no scan has asked for them yet. Null when the block reaches past `mapped_slots`
  // or the norms are not usable.
  const uint32_t* block(uint64_t b, const uint8_t* codes, uint64_t mapped_slots, size_t dim) const;
  // The slot's code changed: its norm follows, if its block has been computed.
  void code_changed(uint32_t slot, const uint8_t* code, size_t dim);
  // Forgets every norm (the codes moved).
  void clear();

 private:
  // Two levels of lazily allocated tables cover all 2^32 slots without ever moving an
  // entry that a concurrent reader may be loading.
  static constexpr uint32_t kPageBlocks = 4096;
  static constexpr uint32_t kPages = uint32_t((uint64_t{1} << 32) / kBlockSlots / kPageBlocks);
  struct Page {
    std::array<std::atomic<uint32_t*>, kPageBlocks> blocks{};
  };

  uint32_t* find(uint64_t b) const;

  mutable std::mutex fill_mu_;
  mutable std::array<std::atomic<Page*>, kPages> pages_{};
};

}  // namespace tarnix
