// The k-nearest search over the index: the plan, the exact scan and the graph walk.
#include "index/search.h"

#include <algorithm>

#include "index/core_index.h"
#include "index/distance.h"
#include "index/row_neighbors.h"
#include "util/env.h"

namespace tarnix {
namespace {

uint32_t saturating_add(uint32_t a, uint32_t b) {
  return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{a} + b, UINT32_MAX));
}

// The exact scan's result list: the k best (distance, slot) pairs seen so far. The entry
// to evict is the greatest pair, not merely the first of the greatest distance: evicting
// an equal-distance entry of a smaller slot would let a later slot win the tie. Slots
// arrive in ascending order, so an equal distance never replaces anything.
void keep_best(std::vector<Candidate>& top_k, uint32_t k, size_t& worst, Candidate c) {
  if (k == 0) return;
  if (top_k.size() < k) {
    top_k.push_back(c);
    if (top_k.size() == 1 || top_k[worst] < c) worst = top_k.size() - 1;
    return;
  }
  if (c.distance >= top_k[worst].distance) return;
  top_k[worst] = c;
  worst = static_cast<size_t>(std::max_element(top_k.begin(), top_k.end()) - top_k.begin());
}

}  // namespace

uint32_t search_width(uint32_t k, bool filtered, uint64_t live) {
  uint32_t ef = saturating_add(k, 200);
  if (!filtered) {
    if (live >= 20'000) ef = std::max(ef, saturating_add(k, 512));
    if (live >= 100'000) ef = std::max(ef, saturating_add(k, 768));
    if (live >= 300'000) ef = std::max(ef, saturating_add(k, 1024));
  }
  return ef;
}

SearchPlan plan_search(uint64_t live, uint32_t k, uint32_t ef,
                       std::optional<uint64_t> filter_count, bool small_exact_disabled,
                       uint64_t small_exact_max) {
  if (live == 0) return SearchPlan::kGraphWalk;
  bool quarter_rule = live / 4 < ef;
  if (!filter_count && k <= 20 && !small_exact_disabled) {
    return live <= small_exact_max || quarter_rule ? SearchPlan::kExactScan
                                                   : SearchPlan::kGraphWalk;
  }
  bool selective = filter_count && *filter_count < live / 20;
  return selective || quarter_rule ? SearchPlan::kExactScan : SearchPlan::kGraphWalk;
}

std::vector<Candidate> CoreIndex::search_core(uint32_t k, uint32_t ef, const Bitmap* filter,
                                              const Bitmap* expired,
                                              SearchContext& context) const {
  const uint64_t live = valid_ids.cardinality();
  std::optional<uint64_t> filter_count;
  if (filter) filter_count = filter->cardinality();
  SearchPlan plan =
      plan_search(live, k, ef, filter_count, env_flag_true("TARNIX_DISABLE_SMALL_EXACT_SEARCH"),
                  env_usize("TARNIX_SMALL_EXACT_MAX").value_or(50'000));
  const uint8_t* query = context.query.data();

  // Only live slots are ever results. For a consistent index "not deleted" would do, but a
  // graph row damaged on disk or left by a crash may point at a slot that was never handed
  // out, and that must not come back as an answer.
  auto admissible = [&](uint32_t slot) {
    return valid_ids.contains(slot) && !(expired && expired->contains(slot)) &&
           !(filter && !filter->contains(slot));
  };

  if (plan == SearchPlan::kExactScan) {
    std::vector<Candidate>& top_k = context.top_k;
    size_t worst = 0;
    auto scan = [&](uint32_t slot) {
      const uint8_t* v = vector_at(slot);
      if (v) keep_best(top_k, k, worst, {distance(query, v, dim), slot});
    };
    if (filter) {
      Bitmap slots = *filter & valid_ids;
      if (expired) slots -= *expired;
      slots.for_each(scan);
    } else {
      valid_ids.for_each([&](uint32_t slot) {
        if (!(expired && expired->contains(slot))) scan(slot);
      });
    }
    std::sort(top_k.begin(), top_k.end());
    return top_k;
  }

  // Graph walk: choose where to start.
  if (!enter_point || dim == 0) return {};
  uint32_t start = *enter_point;
  std::vector<uint32_t> entries;
  if (!filter) {
    if (env_flag_true("TARNIX_SMART_ENTRY") && !valid_ids.empty() && vector_at(start)) {
      uint32_t best_d = distance(query, vector_at(start), dim);
      uint32_t highest = *valid_ids.maximum();
      if (live >= 2 && highest > 0) {
        uint32_t h = 0x739d0383u;
        for (size_t i = 0; i < std::min<size_t>(dim, 16); ++i) h = (h ^ query[i]) * 435u;
        for (uint32_t i = 1; i <= 12; ++i) {
          h = h * 0x4c957f2du + i;
          uint32_t c = static_cast<uint32_t>(h % (uint64_t{highest} + 1));
          for (int probe = 0; probe < 4 && !valid_ids.contains(c); ++probe) {
            c = c == highest ? 0 : c + 1;
          }
          const uint8_t* v = vector_at(c);
          if (!valid_ids.contains(c) || !v) continue;
          uint32_t d = distance(query, v, dim);
          if (d < best_d) {
            start = c;
            best_d = d;
          }
        }
      }
    }
    if (live >= 5'000 && env_flag_true("TARNIX_MULTI_ENTRY_SEARCH")) {
      entries.push_back(start);
      uint32_t highest = *valid_ids.maximum();
      for (uint32_t p : {highest / 3, 2 * (highest / 3), highest}) {
        uint32_t c = p;
        for (int probe = 0; probe < 8 && !valid_ids.contains(c); ++probe) {
          c = c == highest ? 0 : c + 1;
        }
        if (valid_ids.contains(c) && std::find(entries.begin(), entries.end(), c) ==
                                         entries.end()) {
          entries.push_back(c);
        }
      }
    }
  }

  MinCandidateHeap& candidates = context.candidates;
  MaxCandidateHeap& results = context.results;
  auto offer_result = [&](Candidate c) {
    if (!admissible(c.slot)) return;
    results.push(c);
    if (results.size() > ef) results.pop();
  };

  // Seeding.
  if (!entries.empty()) {
    for (uint32_t e : entries) {
      const uint8_t* v = vector_at(e);
      if (!v || !context.visit(e)) continue;
      Candidate c{distance(query, v, dim), e};
      candidates.push(c);
      offer_result(c);
    }
  } else {
    const uint8_t* v = vector_at(start);
    if (!v) return {};
    Candidate c{distance(query, v, dim), start};
    candidates.push(c);
    context.visit(start);
    offer_result(c);
  }

  // Expansion.
  while (!candidates.empty()) {
    Candidate c = candidates.pop();
    if (results.size() >= ef && !results.empty() && results.top().distance < c.distance) break;
    const uint32_t* row = row_at(c.slot);
    if (!row) continue;
    FreshNeighbors fresh =
        gather_fresh_neighbors(context, row, dim, [this](uint32_t s) { return vector_at(s); });
    for (size_t j = 0; j < fresh.count; ++j) {
      uint32_t d = distance(query, fresh.codes[j], dim);
      if (results.size() < ef || results.empty() || d < results.top().distance) {
        candidates.push({d, fresh.slots[j]});
        offer_result({d, fresh.slots[j]});
      }
    }
    if (!candidates.empty()) {
      if (const uint32_t* next = row_at(candidates.top().slot)) __builtin_prefetch(next);
    }
  }
  std::vector<Candidate> out = results.items();
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace tarnix
