#include "index/search_context.h"

#include <algorithm>

namespace tarnix {

SearchContext::SearchContext() {
  candidates.reserve(512);
  results.reserve(512);
  top_k.reserve(32);
}

void SearchContext::reset(uint32_t slots, size_t dim) {
  // Over-allocated so a growing store does not reallocate on every search.
  if (visited.size() < slots) visited.resize(size_t{slots} + 50'000, 0);
  if (generation == UINT32_MAX) {
    std::fill(visited.begin(), visited.end(), 0);
    generation = 1;
  } else {
    ++generation;
  }
  candidates.clear();
  results.clear();
  top_k.clear();
  // Never shortened or cleared: bytes past a short query keep earlier values, which is why
  // callers refuse a query of the wrong length.
  if (query.size() < dim) query.resize(dim, 0);
}

SearchContext& SearchContext::for_this_thread() {
  thread_local SearchContext context;
  return context;
}

}  // namespace tarnix
