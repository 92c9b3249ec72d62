// Quantization, the distance kernels and the search scratch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#if defined(__arm__)
#include <sys/auxv.h>
#endif

#include "index/distance.h"
#include "index/quantize.h"
#include "index/search.h"
#include "index/search_context.h"

namespace tarnix {
namespace {

TEST(Quantize, MapsTheClampedRangeOntoBytes) {
  struct Case {
    float x;
    uint8_t code;
  } cases[] = {{-1.0f, 0},   {0.0f, 127},     {0.5f, 191},        {1.0f, 255},
               {3.0f, 255},  {-7.0f, 0},      {std::nanf(""), 0}, {-0.999f, 0},
               {1e-9f, 127}, {INFINITY, 255}, {-INFINITY, 0}};
  for (const Case& c : cases) EXPECT_EQ(quantize_component(c.x), c.code) << c.x;
}

TEST(Distance, VectorisedKernelAgreesWithScalarOnEveryLength) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  DistanceFn fast = best_distance_fn();
#if defined(__arm__) && !defined(__aarch64__)
  // A CPU with NEON (every armhf board worth running on, and the emulator) gets the kernel.
  if (getauxval(AT_HWCAP) & (1UL << 12)) {
    EXPECT_NE(fast, &distance_scalar);
  }
#endif
  for (size_t n = 0; n <= 300; ++n) {
    for (int round = 0; round < 4; ++round) {
      // Codes start at every offset within a word: slot rows are packed at the dimension's
      // stride, so a kernel must not rely on aligned loads.
      size_t shift = static_cast<size_t>(round);
      std::vector<uint8_t> a(n + 3), b(n + 3);
      uint8_t* pa = a.data() + shift;
      uint8_t* pb = b.data() + (3 - shift);
      for (size_t i = 0; i < n; ++i) {
        // Extremes as well as random codes, so saturation paths are exercised.
        pa[i] = round == 0 ? 255 : static_cast<uint8_t>(byte(rng));
        pb[i] = round == 0 ? 0 : static_cast<uint8_t>(byte(rng));
      }
      ASSERT_EQ(fast(pa, pb, n), distance_scalar(pa, pb, n)) << n;
    }
  }
  uint8_t x[3] = {1, 2, 3}, y[3] = {1, 3, 3};
  EXPECT_EQ(distance(x, x, 3), 0u);
  EXPECT_EQ(distance(x, y, 3), 1u);
}

TEST(SearchContext, GenerationStampsAndWrap) {
  SearchContext ctx;
  ctx.reset(10, 4);
  EXPECT_GE(ctx.visited.size(), 10u + 50'000u);
  EXPECT_EQ(ctx.query.size(), 4u);
  EXPECT_TRUE(ctx.visit(3));
  EXPECT_FALSE(ctx.visit(3));
  ctx.reset(10, 2);
  EXPECT_TRUE(ctx.visit(3));        // a new search sees nothing visited
  EXPECT_EQ(ctx.query.size(), 4u);  // never shortened

  ctx.generation = UINT32_MAX;
  ctx.visited[5] = UINT32_MAX;
  ctx.reset(10, 4);
  EXPECT_EQ(ctx.generation, 1u);
  EXPECT_EQ(ctx.visited[5], 0u);
  // Slots past the stamp array are never marked.
  uint32_t far = static_cast<uint32_t>(ctx.visited.size()) + 5;
  EXPECT_TRUE(ctx.visit(far));
  EXPECT_TRUE(ctx.visit(far));
}

// The construction search's queue must expand exactly what a best-first search over a
// candidate heap and a bounded result heap expands, in the same order, with the same
// results: graphs built before it must be rebuilt byte for byte. Distances from a handful
// of values make ties (dropped entries at the farthest distance) the common case.
TEST(BestFirstQueue, ExpandsWhatTheTwoHeapSearchExpands) {
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    const uint32_t nodes = 2 + rng() % 60, degree = 1 + rng() % 6;
    const size_t width = rng() % 12;
    std::vector<uint32_t> dist(nodes);
    for (uint32_t& d : dist) d = rng() % (1 + round % 7);
    std::vector<std::vector<uint32_t>> rows(nodes);
    for (auto& row : rows) {
      for (uint32_t i = 0; i < degree; ++i) row.push_back(rng() % nodes);
    }

    std::vector<uint32_t> heap_order;
    std::vector<Candidate> heap_results;
    {
      MinCandidateHeap candidates;
      MaxCandidateHeap results;
      std::vector<bool> seen(nodes);
      candidates.push({dist[0], 0});
      results.push({dist[0], 0});
      seen[0] = true;
      auto full = [&] { return results.size() >= width && !results.empty(); };
      while (!candidates.empty()) {
        Candidate c = candidates.pop();
        if (full() && results.top().distance < c.distance) break;
        heap_order.push_back(c.slot);
        for (uint32_t n : rows[c.slot]) {
          if (seen[n]) continue;
          seen[n] = true;
          if (full() && dist[n] >= results.top().distance) continue;
          candidates.push({dist[n], n});
          results.push({dist[n], n});
          if (results.size() > width) results.pop();
        }
      }
      heap_results = results.items();
      std::sort(heap_results.begin(), heap_results.end());
    }

    std::vector<uint32_t> queue_order;
    BestFirstQueue queue;
    queue.reset(width);
    std::vector<bool> seen(nodes);
    queue.admit({dist[0], 0});
    seen[0] = true;
    while (std::optional<Candidate> c = queue.next()) {
      queue_order.push_back(c->slot);
      for (uint32_t n : rows[c->slot]) {
        if (seen[n]) continue;
        seen[n] = true;
        if (queue.full() && dist[n] >= queue.farthest().distance) continue;
        queue.admit({dist[n], n});
      }
    }
    ASSERT_EQ(queue_order, heap_order) << "round " << round;
    ASSERT_EQ(std::vector<Candidate>(queue.items().begin(), queue.items().end()), heap_results)
        << "round " << round;
  }
}

TEST(SearchPlan, UnfilteredWidthAndChoice) {
  // 100,000 live, k = 10, no filter: ef 778, too many for the small scan, walk the graph.
  EXPECT_EQ(search_width(10, 100'000), 778u);
  EXPECT_EQ(plan_search(100'000, 10, 778, std::nullopt, 128, false, 50'000).plan,
            SearchPlan::kGraphWalk);
  // 12 items, k = 5: exact, and still exact with the small scan disabled (12 / 4 < ef).
  EXPECT_EQ(plan_search(12, 5, 205, std::nullopt, 128, false, 50'000).plan, SearchPlan::kExactScan);
  EXPECT_EQ(plan_search(12, 5, 205, std::nullopt, 128, true, 50'000).plan, SearchPlan::kExactScan);
  // An empty index is always walked (and the walk finds nothing).
  EXPECT_EQ(plan_search(0, 5, 205, std::nullopt, 128, false, 50'000).plan, SearchPlan::kGraphWalk);
  // Widths saturate.
  EXPECT_EQ(search_width(UINT32_MAX - 100, 400'000), UINT32_MAX);
  EXPECT_EQ(search_width(5, 300'000), 1029u);
  EXPECT_EQ(search_width(5, 19'999), 205u);
  // A configured width replaces the schedule, but never falls below k.
  EXPECT_EQ(search_width(10, 100'000, 64), 64u);
  EXPECT_EQ(search_width(10, 100'000, 3), 10u);
  EXPECT_EQ(plan_search(100'000, 10, 64, std::nullopt, 128, false, 50'000).ef, 64u);
}

TEST(SearchPlan, FilteredWidthFollowsTheShare) {
  // Never narrower than k + 200 (the old filtered width), the unfiltered width for a filter
  // that admits everything, and in between in proportion to the share.
  EXPECT_EQ(filtered_width(10, 778, 100'000, 1'000), 210u);
  EXPECT_EQ(filtered_width(10, 778, 100'000, 100'000), 778u);
  EXPECT_EQ(filtered_width(10, 778, 100'000, 50'000), 389u);
  // A configured width below k + 200 is kept as it is.
  EXPECT_EQ(filtered_width(10, 64, 100'000, 50'000), 64u);
  EXPECT_EQ(filtered_width(300, 64, 100'000, 50'000), 300u);
}

// The filtered plan: exact where scanning the matches costs no more than the walk, so the
// switch sits where the two estimates meet, and never where the old rule scanned.
TEST(SearchPlan, FilteredChoiceFollowsTheCost) {
  for (uint64_t live : {30'000ull, 100'000ull, 1'000'000ull, 10'000'000ull}) {
    const uint32_t width = search_width(10, live);
    std::optional<uint64_t> switch_at;
    for (uint64_t m = 1; m <= live; m += std::max<uint64_t>(1, live / 1000)) {
      PlanChoice c = plan_search(live, 10, width, m, 128, false, 50'000);
      EXPECT_EQ(c.ef, filtered_width(10, width, live, m));
      bool cheaper = exact_scan_cost(m, live, 128) <= filtered_walk_cost(c.ef, live, m, 128);
      if (m < live / 20 || cheaper) {
        EXPECT_EQ(c.plan, SearchPlan::kExactScan) << live << " " << m;
      } else {
        EXPECT_EQ(c.plan, SearchPlan::kGraphWalk) << live << " " << m;
        if (!switch_at) switch_at = m;
      }
      // One switch only: once walked, a larger filter is walked too.
      if (switch_at && m > *switch_at) {
        EXPECT_EQ(c.plan, SearchPlan::kGraphWalk) << m;
      }
    }
  }
  // 100,000 live: 4.9 % and 5.1 % both scan (the old rule walked the latter), and so does
  // a quarter. 1,000,000 live (a span beyond the cache): a filter admitting nearly
  // everything walks with the unfiltered width, but is streamed as one span once the walk
  // is wide enough to cost more.
  EXPECT_EQ(plan_search(100'000, 10, 778, 4'900, 128, false, 50'000).plan, SearchPlan::kExactScan);
  EXPECT_EQ(plan_search(100'000, 10, 778, 5'100, 128, false, 50'000).plan, SearchPlan::kExactScan);
  EXPECT_EQ(plan_search(100'000, 10, 778, 25'000, 128, false, 50'000).plan, SearchPlan::kExactScan);
  PlanChoice all = plan_search(1'000'000, 10, 1'034, 990'000, 128, false, 50'000);
  EXPECT_EQ(all.plan, SearchPlan::kGraphWalk);
  EXPECT_EQ(all.ef, 1'024u);
  EXPECT_EQ(plan_search(1'000'000, 10, 20'000, 990'000, 128, false, 50'000).plan,
            SearchPlan::kExactScan);
  // 30,000 live and k = 10: 1,000 matches are scanned as before.
  EXPECT_EQ(plan_search(30'000, 10, 522, 1'000, 128, false, 50'000).plan, SearchPlan::kExactScan);
  // The quarter rule still holds for small indexes.
  EXPECT_EQ(plan_search(800, 10, 210, 700, 128, false, 50'000).plan, SearchPlan::kExactScan);
}

// The multi-code kernels give exactly the reference integers for every length, for every
// count (blocks of four and the codes left over), for runs and gathers alike; a run that
// may stop early is exact for every code below its bound.
TEST(Distance, BatchKernelsAgreeWithScalar) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<DistanceRunFn> runs = available_distance_run_fns();
  std::vector<DistanceGatherFn> gathers = available_distance_gather_fns();
  runs.push_back(best_distance_run_fn());
  gathers.push_back(best_distance_gather_fn());
  std::vector<DistanceRunBoundedFn> bounded = available_distance_run_bounded_fns();
  bounded.push_back(best_distance_run_bounded_fn());
  const DistanceRunNormedFn normed = best_distance_run_normed_fn();
  for (size_t n = 0; n <= 300; ++n) {
    // Mostly short runs (blocks of four and the codes left over); some long enough for a
    // bounded run to decide, from its first codes, whether stopping halfway pays.
    const size_t count = n % 7 == 0 ? 150 : 1 + n % 11;
    for (int round = 0; round < 4; ++round) {
      // Extremes (both ways) as well as random codes, so saturation and sign paths run.
      std::vector<uint8_t> query(n), codes(n * count + 7);
      for (auto& b : query) b = round == 0 ? 255 : round == 1 ? 0 : static_cast<uint8_t>(byte(rng));
      for (auto& b : codes) b = round == 0 ? 0 : round == 1 ? 255 : static_cast<uint8_t>(byte(rng));
      // A gather reads codes in any order and at any alignment.
      std::vector<const uint8_t*> ptrs(count);
      for (size_t j = 0; j < count; ++j) ptrs[j] = codes.data() + ((j * 5 + 3) % count) * n + 1;
      std::vector<uint32_t> want(count), got(count);
      for (size_t j = 0; j < count; ++j)
        want[j] = distance_scalar(query.data(), codes.data() + j * n, n);
      for (DistanceRunFn run : runs) {
        std::fill(got.begin(), got.end(), 7);
        run(query.data(), codes.data(), count, n, got.data());
        ASSERT_EQ(got, want) << "run, n = " << n;
      }
      // A bounded run is exact below the bound and at or above it otherwise, for bounds
      // that stop every group, none, or some (the median distance).
      std::vector<uint32_t> sorted = want;
      std::sort(sorted.begin(), sorted.end());
      for (uint64_t bound :
           {uint64_t{0}, uint64_t{1}, uint64_t{sorted[count / 2]}, uint64_t{1} << 32}) {
        for (DistanceRunBoundedFn run : bounded) {
          std::fill(got.begin(), got.end(), 7);
          const bool maybe_below = run(query.data(), codes.data(), count, n, bound, got.data());
          if (!maybe_below) {
            ASSERT_GE(sorted[0], bound) << "bounded run missed a code below its bound, n = " << n;
          }
          for (size_t j = 0; j < count; ++j) {
            if (want[j] < bound) {
              ASSERT_EQ(got[j], want[j]) << "bounded run, n = " << n << ", bound " << bound;
            } else {
              ASSERT_GE(got[j], bound) << "bounded run, n = " << n << ", j = " << j;
            }
          }
        }
        // With the codes' norms a run is exact everywhere, and knows whether any is below.
        if (normed && n % 32 == 0) {
          std::vector<uint32_t> norms(count);
          for (size_t j = 0; j < count; ++j) norms[j] = code_norm(codes.data() + j * n, n);
          std::fill(got.begin(), got.end(), 7);
          const bool below = normed(query.data(), codes.data(), norms.data(), count, n, bound,
                                    got.data());
          ASSERT_EQ(got, want) << "normed run, n = " << n;
          ASSERT_EQ(below, sorted[0] < bound) << "normed run, n = " << n << ", bound " << bound;
        }
      }
      for (size_t j = 0; j < count; ++j) want[j] = distance_scalar(query.data(), ptrs[j], n);
      for (DistanceGatherFn gather : gathers) {
        std::fill(got.begin(), got.end(), 7);
        gather(query.data(), ptrs.data(), count, n, got.data());
        ASSERT_EQ(got, want) << "gather, n = " << n;
      }
    }
  }
  // Codes that are near in their first half and far in their second never stop halfway and
  // never enter, so a run computes its later codes in full; one of those is the query
  // itself, and the run must still report it below the bound.
  for (size_t n : {64, 100, 128, 200}) {
    const size_t count = 150, near = 141;
    std::vector<uint8_t> query(n, 128), codes(n * count, 128);
    for (size_t j = 0; j < count; ++j) {
      if (j == near) continue;
      std::fill(codes.begin() + j * n + n / 2, codes.begin() + (j + 1) * n, 255);
    }
    for (DistanceRunBoundedFn run : bounded) {
      std::vector<uint32_t> got(count, 7);
      EXPECT_TRUE(run(query.data(), codes.data(), count, n, 1, got.data())) << "n = " << n;
      EXPECT_EQ(got[near], 0u) << "n = " << n;
    }
  }
  // Count 0 writes nothing.
  uint32_t untouched = 5;
  uint8_t q[4] = {1, 2, 3, 4};
  distance_run(q, q, 0, 4, &untouched);
  EXPECT_EQ(untouched, 5u);
}

}  // namespace
}  // namespace tarnix
