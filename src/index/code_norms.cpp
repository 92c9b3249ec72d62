#include "index/code_norms.h"

#include "index/distance.h"

namespace tarnix {

bool CodeNorms::usable(size_t dim) {
  static const bool have_kernel = best_distance_run_normed_fn() != nullptr;
  return have_kernel && dim != 0 && dim % 32 == 0;
}

uint32_t* CodeNorms::find(uint64_t b) const {
  if (b >= uint64_t{kPages} * kPageBlocks) return nullptr;
  const Page* page = pages_[b / kPageBlocks].load(std::memory_order_acquire);
  return page ? page->blocks[b % kPageBlocks].load(std::memory_order_acquire) : nullptr;
}

const uint32_t* CodeNorms::block(uint64_t b, const uint8_t* codes, uint64_t mapped_slots,
                                 size_t dim) const {
  const uint64_t first = b * kBlockSlots;
  if (first + kBlockSlots > mapped_slots || !usable(dim)) return nullptr;
  if (const uint32_t* norms = find(b)) return norms;
  std::lock_guard<std::mutex> lock(fill_mu_);
  if (const uint32_t* norms = find(b)) return norms;  // another reader filled it meanwhile
  std::atomic<Page*>& page_entry = pages_[b / kPageBlocks];
  Page* page = page_entry.load(std::memory_order_relaxed);
  if (!page) {
    page = new Page();
    page_entry.store(page, std::memory_order_release);
  }
  uint32_t* norms = new uint32_t[kBlockSlots];
  for (uint32_t j = 0; j < kBlockSlots; ++j) norms[j] = code_norm(codes + (first + j) * dim, dim);
  page->blocks[b % kPageBlocks].store(norms, std::memory_order_release);
  return norms;
}

void CodeNorms::code_changed(uint32_t slot, const uint8_t* code, size_t dim) {
  if (uint32_t* norms = find(slot / kBlockSlots)) norms[slot % kBlockSlots] = code_norm(code, dim);
}

void CodeNorms::clear() {
  for (std::atomic<Page*>& entry : pages_) {
    Page* page = entry.exchange(nullptr, std::memory_order_relaxed);
    if (!page) continue;
    for (std::atomic<uint32_t*>& block : page->blocks) {
      delete[] block.load(std::memory_order_relaxed);
    }
    delete page;
  }
}

}  // namespace tarnix
