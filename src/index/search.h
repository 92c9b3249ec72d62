// Planning a k-nearest search: its width and the choice between an exact scan and a walk of
// the graph.
#pragma once

#include <cstdint>
#include <optional>

namespace tarnix {

enum class SearchPlan { kExactScan, kGraphWalk };

// ef: k + 200, widened for large unfiltered indexes (k + 512 from 20,000 live items, k + 768
// from 100,000, k + 1024 from 300,000). Sums saturate at 2^32 - 1.
uint32_t search_width(uint32_t k, bool filtered, uint64_t live);

// Exact for small indexes and small k, for filters matching under 5 % of the live items, and
// whenever a walk would touch a quarter of the index anyway. `filter_count` is the filter's
// size, or nothing without a filter.
SearchPlan plan_search(uint64_t live, uint32_t k, uint32_t ef,
                       std::optional<uint64_t> filter_count, bool small_exact_disabled,
                       uint64_t small_exact_max);

}  // namespace tarnix
