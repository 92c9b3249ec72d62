// An index loaded from a damaged snapshot is fitted back to its own invariants at open:
// cases the snapshot fuzzer found, reduced to the state they leave.
#include <gtest/gtest.h>

#include "index/core_index.h"
#include "test_util.h"
#include "util/fnv.h"

namespace tarnix {
namespace {

using testing::TempDir;

class DamagedState : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = CoreIndex::open(dir_.path(), {posix_file_system(), system_clock()});
    ASSERT_TRUE(opened.ok());
    index_ = std::move(opened).value();
    for (const char* id : {"a", "b", "c", "d"}) {
      float x = static_cast<float>(id[0] - 'a') / 4.0f;
      ASSERT_TRUE(
          index_
              ->insert_in_mem(id, std::vector<float>{x, 1 - x}, Json{{"tag", id}}, {}, std::nullopt)
              .ok());
    }
  }

  void expect_fitted() {
    index_->reconcile_with_files();
    Status s = index_->check_invariants();
    EXPECT_TRUE(s.ok()) << s.message();
  }

  TempDir dir_;
  std::unique_ptr<CoreIndex> index_;
};

TEST_F(DamagedState, ValuesAndFieldsWithoutSlotsAreDropped) {
  index_->str_index["tag"]["ghost"] = Bitmap();
  index_->str_index["empty"];
  expect_fitted();
  EXPECT_FALSE(index_->str_index["tag"].contains("ghost"));
  EXPECT_FALSE(index_->str_index.contains("empty"));
  EXPECT_EQ(index_->valid_ids.cardinality(), 4u);
}

// Each live slot ends up named by its stored id, and by nothing else.
TEST_F(DamagedState, TheIdMapIsRebuiltFromTheIdFile) {
  uint32_t b = index_->ext_to_int.at(id_hash("b"));
  uint32_t c = index_->ext_to_int.at(id_hash("c"));
  index_->ext_to_int.erase(id_hash("b"));    // a live slot without its id
  index_->ext_to_int[id_hash("stray")] = c;  // a second id for one slot
  expect_fitted();
  EXPECT_EQ(index_->ext_to_int.size(), 4u);
  EXPECT_EQ(index_->ext_to_int.at(id_hash("b")), b);
  EXPECT_EQ(index_->ext_to_int.at(id_hash("c")), c);
  EXPECT_FALSE(index_->ext_to_int.contains(id_hash("stray")));
  EXPECT_EQ(index_->valid_ids.cardinality(), 4u);
}

// A live slot whose stored id another slot already answers to cannot be reached by any call:
// it leaves the live set and every index.
TEST_F(DamagedState, ASlotNoIdCanNameLeavesTheLiveSet) {
  uint32_t a = index_->ext_to_int.at(id_hash("a"));
  uint32_t d = index_->ext_to_int.at(id_hash("d"));
  index_->ext_to_int.erase(id_hash("d"));
  index_->ext_to_int[id_hash("a")] = a;
  // d's offset entry now names a's record, so its stored id is "a", which is taken.
  std::memcpy(index_->files.id_offsets.data() + uint64_t{d} * kOffsetBytes,
              index_->files.id_offsets.data() + uint64_t{a} * kOffsetBytes, kOffsetBytes);
  expect_fitted();
  EXPECT_FALSE(index_->valid_ids.contains(d));
  EXPECT_TRUE(index_->deleted.contains(d));
  EXPECT_FALSE(index_->str_index["tag"].contains("d"));
  EXPECT_EQ(index_->ext_to_int.size(), 3u);
}

}  // namespace
}  // namespace tarnix
