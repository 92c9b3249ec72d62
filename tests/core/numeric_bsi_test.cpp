#include "meta/numeric_bsi.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <vector>

namespace tarnix {
namespace {

using Lim = std::numeric_limits<float>;

// Numeric order with -0.0 just below +0.0, as the index orders values.
bool before(float a, float b) {
  return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

TEST(OrderCode, FollowsNumericOrderAndDecodesExactly) {
  const std::vector<float> ascending = {
      -Lim::infinity(),  -Lim::max(), -5.0f, -1.0f,      -Lim::denorm_min(), -0.0f, 0.0f,
      Lim::denorm_min(), 1.0f,        2.0f,  Lim::max(), Lim::infinity()};
  for (size_t i = 0; i < ascending.size(); ++i) {
    float x = ascending[i];
    EXPECT_EQ(std::bit_cast<uint32_t>(decode_order(encode_order(x))), std::bit_cast<uint32_t>(x));
    if (i > 0) {
      EXPECT_LT(encode_order(ascending[i - 1]), encode_order(x)) << x;
    }
  }
  EXPECT_EQ(encode_order(-0.0f), 0x7FFFFFFFu);
  EXPECT_EQ(encode_order(0.0f), 0x80000000u);
}

TEST(NumericBsi, MixedSignsAndSignedZero) {
  NumericBsiIndex bsi;
  bsi.insert(1, -5.0f);
  bsi.insert(2, 2.0f);
  bsi.insert(3, -0.0f);
  bsi.insert(4, 0.0f);
  bsi.insert(5, Lim::quiet_NaN());  // ignored
  EXPECT_EQ(bsi.existence, Bitmap::of({1, 2, 3, 4}));
  EXPECT_EQ(bsi.max_bit, 31);

  uint32_t minus_one = encode_order(-1.0f);
  EXPECT_EQ(bsi.less_than_encoded(minus_one), Bitmap::of({1}));
  EXPECT_EQ(bsi.greater_than_encoded(minus_one), Bitmap::of({2, 3, 4}));
  EXPECT_EQ(bsi.equal_to(-0.0f), Bitmap::of({3}));
  EXPECT_EQ(bsi.equal_to(0.0f), Bitmap::of({4}));
  EXPECT_EQ(bsi.less_than_encoded(encode_order(0.0f)), Bitmap::of({1, 3}));
  EXPECT_TRUE(bsi.equal_to(-1.0f).empty());
  EXPECT_TRUE(bsi.equal_to(Lim::quiet_NaN()).empty());

  // Overwriting replaces every bit; removing keeps the bounds.
  bsi.insert(2, -7.0f);
  EXPECT_EQ(bsi.get_value(2), -7.0f);
  EXPECT_EQ(bsi.less_than_encoded(minus_one), Bitmap::of({1, 2}));
  bsi.remove(2);
  EXPECT_EQ(bsi.get_value(2), std::nullopt);
  EXPECT_EQ(bsi.max_code, encode_order(2.0f));
  EXPECT_EQ(bsi.min_code, encode_order(-7.0f));

  // Equality must look at the top bit too: these codes differ only there.
  NumericBsiIndex twins;
  twins.insert(0, 2.0f);
  twins.insert(1, decode_order(encode_order(2.0f) ^ 0x80000000u));
  EXPECT_EQ(twins.equal_to(2.0f), Bitmap::of({0}));
}

// Only negative values: every stored code lies below bit 31, unlike a positive query's.
TEST(NumericBsi, QueryAboveEveryStoredBit) {
  NumericBsiIndex bsi;
  bsi.insert(0, -3.0f);
  bsi.insert(1, -2.0f);
  ASSERT_LT(bsi.max_bit, 31);
  EXPECT_TRUE(bsi.equal_to(1.0f).empty());
  EXPECT_EQ(bsi.less_than_encoded(encode_order(1.0f)), Bitmap::of({0, 1}));
  EXPECT_EQ(bsi.less_than_encoded(encode_order(-2.0f)), Bitmap::of({0}));
  EXPECT_EQ(bsi.greater_than_encoded(encode_order(-3.0f)), Bitmap::of({1}));
  EXPECT_TRUE(bsi.greater_than_encoded(encode_order(1.0f)).empty());
}

std::string encode_bsi(const NumericBsiIndex& bsi) {
  std::string out;
  StringSink sink(out);
  Encoder e(sink);
  bsi.encode(e);
  return out;
}

TEST(NumericBsi, SnapshotRecordRoundTripsAndRefusesBadMaxBit) {
  NumericBsiIndex bsi;
  bsi.insert(3, 1.5f);
  bsi.insert(70000, -2.25f);
  bsi.remove(3);
  std::string bytes = encode_bsi(bsi);
  // 32 slices and existence, each an 8-byte length and an 8-byte empty bitmap at least.
  ASSERT_GE(bytes.size(), 33u * 16 + 9);

  MemorySource src(bytes);
  Decoder d(src);
  NumericBsiIndex back = NumericBsiIndex::decode(d);
  ASSERT_TRUE(d.ok()) << d.status().message();
  EXPECT_EQ(src.remaining(), 0u);
  EXPECT_EQ(encode_bsi(back), bytes);
  back.rebuild_codes();
  EXPECT_EQ(back.get_value(70000), -2.25f);
  EXPECT_EQ(back.less_than_encoded(encode_order(0.0f)), Bitmap::of({70000}));
  EXPECT_EQ(back.min_code, bsi.min_code);
  EXPECT_EQ(back.max_code, bsi.max_code);

  for (uint8_t max_bit : {32, 255}) {
    std::string bad = bytes;
    bad.back() = static_cast<char>(max_bit);
    MemorySource bad_src(bad);
    Decoder bad_d(bad_src);
    NumericBsiIndex::decode(bad_d);
    EXPECT_FALSE(bad_d.ok()) << int{max_bit};
  }
  std::string truncated = bytes.substr(0, bytes.size() - 1);
  MemorySource short_src(truncated);
  Decoder short_d(short_src);
  NumericBsiIndex::decode(short_d);
  EXPECT_FALSE(short_d.ok());
}

float random_value(std::mt19937& rng) {
  static const float kPool[] = {
      -Lim::infinity(), -1e30f, -5.0f,          -1.0f, -0.0f, 0.0f, 0.5f, 1.0f, 2.0f,
      16777216.0f,      3e38f,  Lim::infinity()};
  float x;
  do {
    switch (rng() % 3) {
      case 0:
        x = kPool[rng() % std::size(kPool)];
        break;
      case 1:  // a neighbour in code space: one bit away from a common value
        x = decode_order(encode_order(kPool[rng() % std::size(kPool)]) ^ (1u << (rng() % 32)));
        break;
      default:
        x = std::bit_cast<float>(static_cast<uint32_t>(rng()));
    }
  } while (std::isnan(x));
  return x;
}

// Random inserts (with overwrites) and removes, checked against an ordered multimap, in
// fields that hold their code array throughout, never, or only for a while: one that
// fills up (it builds the array at an insert), one that gains a far slot (it drops it).
TEST(NumericBsi, MatchesOrderedModel) {
  auto before_cmp = [](float a, float b) { return before(a, b); };
  struct Case {
    const char* name;
    std::function<uint32_t(std::mt19937&, int)> slot;
    bool codes_at_step_500, codes_at_end;
  };
  const Case cases[] = {
      {"dense", [](std::mt19937& rng, int) { return rng() % 300; }, true, true},
      {"sparse", [](std::mt19937& rng, int) { return rng() % 300 * 1000; }, false, false},
      {"fills up",
       [](std::mt19937& rng, int step) { return step < 600 ? rng() % 150 * 20 : rng() % 3000; },
       false, true},
      {"gains a far slot",
       [](std::mt19937& rng, int step) { return step == 900 ? 90000 : rng() % 300; }, true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 rng(7);
    NumericBsiIndex bsi;
    std::multimap<float, uint32_t, decltype(before_cmp)> model(before_cmp);
    std::map<uint32_t, decltype(model)::iterator> where;
    std::vector<uint32_t> used;
    for (int step = 1; step <= 1500; ++step) {
      uint32_t slot = c.slot(rng, step);
      used.push_back(slot);
      if (auto it = where.find(slot); it != where.end()) {
        model.erase(it->second);
        where.erase(it);
      }
      // The far slot keeps its value.
      if (rng() % 4 == 0 && slot != 90000) {
        bsi.remove(slot);
      } else {
        float x = random_value(rng);
        bsi.insert(slot, x);
        where[slot] = model.emplace(x, slot);
      }
      ASSERT_TRUE(bsi.codes_cover_existence() || !bsi.has_codes());
      if (step == 500) {
        EXPECT_EQ(bsi.has_codes(), c.codes_at_step_500);
      }
      if (step % 100 != 0) continue;

      for (int q = 0; q < 30; ++q) {
        float x = random_value(rng);
        Bitmap lt, eq, gt;
        for (const auto& [value, s] : model) {
          (before(value, x) ? lt : before(x, value) ? gt : eq).add(s);
        }
        EXPECT_EQ(bsi.less_than_encoded(encode_order(x)), lt) << x;
        EXPECT_EQ(bsi.greater_than_encoded(encode_order(x)), gt) << x;
        EXPECT_EQ(bsi.equal_to(x), eq) << x;
        // Restricted questions answer the unrestricted answer within the restriction, also
        // when the restriction holds slots without a value.
        Bitmap within;
        for (uint32_t s : used) {
          if (rng() % 3 == 0) within.add(s + rng() % 2);
        }
        EXPECT_EQ(bsi.less_than_encoded(encode_order(x), &within), lt & within) << x;
        EXPECT_EQ(bsi.greater_than_encoded(encode_order(x), &within), gt & within) << x;
        EXPECT_EQ(bsi.equal_to(x, &within), eq & within) << x;
      }
      for (uint32_t s : used) {
        auto it = where.find(s);
        std::optional<float> got = bsi.get_value(s);
        ASSERT_EQ(got.has_value(), it != where.end()) << s;
        if (got) {
          EXPECT_EQ(std::bit_cast<uint32_t>(*got), std::bit_cast<uint32_t>(it->second->first));
        }
      }
    }
    EXPECT_EQ(bsi.has_codes(), c.codes_at_end);
  }
}

// The code array's way in and out of bitmaps: whole chunks in each of the library's three
// container kinds (runs, bitsets, value lists), also cut short by a smaller word count.
TEST(BitmapWords, RoundTripThroughEveryContainerKind) {
  Bitmap runs = Bitmap::range(10, 70000);
  Bitmap dense, sparse;
  for (uint32_t v = 2 * 65536; v < 3 * 65536; v += 3) dense.add(v);
  for (uint32_t v : {4 * 65536 + 1, 4 * 65536 + 640, 5 * 65536 - 1, 9 * 65536 + 5}) sparse.add(v);
  Bitmap all = runs | dense | sparse;
  for (const Bitmap* set : {&runs, &dense, &sparse, &all}) {
    for (size_t count : {size_t{*set->maximum()} / 64 + 1, size_t{3 * 1024 + 7}, size_t{500}}) {
      std::vector<uint64_t> words(count, 0), expected(count, 0);
      set->for_each([&](uint32_t v) {
        if (v / 64 < count) expected[v / 64] |= uint64_t{1} << (v % 64);
      });
      set->to_words(words.data(), count);
      EXPECT_EQ(words, expected) << count;
      Bitmap below = *set;
      below.remove_from(uint64_t{count} * 64);
      EXPECT_EQ(Bitmap::from_words(words.data(), count), below) << count;
    }
  }
}

// A field over several 65536-slot chunks, with answers dense enough to be handed over as
// whole bitsets and sparse enough to be value lists, before and after a snapshot round trip
// (whose codes are rebuilt from the slices), with and without restrictions.
TEST(NumericBsi, ManyChunksDenseAndSparseAnswers) {
  constexpr uint32_t kSlots = 150000;
  std::mt19937 rng(7);
  const float pool[] = {-2.0f, -0.0f, 0.0f, 1.0f, 1.5f, 3.0f, 100.0f};
  NumericBsiIndex bsi;
  std::vector<std::optional<float>> model(kSlots);
  for (uint32_t slot = 0; slot < kSlots; ++slot) {
    if (rng() % 10 == 0) continue;
    // The last chunk is sparse: its answers are short lists.
    if (slot >= 2 * 65536 && rng() % 50 != 0) continue;
    model[slot] = pool[rng() % 7];
    bsi.insert(slot, *model[slot]);
  }
  std::string bytes = encode_bsi(bsi);
  MemorySource src(bytes);
  Decoder d(src);
  NumericBsiIndex loaded = NumericBsiIndex::decode(d);
  ASSERT_TRUE(d.ok());
  loaded.rebuild_codes();

  Bitmap every_other, few;
  for (uint32_t slot = 0; slot < kSlots + 10; slot += 2) every_other.add(slot);
  for (uint32_t slot = 5; slot < kSlots; slot += 1499) few.add(slot);
  for (const NumericBsiIndex* index : {&bsi, &loaded}) {
    for (float x : {-2.0f, 0.0f, 1.25f, 1.5f, 100.0f}) {
      SCOPED_TRACE(x);
      Bitmap lt, eq, gt;
      for (uint32_t slot = 0; slot < kSlots; ++slot) {
        if (!model[slot]) continue;
        float v = *model[slot];
        (before(v, x) ? lt : before(x, v) ? gt : eq).add(slot);
      }
      uint32_t code = encode_order(x);
      EXPECT_EQ(index->less_than_encoded(code), lt);
      EXPECT_EQ(index->equal_to(x), eq);
      EXPECT_EQ(index->greater_than_encoded(code), gt);
      for (const Bitmap* within : {&every_other, &few}) {
        EXPECT_EQ(index->less_than_encoded(code, within), lt & *within);
        EXPECT_EQ(index->equal_to(x, within), eq & *within);
        EXPECT_EQ(index->greater_than_encoded(code, within), gt & *within);
      }
    }
  }
}

}  // namespace
}  // namespace tarnix
