// Vacuum: the journal's bytes, the in-place plan and move map, and how both procedures carry
// graph rows over to the new numbering.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "index/distance.h"
#include "store/store.h"
#include "test_util.h"
#include "vacuum/in_place.h"
#include "vacuum/journal.h"

namespace tarnix {
namespace {

using testing::TempDir;

constexpr uint32_t E = kEmptyEntry;

TEST(VacuumJournal, HasItsLayoutAndRefusesWhatDoesNotDecode) {
  TempDir dir;
  FileSystem& fs = *posix_file_system();
  VacuumJournal j;
  j.mode = VacuumMode::kInPlace;
  j.stage = VacuumStage::kSlotsCompacted;
  j.created_at_ms = 1234567;
  j.original_capacity = 8;
  j.live_count = j.desired_capacity = 5;
  j.moves = {{7, 2}, {6, 4}, {9, 1}};
  ASSERT_TRUE(write_vacuum_journal(fs, dir.path(), j).ok());
  EXPECT_EQ(testing::file_size(dir.file("vacuum.journal")), 64u);
  auto loaded = load_vacuum_journal(fs, dir.path());
  ASSERT_TRUE(loaded.ok() && *loaded);
  EXPECT_EQ(**loaded, j);

  std::string bytes;
  {
    std::ifstream in(dir.file("vacuum.journal"), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  auto load_bytes = [&](const std::string& b) {
    std::ofstream(dir.file("vacuum.journal"), std::ios::binary | std::ios::trunc) << b;
    return load_vacuum_journal(fs, dir.path());
  };
  EXPECT_TRUE(load_bytes(bytes + "trailing").ok()) << "bytes after the record are ignored";
  std::string unknown_stage = bytes;
  unknown_stage[8] = 3;
  for (const std::string& bad : {bytes.substr(0, 63), bytes.substr(0, 39), unknown_stage}) {
    auto r = load_bytes(bad);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.status().code(), StatusCode::kInvalidData);
  }
  ASSERT_TRUE(clear_vacuum_journal(fs, dir.path()).ok());
  auto gone = load_vacuum_journal(fs, dir.path());
  EXPECT_TRUE(gone.ok() && !*gone);
}

class VacuumStore : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened =
        Store::open(dir_.path(), StoreOptions{posix_file_system(), system_clock(), false});
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    store_ = std::move(opened).value();
  }
  void TearDown() override {
    unsetenv("TARNIX_VACUUM_IN_PLACE");
    unsetenv("TARNIX_VACUUM_REBUILD_GRAPH");
  }
  CoreIndex& index() { return *store_->shared_index()->index; }
  // Items k0..k{n-1} in slots 0..n-1 (a fresh store hands them out in order), with a
  // number and, for the even ones, an expiry far ahead.
  void add_items(int n) {
    for (int i = 0; i < n; ++i) {
      std::vector<float> v = {0.1f * i - 0.5f, 0.5f - 0.07f * i};
      std::string meta = R"({"k":"k)" + std::to_string(i) + R"(","n":)" + std::to_string(i) +
                         R"(,"tag":")" + (i % 2 ? "odd" : "even") + R"("})";
      std::optional<uint32_t> ttl;
      if (i % 2 == 0) ttl = 1'000'000;
      ASSERT_TRUE(store_->add("k" + std::to_string(i), v, meta, std::nullopt, ttl).ok());
    }
  }
  void remove(std::initializer_list<int> items) {
    for (int i : items) ASSERT_TRUE(store_->remove("k" + std::to_string(i)).ok());
  }
  void set_row(uint32_t slot, std::vector<uint32_t> entries) {
    entries.resize(kRowNeighbors, E);
    std::copy(entries.begin(), entries.end(), index().mutable_row_at(slot));
  }
  std::vector<uint32_t> row(uint32_t slot) {
    const uint32_t* r = index().row_at(slot);
    return std::vector<uint32_t>(r, r + kRowNeighbors);
  }
  std::string metadata_of(const std::string& id) {
    return index().get_metadata(*index().live_slot_of(id));
  }

  TempDir dir_;
  std::unique_ptr<Store> store_;
};

TEST_F(VacuumStore, InPlacePlanMovesTheHighestLiveSlotsIntoTheLowestHoles) {
  add_items(8);
  remove({2, 4, 5});
  set_row(7, {4, 6, 0, E, 2});
  index().enter_point = 7;
  auto moves = build_in_place_vacuum_plan(index());
  EXPECT_EQ(moves, (std::vector<SlotMove>{{7, 2}, {6, 4}}));
  SlotMap map = build_move_map_for_plan(index(), 5, moves, 8);
  EXPECT_EQ(map, (SlotMap{0, 1, E, 3, E, E, 4, 2}));

  setenv("TARNIX_VACUUM_IN_PLACE", "1", 1);
  ASSERT_TRUE(store_->vacuum().ok());
  EXPECT_EQ(index().valid_ids, Bitmap::of({0, 1, 2, 3, 4}));
  EXPECT_TRUE(index().deleted.empty());
  EXPECT_EQ(index().capacity, 5u);
  EXPECT_EQ(testing::file_size(dir_.file("vectors.bin")), 5u * 2);
  EXPECT_EQ(testing::file_size(dir_.file("graph.bin")), 240u);
  // The mover's row went with it: an edge to a deleted slot is emptied where it stood, an
  // edge to a mover follows it; the entry point followed its slot.
  EXPECT_EQ(row(2), (std::vector<uint32_t>{E, 4, 0, E, E, E, E, E, E, E, E, E}));
  EXPECT_EQ(index().enter_point, 2u);
  EXPECT_EQ(index().live_slot_of("k7"), 2u);
  EXPECT_EQ(metadata_of("k7"), R"({"k":"k7","n":7,"tag":"odd"})");
  // Its index entries and the even mover's expiry moved too.
  EXPECT_EQ(index().num_index.at("n").get_value(2), 7.0f);
  EXPECT_EQ(index().str_index.at("tag").at("odd"), Bitmap::of({1, 2, 3}));
  EXPECT_EQ(index().expiration_index.begin()->second, (std::vector<uint32_t>{0, 4}));
  EXPECT_TRUE(index().check_invariants().ok());
}

TEST_F(VacuumStore, RewriteKeepsRowPositionsAndLinksEdgelessRowsAgain) {
  add_items(10);
  remove({0, 1, 3, 4, 6, 7, 8});
  set_row(2, {7, 8});
  set_row(5, {E, 2, 9});
  set_row(9, {4, E, 5});
  index().enter_point = 5;
  ASSERT_TRUE(store_->vacuum().ok());
  EXPECT_EQ(index().valid_ids, Bitmap::of({0, 1, 2}));
  EXPECT_EQ(index().capacity, 3u);
  EXPECT_EQ(index().enter_point, 1u);
  // k2's neighbours were all deleted. It is linked in as an insert would be, by a search
  // from the entry point: to its nearest, k5 then k9, and they back to it, each back edge in
  // the row's first hole (a row is scanned only up to its first hole). k9's edge to the
  // deleted k4 became a hole where it stood.
  EXPECT_EQ(row(0), (std::vector<uint32_t>{1, 2, E, E, E, E, E, E, E, E, E, E}));
  EXPECT_EQ(row(1), (std::vector<uint32_t>{0, 0, 2, E, E, E, E, E, E, E, E, E}));
  EXPECT_EQ(row(2), (std::vector<uint32_t>{0, E, 1, E, E, E, E, E, E, E, E, E}));
  EXPECT_EQ(index().live_slot_of("k9"), 2u);
  EXPECT_TRUE(index().check_invariants().ok());
  EXPECT_EQ(testing::file_size(dir_.file("graph.bin")), 3u * 48);

  setenv("TARNIX_VACUUM_REBUILD_GRAPH", "1", 1);
  ASSERT_TRUE(store_->vacuum().ok());
  EXPECT_EQ(index().enter_point, 0u);
  for (uint32_t s = 0; s < 3; ++s) {
    std::vector<uint32_t> r = row(s);
    EXPECT_EQ(std::count(r.begin(), r.end(), E), 10) << "slot " << s << " links the other two";
  }
}

// Both vacuums move codes to other slots, so the code norms an earlier scan computed must
// not stay behind: the nearest items are the same before and after, and every norm a scan
// uses afterwards is its code's. (A stale norm can hide behind the scan's check of its
// results, which then scans again without norms; it must not be left to.)
TEST_F(VacuumStore, SearchesFindTheSameNearestItemsAfterEitherVacuum) {
  constexpr size_t kDim = 32;
  std::mt19937 rng(4);
  auto random_vector = [&] { return testing::random_vector(rng, kDim); };
  std::vector<std::vector<float>> queries(10);
  for (auto& q : queries) q = random_vector();
  auto nearest = [&] {
    GateReader inside(store_->gate());
    std::vector<std::string> ids;
    for (const auto& q : queries) {
      auto hits = store_->search(q, 10, nullptr, false);
      EXPECT_TRUE(hits.ok()) << hits.status().message();
      if (!hits.ok()) continue;
      for (const SearchHit& hit : *hits) ids.push_back(hit.id);
    }
    return ids;
  };
  for (const char* in_place : {"1", "0"}) {
    auto id = [&](int i) { return std::string(in_place) + "v" + std::to_string(i); };
    for (int i = 0; i < 700; ++i) {
      ASSERT_TRUE(store_->add(id(i), random_vector(), "{}", std::nullopt, std::nullopt).ok());
    }
    for (int i = 0; i < 700; i += 4) ASSERT_TRUE(store_->remove(id(i)).ok());
    const std::vector<std::string> before = nearest();
    setenv("TARNIX_VACUUM_IN_PLACE", in_place, 1);
    ASSERT_TRUE(store_->vacuum().ok());
    EXPECT_EQ(nearest(), before) << "in place: " << in_place;
    const uint64_t mapped = index().files.vectors.length() / kDim;
    index().valid_ids.for_each([&](uint32_t slot) {
      const uint32_t* norms = index().code_norms.block(slot / CodeNorms::kBlockSlots,
                                                       index().files.vectors.data(), mapped, kDim);
      if (norms) {
        ASSERT_EQ(norms[slot % CodeNorms::kBlockSlots],
                  code_norm(index().vector_at(slot), kDim)) << "in place: " << in_place;
      }
    });
  }
}

}  // namespace
}  // namespace tarnix
