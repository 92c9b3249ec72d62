#include "meta/secondary_index.h"

#include <gtest/gtest.h>

#include "meta_fixture.h"

namespace tarnix {
namespace {

std::vector<uint32_t> str_slots(const MetaFixture& f, const std::string& field,
                                const std::string& text) {
  auto it = f.str_index.find(field);
  if (it == f.str_index.end()) return {};
  auto v = it->second.find(text);
  return v == it->second.end() ? std::vector<uint32_t>{} : v->second.to_vector();
}

TEST(SecondaryIndex, IndexesEachKindOfValue) {
  MetaFixture f;
  f.add(0, "a", MetaFixture::parse(R"({"flag":true,"n":5,"s":"5","k":["a",["b",false]]})"));
  f.add(1, "b", MetaFixture::parse(R"({"id":"x","_id":"y","nul":null,"obj":{"c":1},"e":[]})"));
  f.add(2, "c", MetaFixture::parse(R"({"v":[1,5],"big":16777217,"u":18446744073709551615})"));

  EXPECT_EQ(str_slots(f, "flag", "true"), std::vector<uint32_t>{0});
  EXPECT_EQ(str_slots(f, "s", "5"), std::vector<uint32_t>{0});
  EXPECT_EQ(str_slots(f, "k", "a"), std::vector<uint32_t>{0});
  EXPECT_EQ(str_slots(f, "k", "b"), std::vector<uint32_t>{0});
  EXPECT_EQ(str_slots(f, "k", "false"), std::vector<uint32_t>{0});
  EXPECT_FALSE(f.str_index.contains("n"));
  EXPECT_FALSE(f.num_index.contains("s"));
  for (const char* field : {"id", "_id", "nul", "obj", "c", "e"}) {
    EXPECT_FALSE(f.str_index.contains(field) || f.num_index.contains(field)) << field;
  }

  // An array leaves the last number in the slices but widens the bounds with every element.
  const NumericBsiIndex& v = f.num_index.at("v");
  EXPECT_EQ(v.get_value(2), 5.0f);
  EXPECT_TRUE(v.equal_to(1.0f).empty());
  EXPECT_EQ(v.min_code, encode_order(1.0f));
  // Numbers are stored as the nearest 32-bit float.
  EXPECT_EQ(f.num_index.at("big").equal_to(16777216.0f), Bitmap::of({2}));
  EXPECT_EQ(f.num_index.at("u").get_value(2), 18446744073709551616.0f);
}

TEST(SecondaryIndex, DeindexDropsEmptyStringEntriesButKeepsNumericFields) {
  MetaFixture f;
  Json red = MetaFixture::parse(R"({"c":"red","n":3,"t":["x","y"]})");
  f.add(0, "a", red);
  f.add(1, "b", MetaFixture::parse(R"({"t":"x"})"));
  NumericBsiIndex before = f.num_index.at("n");
  f.remove(0, red);

  EXPECT_FALSE(f.str_index.contains("c"));
  EXPECT_EQ(str_slots(f, "t", "x"), std::vector<uint32_t>{1});
  EXPECT_FALSE(f.str_index.at("t").contains("y"));
  const NumericBsiIndex& n = f.num_index.at("n");
  EXPECT_TRUE(n.existence.empty());
  EXPECT_EQ(n.min_code, before.min_code);
  EXPECT_EQ(n.max_code, before.max_code);
  EXPECT_EQ(n.max_bit, before.max_bit);

  // Values that were never indexed are skipped silently.
  deindex_metadata_value(f.str_index, f.num_index, "zz", Json("q"), 1);
  deindex_metadata_value(f.str_index, f.num_index, "t", Json(7), 1);
  EXPECT_EQ(str_slots(f, "t", "x"), std::vector<uint32_t>{1});
}

// Dropping a set of slots leaves exactly the indexes of the remaining items.
TEST(SecondaryIndex, RemoveSlotsMatchesIndexingOnlyTheRest) {
  const char* items[] = {R"({"a":"x","n":1})", R"({"a":"y","n":-2,"b":true})",
                         R"({"a":["x","z"],"n":[3,70000]})", R"({"b":"only"})", R"({"n":0.5})"};
  Bitmap dropped = Bitmap::of({1, 3, 4});
  MetaFixture all, rest;
  for (uint32_t slot = 0; slot < std::size(items); ++slot) {
    all.add(slot, "", MetaFixture::parse(items[slot]));
    if (!dropped.contains(slot)) rest.add(slot, "", MetaFixture::parse(items[slot]));
  }
  remove_slots_from_indexes(all.str_index, all.num_index, dropped);

  ASSERT_EQ(all.str_index.size(), rest.str_index.size());
  for (const auto& [field, values] : rest.str_index) {
    ASSERT_EQ(all.str_index.at(field).size(), values.size()) << field;
    for (const auto& [text, slots] : values) EXPECT_EQ(all.str_index.at(field).at(text), slots);
  }
  const NumericBsiIndex& got = all.num_index.at("n");
  const NumericBsiIndex& want = rest.num_index.at("n");
  EXPECT_EQ(got.existence, want.existence);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(got.slices[i], want.slices[i]) << i;
  EXPECT_EQ(got.min_code, encode_order(-2.0f));  // bounds never narrow
}

}  // namespace
}  // namespace tarnix
