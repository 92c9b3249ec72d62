// Planning a k-nearest search: its width and the choice between an exact scan and a walk of
// the graph.
#pragma once

#include <cstdint>
#include <optional>

namespace tarnix {

enum class SearchPlan { kExactScan, kGraphWalk };

// The walk's width without a filter. `configured` (TARNIX_SEARCH_EF) replaces the schedule
// when set, never below k; otherwise k + 200, widened with the live count (k + 512 from
// 20,000 live items, k + 768 from 100,000, k + 1024 from 300,000). Sums saturate at 2^32 - 1.
uint32_t search_width(uint32_t k, uint64_t live, std::optional<uint32_t> configured = {});

// The width of a walk under a filter that admits `matches` of the `live` items. Only matches
// enter the results, so a walk that keeps ef of them has passed about ef * live / matches
// nodes: the width scales with the filter's share to reach as far as the unfiltered walk of
// `width` does (which is what its recall follows), and never drops below k + 200 (or
// `width`, if that is smaller) so that no filtered walk is narrower than it used to be.
uint32_t filtered_width(uint32_t k, uint32_t width, uint64_t live, uint64_t matches);

struct PlanChoice {
  SearchPlan plan;
  uint32_t ef;  // the walk's width (for a scan, the width the rule compared with)
};

// Without a filter (`matches` empty): exact for small indexes and small k, and whenever a
// walk would touch a quarter of the index anyway; otherwise a walk of `width`.
//
// With a filter that admits `matches` live items: exact whenever scanning those codes costs
// no more than the filtered walk would (see the .cpp for the estimate), or whenever the
// matches are under 5 % of the live items or the walk would touch a quarter of the index;
// otherwise a walk of filtered_width.
PlanChoice plan_search(uint64_t live, uint32_t k, uint32_t width, std::optional<uint64_t> matches,
                       uint64_t dim, bool small_exact_disabled, uint64_t small_exact_max);

// The estimate behind the filtered choice, in bytes of codes read: the scan reads every
// match once, in slot order, or, for matches dense in their `span` of slots, streams the
// whole span at a fraction of a gathered match's cost (a smaller one where the span is
// read with code norms, which `dim` and the span decide); the walk passes about
// ef * live / matches nodes, and a node (its row, its fresh neighbours' codes, all at random
// places, and the heap work) costs as much as scanning a few dozen codes.
double exact_scan_cost(uint64_t matches, uint64_t span, uint64_t dim);
double filtered_walk_cost(uint32_t ef, uint64_t live, uint64_t matches, uint64_t dim);

}  // namespace tarnix
