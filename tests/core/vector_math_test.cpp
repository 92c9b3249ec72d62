// Quantization, the distance kernels and the search scratch.
#include <gtest/gtest.h>

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
  } cases[] = {{-1.0f, 0},  {0.0f, 127}, {0.5f, 191},         {1.0f, 255},
               {3.0f, 255}, {-7.0f, 0},  {std::nanf(""), 0}, {-0.999f, 0},
               {1e-9f, 127}, {INFINITY, 255}, {-INFINITY, 0}};
  for (const Case& c : cases) EXPECT_EQ(quantize_component(c.x), c.code) << c.x;
}

TEST(Distance, VectorisedKernelAgreesWithScalarOnEveryLength) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  DistanceFn fast = best_distance_fn();
#if defined(__arm__) && !defined(__aarch64__)
  // A CPU with NEON (every armhf board worth running on, and the emulator) gets the kernel.
  if (getauxval(AT_HWCAP) & (1UL << 12)) EXPECT_NE(fast, &distance_scalar);
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

TEST(SearchPlan, WidthAndChoice) {
  // 100,000 live, k = 10, no filter: ef 778, too many for the small scan, walk the graph.
  EXPECT_EQ(search_width(10, false, 100'000), 778u);
  EXPECT_EQ(plan_search(100'000, 10, 778, std::nullopt, false, 50'000), SearchPlan::kGraphWalk);
  // 30,000 live, a filter of 1,000 is under 5 %: exact; 2,000 is not: walk with ef 210.
  EXPECT_EQ(search_width(10, true, 30'000), 210u);
  EXPECT_EQ(plan_search(30'000, 10, 210, 1'000, false, 50'000), SearchPlan::kExactScan);
  EXPECT_EQ(plan_search(30'000, 10, 210, 2'000, false, 50'000), SearchPlan::kGraphWalk);
  // 12 items, k = 5: exact, and still exact with the small scan disabled (12 / 4 < ef).
  EXPECT_EQ(plan_search(12, 5, 205, std::nullopt, false, 50'000), SearchPlan::kExactScan);
  EXPECT_EQ(plan_search(12, 5, 205, std::nullopt, true, 50'000), SearchPlan::kExactScan);
  // An empty index is always walked (and the walk finds nothing).
  EXPECT_EQ(plan_search(0, 5, 205, std::nullopt, false, 50'000), SearchPlan::kGraphWalk);
  // Widths saturate.
  EXPECT_EQ(search_width(UINT32_MAX - 100, false, 400'000), UINT32_MAX);
  EXPECT_EQ(search_width(5, false, 300'000), 1029u);
  EXPECT_EQ(search_width(5, false, 19'999), 205u);
}

}  // namespace
}  // namespace tarnix
