// The k-nearest search over the index: the plan, the exact scan and the graph walk.
#include "index/search.h"

#include <algorithm>
#include <cmath>

#include "index/core_index.h"
#include "index/distance.h"
#include "index/row_neighbors.h"
#include "util/env.h"

namespace tarnix {
namespace {

// The exact scan computes distances this many codes at a time; a scan of scattered slots
// keeps the last kScanLag of a block (whose reads were asked for last) for the next one.
constexpr size_t kScanBlock = 256;
constexpr size_t kScanLag = 64;

// A run of at most this many bytes of codes stops early on codes already too far (see
// distance_run_bounded): such a run is mostly read from the cache, where the arithmetic is
// what it waits on. A longer one streams from memory, where skipping the second half of
// each code leaves a pattern the hardware prefetchers follow worse than a plain stream (it
// measured up to half as fast at 1,000,000 codes of 128 bytes), so it reads everything.
constexpr uint64_t kBoundedRunMaxBytes = uint64_t{16} << 20;

// What one node of a walk costs, in codes of an exact scan of scattered matches: a walked
// node brings a row and the codes of its fresh neighbours in from random places, and pays
// for heap and visit bookkeeping, where the scan reads codes in slot order. Measured with
// bench/filter_plan.cpp on 100,000 items of 128-d codes: 250-520 ns a node against 7-9 ns a
// scanned match, 31 to 41 under a filter of random items and up to 58 under one of whole
// clusters (where the walk wades through the clusters that do not match).
constexpr double kWalkNodeCost = 40.0;

// What one code of a contiguous span costs, in codes of a scan of scattered matches: a
// span streams through the bounded kernel at 2.7-6.3 ns a code in the cache (the early stop
// fires less often when a filter leaves out the query's neighbourhood), a scattered match
// is gathered at 7-14 ns (bench/filter_plan.cpp, 100,000 codes of 128-d). A set that fills
// at least this share of its slot range is scanned as the whole span, its non-members
// skipped by a membership check that only codes below the current k-th distance pay.
constexpr double kSpanCodeCost = 0.5;
// The same for a span read with code norms (code_norms.h): 2.0-2.7 ns a code, membership
// checks of a filter of 30-100 % included, against 8.5-9 ns a gathered match (same bench).
constexpr double kNormedSpanCodeCost = 0.3;

// A span's set is copied into flat words (one bit for each slot below the span's end)
// once it has had one lookup for every this many of those slots: on 100,000 slots the copy
// costs about as much as 500 lookups.
constexpr uint64_t kSlotsPerLookupBeforeCopy = 200;

// A span's cost per code, as above, for a span of this many codes.
double span_code_cost(uint64_t span, uint64_t dim) {
  const bool normed = span * dim <= kBoundedRunMaxBytes && CodeNorms::usable(dim);
  return normed ? kNormedSpanCodeCost : kSpanCodeCost;
}

uint32_t saturating_add(uint32_t a, uint32_t b) {
  return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{a} + b, UINT32_MAX));
}

// The exact scan's result list: the k best (distance, slot) pairs seen so far. The entry
// to evict is the greatest pair, not merely the first of the greatest distance: evicting
// an equal-distance entry of a smaller slot would let a later slot win the tie. Slots
// arrive in ascending order, so an equal distance never replaces anything.
class TopK {
 public:
  TopK(std::vector<Candidate>& items, uint32_t k) : items_(items), k_(k) {}

  // Distances at or above the bound cannot enter.
  uint64_t bound() const { return bound_; }

  void offer(Candidate c) {
    if (c.distance >= bound_) return;
    if (items_.size() < k_) {
      items_.push_back(c);
      if (items_.size() == 1 || items_[worst_] < c) worst_ = items_.size() - 1;
      if (items_.size() == k_) bound_ = items_[worst_].distance;
      return;
    }
    items_[worst_] = c;
    worst_ = static_cast<size_t>(std::max_element(items_.begin(), items_.end()) - items_.begin());
    bound_ = items_[worst_].distance;
  }

 private:
  std::vector<Candidate>& items_;
  uint32_t k_;
  size_t worst_ = 0;
  uint64_t bound_ = uint64_t{1} << 32;
};

// Scans `slots` (ascending) against the query: a set dense in its slot range as one span
// of contiguous codes, a sparse one gathered in blocks; in both cases one kernel call per
// block of codes and nothing per code but a comparison with the current k-th distance.
// Returns whether any distance came from the code norms.
bool exact_scan(const uint8_t* query, const uint8_t* codes, uint64_t mapped_slots, size_t dim,
                const Bitmap& slots, const CodeNorms* norms, TopK& top) {
  static_assert(kScanBlock == CodeNorms::kBlockSlots, "a scan block is a block of norms");
  uint32_t d[kScanBlock];
  std::optional<uint32_t> lo = slots.minimum();
  if (!lo) return false;
  const uint32_t hi = *slots.maximum();
  const uint64_t members = slots.cardinality();
  const uint64_t span = uint64_t{hi} - *lo + 1;
  if (static_cast<double>(span) * span_code_cost(span, dim) <= static_cast<double>(members)) {
    // One run (the usual case without deletions or filters) needs no membership check at
    // all. Codes beyond the mapping are skipped. The slots still reach the top-k in
    // ascending order, so ties resolve as in the scattered scan.
    const uint64_t end = std::min<uint64_t>(uint64_t{hi} + 1, mapped_slots);
    const bool bounded = end > *lo && (end - *lo) * dim <= kBoundedRunMaxBytes;
    if (!bounded) norms = nullptr;
    bool normed = false;
    // The loop is instantiated twice, so that a run's inner loop has no membership test.
    // Blocks are aligned with the blocks of norms.
    auto scan_span = [&](auto&& admitted) {
      for (uint64_t s = *lo; s < end;) {
        const uint64_t block = s / kScanBlock;
        const size_t n = static_cast<size_t>(std::min<uint64_t>((block + 1) * kScanBlock, end) - s);
        const uint32_t* block_norms =
            norms ? norms->block(block, codes, mapped_slots, dim) : nullptr;
        const uint8_t* first = codes + s * dim;
        const uint64_t from = s;
        s += n;
        if (block_norms) {
          normed = true;
          if (!distance_run_normed(query, first, block_norms + from % kScanBlock, n, dim,
                                   top.bound(), d)) {
            continue;
          }
        } else if (bounded) {
          if (!distance_run_bounded(query, first, n, dim, top.bound(), d)) continue;
        } else {
          distance_run(query, first, n, dim, d);
        }
        for (size_t j = 0; j < n; ++j) {
          const uint32_t slot = static_cast<uint32_t>(from + j);
          if (d[j] < top.bound() && admitted(slot)) top.offer({d[j], slot});
        }
      }
    };
    if (members == span) {
      scan_span([](uint32_t) { return true; });
      return normed;
    }
    // Membership by lookups in the set while few codes need one. A filter that leaves out
    // the query's neighbourhood has every code near the query come in below the k-th
    // distance of the matches, and then the set is copied into flat words once.
    std::vector<uint64_t> words;
    uint64_t lookups = 0;
    scan_span([&](uint32_t slot) {
      if (words.empty()) {
        if (++lookups * kSlotsPerLookupBeforeCopy <= end) return slots.contains(slot);
        words.assign((end + 63) / 64, 0);
        slots.to_words(words.data(), words.size());
      }
      return (words[slot / 64] >> (slot % 64) & 1) != 0;
    });
    return normed;
  }
  // Scattered slots: each code is prefetched when its slot comes up and its distance taken
  // at least kScanLag slots later, so the read is under way well before it is needed.
  uint32_t block_slots[kScanBlock];
  const uint8_t* block_codes[kScanBlock];
  size_t count = 0;
  auto compute = [&](size_t n) {
    distance_gather(query, block_codes, n, dim, d);
    for (size_t j = 0; j < n; ++j) {
      if (d[j] < top.bound()) top.offer({d[j], block_slots[j]});
    }
  };
  slots.for_each([&](uint32_t s) {
    if (s >= mapped_slots) return false;  // ascending: every later slot is beyond it too
    const uint8_t* code = codes + uint64_t{s} * dim;
    prefetch_code(code, dim);
    block_slots[count] = s;
    block_codes[count++] = code;
    if (count == kScanBlock) {
      compute(kScanBlock - kScanLag);
      std::copy(block_slots + kScanBlock - kScanLag, block_slots + kScanBlock, block_slots);
      std::copy(block_codes + kScanBlock - kScanLag, block_codes + kScanBlock, block_codes);
      count = kScanLag;
    }
    return true;
  });
  if (count) compute(count);
  return false;
}

}  // namespace

uint32_t search_width(uint32_t k, uint64_t live, std::optional<uint32_t> configured) {
  if (configured) return std::max(k, *configured);
  uint32_t ef = saturating_add(k, 200);
  if (live >= 20'000) ef = std::max(ef, saturating_add(k, 512));
  if (live >= 100'000) ef = std::max(ef, saturating_add(k, 768));
  if (live >= 300'000) ef = std::max(ef, saturating_add(k, 1024));
  return ef;
}

uint32_t filtered_width(uint32_t k, uint32_t width, uint64_t live, uint64_t matches) {
  uint32_t floor = std::min(saturating_add(k, 200), width);
  if (live == 0 || matches >= live) return std::max(floor, width);
  double scaled = std::ceil(static_cast<double>(width) * static_cast<double>(matches) /
                            static_cast<double>(live));
  return std::max({floor, k, static_cast<uint32_t>(std::min<double>(scaled, UINT32_MAX))});
}

double exact_scan_cost(uint64_t matches, uint64_t span, uint64_t dim) {
  return std::min(static_cast<double>(matches),
                  static_cast<double>(span) * span_code_cost(span, dim)) *
         static_cast<double>(dim);
}

double filtered_walk_cost(uint32_t ef, uint64_t live, uint64_t matches, uint64_t dim) {
  if (matches == 0) return 0;
  double nodes = static_cast<double>(ef) * static_cast<double>(live) / static_cast<double>(matches);
  return nodes * kWalkNodeCost * static_cast<double>(dim);
}

PlanChoice plan_search(uint64_t live, uint32_t k, uint32_t width, std::optional<uint64_t> matches,
                       uint64_t dim, bool small_exact_disabled, uint64_t small_exact_max) {
  if (!matches) {
    if (live == 0) return {SearchPlan::kGraphWalk, width};
    bool quarter_rule = live / 4 < width;
    bool exact =
        k <= 20 && !small_exact_disabled ? live <= small_exact_max || quarter_rule : quarter_rule;
    return {exact ? SearchPlan::kExactScan : SearchPlan::kGraphWalk, width};
  }
  const uint32_t ef = filtered_width(k, width, live, *matches);
  if (live == 0) return {SearchPlan::kGraphWalk, ef};
  // The matches lie among the live slots, so their span is taken as the live count.
  bool cheaper =
      exact_scan_cost(*matches, live, dim) <= filtered_walk_cost(ef, live, *matches, dim);
  bool exact = cheaper || *matches < live / 20 || live / 4 < ef;
  return {exact ? SearchPlan::kExactScan : SearchPlan::kGraphWalk, ef};
}

std::vector<Candidate> CoreIndex::search_core(uint32_t k, uint32_t ef, const Bitmap* filter,
                                              const Bitmap* expired, SearchContext& context,
                                              std::optional<SearchPlan> forced) const {
  const uint64_t live = valid_ids.cardinality();
  // Under a filter only its live, unexpired slots can be results: one set, computed once,
  // serves the plan (its size), the scan (its slots) and the walk (one membership test).
  // For a consistent index the filter holds only live slots, but a graph row damaged on
  // disk or left by a crash may point at a slot that was never handed out, and that must
  // not come back as an answer.
  std::optional<Bitmap> allowed;
  std::optional<uint64_t> matches;
  if (filter) {
    allowed = *filter & valid_ids;
    if (expired) *allowed -= *expired;
    matches = allowed->cardinality();
    if (*matches == 0) return {};
  }
  PlanChoice choice =
      plan_search(live, k, ef, matches, dim, env_flag_true("TARNIX_DISABLE_SMALL_EXACT_SEARCH"),
                  env_usize("TARNIX_SMALL_EXACT_MAX").value_or(50'000));
  if (forced) choice.plan = *forced;
  ef = choice.ef;
  const uint8_t* query = context.query.data();

  if (choice.plan == SearchPlan::kExactScan) {
    std::vector<Candidate>& top_k = context.top_k;
    if (k == 0 || dim == 0) return {};
    const uint64_t mapped = files.vectors.length() / dim;
    std::optional<Bitmap> unexpired;
    if (!allowed && expired) unexpired = valid_ids - *expired;
    const Bitmap& slots = allowed ? *allowed : unexpired ? *unexpired : valid_ids;
    // Whether every result's distance is the one its code gives now.
    auto all_exact = [&](const std::vector<Candidate>& found) {
      return std::all_of(found.begin(), found.end(), [&](const Candidate& c) {
        const uint8_t* code = vector_at(c.slot);
        return code && distance(query, code, dim) == c.distance;
      });
    };
    TopK top(top_k, k);
    if (exact_scan(query, files.vectors.data(), mapped, dim, slots, &code_norms, top) &&
        !all_exact(top_k)) {
      // Another store rewrote a code this index has not followed yet, under a norm computed
      // for the code before: that distance is neither the old one nor the new one. Without
      // norms the scan sees the codes as they are, as a walk does.
      top_k.clear();
      TopK exact(top_k, k);
      exact_scan(query, files.vectors.data(), mapped, dim, slots, nullptr, exact);
    }
    std::sort(top_k.begin(), top_k.end());
    return top_k;
  }

  auto admissible = [&](uint32_t slot) {
    if (allowed) return allowed->contains(slot);
    return valid_ids.contains(slot) && !(expired && expired->contains(slot));
  };

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
        if (valid_ids.contains(c) &&
            std::find(entries.begin(), entries.end(), c) == entries.end()) {
          entries.push_back(c);
        }
      }
    }
  }

  MinCandidateHeap& candidates = context.candidates;
  MaxCandidateHeap& results = context.results;
  auto offer_result = [&](Candidate c) {
    if (!admissible(c.slot)) return;
    results.push_bounded(c, ef);
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

  // Expansion: a row's fresh neighbours are gathered, their distances taken in one batch,
  // and then considered in row order, as one pass over the row would.
  uint32_t d[kRowNeighbors];
  while (!candidates.empty()) {
    Candidate c = candidates.pop();
    if (results.size() >= ef && !results.empty() && results.top().distance < c.distance) break;
    const uint32_t* row = row_at(c.slot);
    if (!row) continue;
    FreshNeighbors fresh =
        gather_fresh_neighbors(context, row, dim, [this](uint32_t s) { return vector_at(s); });
    distance_gather(query, fresh.codes, fresh.count, dim, d);
    for (size_t j = 0; j < fresh.count; ++j) {
      if (results.size() < ef || results.empty() || d[j] < results.top().distance) {
        candidates.push({d[j], fresh.slots[j]});
        offer_result({d[j], fresh.slots[j]});
        // A new candidate's row is read when it is expanded, which is often soon.
        if (const uint32_t* next = row_at(fresh.slots[j])) __builtin_prefetch(next);
      }
    }
  }
  // Only the k nearest are asked for: sorting the whole width (hundreds) would cost more
  // than the selection.
  std::vector<Candidate>& found = results.items();
  const size_t keep = std::min<size_t>(k, found.size());
  std::partial_sort(found.begin(), found.begin() + keep, found.end());
  return std::vector<Candidate>(found.begin(), found.begin() + keep);
}

}  // namespace tarnix
