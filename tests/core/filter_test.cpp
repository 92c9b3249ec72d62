#include "meta/filter.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "meta_fixture.h"

namespace tarnix {
namespace {

using Slots = std::vector<uint32_t>;

class FilterExamples : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* items[] = {
        R"({"p":1,"a":"5","flag":true,"k":["a","b"],"q":"x"})",  // 0
        R"({"p":7,"a":5,"flag":"true","b":2})",                  // 1
        R"({})",                                                 // 2
        R"({"a":null,"b":{"c":1}})",                             // 3
        R"({"a":{"x":1},"p":"7","":"e"})",                       // 4
        R"({"a":[],"id":"zzz","n":[1,5]})",                      // 5
        R"({"a":3,"b":2,"n":-0.0})",                             // 6
    };
    for (uint32_t slot = 0; slot < std::size(items); ++slot) {
      f.add(slot, "k" + std::to_string(slot), MetaFixture::parse(items[slot]));
    }
    Json gone = MetaFixture::parse(R"({"a":3,"b":2})");
    f.add(7, "gone", gone);
    f.remove(7, gone);
  }

  void expect_all(const std::vector<std::pair<const char*, Slots>>& cases) {
    for (const auto& [filter, want] : cases) EXPECT_EQ(f.select(filter), want) << filter;
  }

  MetaFixture f;
  const Slots all = {0, 1, 2, 3, 4, 5, 6};
};

TEST_F(FilterExamples, ShapesAndPrecedence) {
  expect_all({
      {"{}", all},
      {"[]", {}},
      {R"("x")", {}},
      {"5", {}},
      {"null", {}},
      {R"({"$and":[]})", all},
      {R"({"$or":[]})", {}},
      {R"({"$not":{}})", {}},
      {R"({"$not":5})", all},
      {R"({"$not":{"a":5}})", {0, 2, 3, 4, 5, 6}},
      {R"({"$or":[{"a":5},{"a":3}]})", {1, 6}},
      {R"({"$and":[{"a":5}],"b":99})", {1}},
      {R"({"$and":5,"b":2})", {1, 6}},
      {R"({"$and":[{"a":5}],"$or":[{"a":3}]})", {1}},
      {R"({"$or":[{"a":3}],"$not":{}})", {6}},
      {R"({"$and":[{"b":2},{"$not":{"a":3}}]})", {1}},
      {R"({"$foo":1})", all},
      {R"({"":"e"})", {4}},
      {R"({"a":null})", {}},
      {R"({"a":[1,2]})", {}},
  });
}

TEST_F(FilterExamples, EqualityAndSets) {
  expect_all({
      {R"({"a":5})", {1}},
      {R"({"a":"5"})", {0}},
      {R"({"flag":true})", {0, 1}},
      {R"({"flag":"true"})", {0, 1}},
      {R"({"k":"b"})", {0}},
      {R"({"n":5})", {5}},
      {R"({"n":1})", {}},  // only the last number of an array is kept
      {R"({"n":0})", {}},
      {R"({"n":-0.0})", {6}},
      {R"({"a":{"$in":[5,"5"]}})", {0, 1}},
      {R"({"a":{"$in":[3,{"$gt":4},null,[5]]}})", {1, 6}},
      {R"({"a":{"$in":5}})", {}},
      {R"({"a":{"$nin":3}})", all},
      {R"({"a":{"$nin":[3,"5"]}})", {1, 2, 3, 4, 5}},
      {R"({"a":{}})", all},
      {R"({"a":{"$eq":5,"$foo":1}})", {}},
      {R"({"a":{"$EQ":5}})", {}},
      {R"({"q":{"$ne":"x"}})", {1, 2, 3, 4, 5, 6}},
      {R"({"a":{"$exists":false}})", {2, 3, 4, 5}},
      {R"({"a":{"$exists":true}})", {0, 1, 6}},
      {R"({"a":{"$exists":0}})", {0, 1, 6}},
  });
}

TEST_F(FilterExamples, NumericRanges) {
  expect_all({
      // "$gte" and "$ne" also take items without a number once the field has a numeric index.
      {R"({"p":{"$gte":5}})", {1, 2, 3, 4, 5, 6}},
      {R"({"p":{"$ne":1}})", {1, 2, 3, 4, 5, 6}},
      {R"({"p":{"$gt":4}})", {1}},
      {R"({"p":{"$lt":7}})", {0}},
      {R"({"p":{"$lte":7}})", {0, 1}},
      {R"({"q":{"$ne":1}})", {}},
      {R"({"q":{"$gte":0}})", {}},
      {R"({"a":{"$gt":1,"$lt":5}})", {6}},
      {R"({"a":{"$gt":"x"}})", {}},
      {R"({"n":{"$lt":0}})", {6}},
      {R"({"b":{"$eq":2,"$gte":2}})", {1, 6}},
  });
}

TEST_F(FilterExamples, ExternalIds) {
  expect_all({
      {R"({"_id":"k1"})", {1}},
      {R"({"id":"k1"})", {1}},
      {R"({"_id":{"$in":["k1","k2"]}})", {1, 2}},
      {R"({"_id":{"$ne":"k1"}})", {0, 2, 3, 4, 5, 6}},
      {R"({"_id":5})", {}},
      {R"({"_id":"gone"})", {}},
      {R"({"id":"zzz"})", {}},
      {R"({"id":{"$exists":true}})", all},
      {R"({"id":{"$exists":false}})", {}},
  });
  // The lookup itself checks liveness: "gone" still maps to its old slot.
  EXPECT_TRUE(get_bitmap_str_eq(f.ctx(), "_id", Json("gone")).empty());
  EXPECT_EQ(get_bitmap_str_eq(f.ctx(), "id", Json("k3")), Bitmap::of({3}));
}

TEST(ParseFilter, RefusesTextThatIsNotJson) {
  Result<Json> bad = parse_filter("{a:1}");
  ASSERT_FALSE(bad.ok());
  EXPECT_FALSE(bad.status().message().empty());
  EXPECT_TRUE(parse_filter(R"({"a":1})").ok());
}

}  // namespace
}  // namespace tarnix
