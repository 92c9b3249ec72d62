// The index core: files, capacity, records, insertion, deletion and the graph.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>

#include "index/core_index.h"
#include "index/distance.h"
#include "index/quantize.h"
#include "test_util.h"

namespace tarnix {
namespace {

using testing::FakeClock;
using testing::TempDir;

class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<FakeClock>(1'000'000);
    reopen();
  }
  void TearDown() override { unsetenv("TARNIX_CAPACITY_GROWTH"); }

  void reopen() {
    index_.reset();
    auto opened = CoreIndex::open(dir_.path(), {posix_file_system(), clock_});
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    index_ = std::move(opened).value();
  }

  void insert(const std::string& id, std::vector<float> v, const char* meta = "{}",
              std::vector<std::string> skip = {}, std::optional<uint32_t> ttl = {}) {
    Status s = index_->insert_in_mem(id, v, Json::parse(meta), skip, ttl);
    ASSERT_TRUE(s.ok()) << s.message();
  }

  std::vector<uint32_t> row(uint32_t slot) {
    const uint32_t* r = index_->row_at(slot);
    return std::vector<uint32_t>(r, r + kRowNeighbors);
  }

  std::vector<uint32_t> neighbours(uint32_t slot) {
    std::vector<uint32_t> out;
    for (uint32_t n : row(slot)) {
      if (n != kEmptyEntry) out.push_back(n);
    }
    return out;
  }

  Bitmap filter(const char* f) { return index_->evaluate_filter(Json::parse(f)); }

  TempDir dir_;
  std::shared_ptr<FakeClock> clock_;
  std::unique_ptr<CoreIndex> index_;
};

TEST_F(IndexTest, NewDirectoryGetsItsFilesAtTheirInitialSizes) {
  EXPECT_EQ(testing::file_size(dir_.file("graph.bin")), 9'600'000u);
  EXPECT_EQ(testing::file_size(dir_.file("offsets.bin")), 1'600'000u);
  EXPECT_EQ(testing::file_size(dir_.file("meta_offsets.bin")), 1'600'000u);
  for (const char* name : {"vectors.bin", "ids.bin", "metadata.bin"}) {
    EXPECT_EQ(testing::file_size(dir_.file(name)), 0u) << name;
  }
  EXPECT_EQ(index_->capacity, 200'000u);
  EXPECT_EQ(index_->dim, 0u);
  EXPECT_FALSE(index_->enter_point);
}

TEST_F(IndexTest, GrowthArithmetic) {
  // Nothing grows without a dimension.
  ASSERT_TRUE(index_->ensure_capacity(500'000).ok());
  EXPECT_EQ(index_->capacity, 200'000u);
  ASSERT_TRUE(index_->set_dimension(4).ok());
  EXPECT_EQ(testing::file_size(dir_.file("vectors.bin")), 800'000u);
  ASSERT_TRUE(index_->ensure_capacity(199'999).ok());
  EXPECT_EQ(index_->capacity, 200'000u);
  // A count equal to the capacity grows: step 250,000, headroom 25,000.
  ASSERT_TRUE(index_->ensure_capacity(200'000).ok());
  EXPECT_EQ(index_->capacity, 450'000u);
  EXPECT_EQ(testing::file_size(dir_.file("graph.bin")), 450'000u * 48);
  EXPECT_EQ(testing::file_size(dir_.file("vectors.bin")), 450'000u * 4);

  TempDir other;
  auto small = CoreIndex::open(other.path(), {}).value();
  ASSERT_TRUE(small->set_dimension(4).ok());
  setenv("TARNIX_CAPACITY_GROWTH", "1000", 1);
  ASSERT_TRUE(small->ensure_capacity(200'001).ok());
  EXPECT_EQ(small->capacity, 225'001u);
}

TEST_F(IndexTest, RebuildRuntimeStateFromTheBitmaps) {
  for (uint32_t s = 0; s < 10; ++s) index_->valid_ids.add(s);
  index_->deleted.add(20);
  index_->rebuild_runtime_state();
  EXPECT_EQ(index_->next_slot, 21u);
  ASSERT_EQ(index_->free_slots.size(), 1u);
  EXPECT_EQ(index_->free_slots.top(), 20u);
  index_->valid_ids.clear();
  index_->deleted.clear();
  index_->rebuild_runtime_state();
  EXPECT_EQ(index_->next_slot, 0u);
}

TEST_F(IndexTest, RecordsReadBackOrFallBack) {
  // Never written (its offset 0 is at the end of the empty file), and beyond the files.
  EXPECT_EQ(index_->get_metadata(7), "{}");
  EXPECT_EQ(index_->get_external_id(7), "");
  insert("first", {0.5f, -0.5f}, R"({"z":1,"a":{"k":[1,2]}})");
  EXPECT_EQ(index_->get_metadata(0), R"({"a":{"k":[1,2]},"z":1})");
  EXPECT_EQ(index_->get_external_id(0), "first");
  EXPECT_EQ(index_->get_metadata(300'000), "{}");
  EXPECT_EQ(index_->get_external_id(300'000), "");

  // Records appended by hand: a length of 10,000,001 and bytes that are not UTF-8.
  auto append_raw = [&](uint32_t slot, uint32_t len, const std::string& bytes) {
    uint64_t off = index_->files.metadata.end();
    std::string record(4, '\0');
    std::memcpy(record.data(), &len, 4);
    record += bytes;
    ASSERT_TRUE(index_->files.metadata.append(std::string_view(record).substr(4)).ok());
    // Overwrite the length word the append wrote with the one under test.
    std::fstream f(dir_.file("metadata.bin"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(off));
    f.write(reinterpret_cast<const char*>(&len), 4);
    f.close();
    std::memcpy(index_->files.meta_offsets.data() + slot * 8, &off, 8);
  };
  append_raw(1, 10'000'001, "{}");
  EXPECT_EQ(index_->get_metadata(1), "{}");
  append_raw(2, 4, "\xff\xfe{}");
  EXPECT_EQ(index_->get_metadata(2), "{}");
  // The read mapping was dropped by the appends, so the first record is still readable.
  EXPECT_EQ(index_->get_metadata(0), R"({"a":{"k":[1,2]},"z":1})");
}

TEST_F(IndexTest, FirstItemIsTheEntryPointAndTheSecondLinksBothWays) {
  insert("a", {0.1f, 0.2f});
  EXPECT_EQ(index_->enter_point, 0u);
  EXPECT_TRUE(neighbours(0).empty());
  insert("b", {0.3f, 0.2f});
  EXPECT_EQ(neighbours(0), std::vector<uint32_t>{1});
  EXPECT_EQ(neighbours(1), std::vector<uint32_t>{0});
  EXPECT_EQ(index_->enter_point, 0u);
  EXPECT_TRUE(index_->check_invariants().ok()) << index_->check_invariants().message();
}

TEST_F(IndexTest, VectorsThatCannotBeStoredChangeNothing) {
  insert("empty-first", {});
  EXPECT_EQ(index_->dim, 0u);
  insert("a", {0.1f, 0.2f});
  insert("a", {0.1f, 0.2f, 0.3f});  // wrong length: the old item stays
  EXPECT_TRUE(index_->live_slot_of("a"));
  EXPECT_EQ(index_->valid_ids.cardinality(), 1u);
}

TEST_F(IndexTest, ReplacingAnIdReusesTheFreedSlot) {
  insert("a", {0.1f, 0.2f}, R"({"c":"red"})");
  insert("b", {0.2f, 0.2f});
  insert("a", {0.9f, 0.9f}, R"({"c":"blue"})");
  EXPECT_EQ(index_->valid_ids.cardinality(), 2u);
  // Slot 0 was freed by the replacement and is the smallest reusable slot.
  EXPECT_EQ(index_->live_slot_of("a"), 0u);
  EXPECT_TRUE(filter(R"({"c":"red"})").empty());
  EXPECT_EQ(filter(R"({"c":"blue"})"), Bitmap::of({0}));
  EXPECT_EQ(index_->get_metadata(0), R"({"c":"blue"})");
  EXPECT_TRUE(index_->check_invariants().ok());
}

TEST_F(IndexTest, ReservedKeysAndSkippedFieldsAreStoredButNotIndexed) {
  insert("a", {0.1f}, R"({"id":"x","_id":"y","n":1,"secret":"s","tag":"t"})", {"secret"});
  EXPECT_EQ(index_->get_metadata(0), R"({"_id":"y","id":"x","n":1,"secret":"s","tag":"t"})");
  EXPECT_EQ(index_->str_index.count("id"), 0u);
  EXPECT_EQ(index_->str_index.count("_id"), 0u);
  EXPECT_EQ(index_->str_index.count("secret"), 0u);
  EXPECT_EQ(filter(R"({"tag":"t"})"), Bitmap::of({0}));
  EXPECT_EQ(filter(R"({"_id":"a"})"), Bitmap::of({0}));
}

TEST_F(IndexTest, EvictionIndexOfAFullRow) {
  struct Case {
    uint32_t a, b;
    size_t index;
  } cases[] = {{0, 13, 0}, {5, 7, 7}, {100, 3, 6}};
  for (const Case& c : cases) {
    std::vector<uint8_t> graph(48 * 128, 0xFF);
    for (uint32_t i = 0; i < 12; ++i) CoreIndex::add_neighbor_static(graph.data(), c.a, 50 + i);
    CoreIndex::add_neighbor_static(graph.data(), c.a, c.b);
    const uint32_t* r = reinterpret_cast<const uint32_t*>(graph.data() + c.a * 48);
    EXPECT_EQ(r[c.index], c.b) << c.a << "," << c.b;
    // An edge already in the row changes nothing.
    std::vector<uint32_t> before(r, r + 12);
    CoreIndex::add_neighbor_static(graph.data(), c.a, c.b);
    EXPECT_EQ(std::vector<uint32_t>(r, r + 12), before);
  }
  // A hole before an existing copy receives a second copy.
  std::vector<uint8_t> graph(48 * 2, 0xFF);
  uint32_t* r = reinterpret_cast<uint32_t*>(graph.data());
  r[1] = 9;
  CoreIndex::add_neighbor_static(graph.data(), 0, 9);
  EXPECT_EQ(r[0], 9u);
  EXPECT_EQ(r[1], 9u);
}

TEST_F(IndexTest, DeletionWithAndWithoutIncomingEdges) {
  for (int i = 0; i < 4; ++i) insert("v" + std::to_string(i), {0.1f * i, 0.0f});
  // Without incoming-edge lists, rows that point at the deleted slot keep pointing.
  index_->delete_in_mem("v2");
  EXPECT_EQ(neighbours(2), std::vector<uint32_t>{});
  bool still_pointed = false;
  for (uint32_t s : {0u, 1u, 3u}) {
    for (uint32_t n : neighbours(s)) still_pointed |= n == 2;
  }
  EXPECT_TRUE(still_pointed);

  // With them, every first copy goes.
  index_->ensure_incoming_edges();
  uint32_t* row0 = index_->mutable_row_at(0);
  row0[10] = 3;  // a second copy of the edge 0 -> 3 after a hole
  row0[11] = kEmptyEntry;
  std::vector<uint32_t> before = row(0);
  index_->delete_in_mem("v3");
  size_t copies = 0;
  for (uint32_t n : row(0)) copies += n == 3;
  size_t copies_before = 0;
  for (uint32_t n : before) copies_before += n == 3;
  EXPECT_EQ(copies, copies_before - 1);
  for (uint32_t s : {1u}) {
    for (uint32_t n : neighbours(s)) EXPECT_NE(n, 3u);
  }
}

TEST_F(IndexTest, DeletingTheEntryPointMovesItToTheSmallestLiveSlot) {
  insert("a", {0.1f});
  insert("b", {0.2f});
  insert("c", {0.3f});
  index_->delete_in_mem("a");
  EXPECT_EQ(index_->enter_point, 1u);
  index_->delete_in_mem("b");
  index_->delete_in_mem("c");
  EXPECT_FALSE(index_->enter_point);
  // With reuse the next item takes slot 0 and becomes the entry point without edges.
  insert("d", {0.4f});
  EXPECT_EQ(index_->enter_point, 0u);
  EXPECT_TRUE(neighbours(0).empty());
  index_->delete_in_mem("unknown");
  EXPECT_TRUE(index_->check_invariants().ok());
}

TEST_F(IndexTest, AnEmptyIdLeavesTheIdMapWhenDeleted) {
  insert("", {0.1f});
  EXPECT_EQ(index_->ext_to_int.size(), 1u);
  index_->delete_in_mem("");
  EXPECT_TRUE(index_->ext_to_int.empty());
  EXPECT_TRUE(index_->check_invariants().ok());
}

TEST_F(IndexTest, MetadataLeavesEveryIndexOnDelete) {
  insert("a", {0.1f}, R"({"c":"red","n":3,"tags":["x","y"],"flag":true})");
  insert("b", {0.2f}, "{}");
  index_->delete_in_mem("a");
  EXPECT_EQ(index_->str_index.count("c"), 0u);
  EXPECT_EQ(index_->str_index.count("tags"), 0u);
  EXPECT_EQ(index_->str_index.count("flag"), 0u);
  // The numeric field stays, empty, with its bounds.
  ASSERT_EQ(index_->num_index.count("n"), 1u);
  EXPECT_TRUE(index_->num_index.at("n").existence.empty());
  index_->delete_in_mem("b");  // "{}" touches no string index
  EXPECT_TRUE(index_->check_invariants().ok());
}

TEST_F(IndexTest, ExpiryHidesAtOnceAndSweepsOncePerSecond) {
  insert("zero", {0.1f}, "{}", {}, 0u);
  insert("five", {0.2f}, "{}", {}, 5u);
  insert("keep", {0.3f});
  EXPECT_EQ(index_->get_lazy_expired_ids().value(), Bitmap::of({0}));

  // The first sweep of this second deletes what is due.
  ASSERT_TRUE(index_->check_expiration().ok());
  EXPECT_FALSE(index_->live_slot_of("zero"));
  // An item added with ttl 0 later in the same second stays until a later second's sweep.
  insert("late", {0.4f}, "{}", {}, 0u);
  ASSERT_TRUE(index_->check_expiration().ok());
  EXPECT_TRUE(index_->live_slot_of("late"));
  EXPECT_TRUE(index_->get_lazy_expired_ids().value().contains(*index_->live_slot_of("late")));

  clock_->set_seconds(1'000'004);
  ASSERT_TRUE(index_->check_expiration().ok());
  EXPECT_FALSE(index_->live_slot_of("late"));
  EXPECT_TRUE(index_->live_slot_of("five"));
  clock_->set_seconds(1'000'005);
  EXPECT_TRUE(index_->get_lazy_expired_ids().value().contains(*index_->live_slot_of("five")));
  ASSERT_TRUE(index_->check_expiration().ok());
  EXPECT_FALSE(index_->live_slot_of("five"));
  EXPECT_TRUE(index_->expiration_index.empty());
  EXPECT_TRUE(index_->check_invariants().ok());
}

TEST_F(IndexTest, ExpiryEntriesLeaveWithTheItemAndHugeTtlsSaturate) {
  insert("a", {0.1f}, "{}", {}, 100u);
  index_->delete_in_mem("a");
  EXPECT_TRUE(index_->expiration_index.empty());
  insert("b", {0.1f}, "{}", {}, UINT32_MAX);
  ASSERT_EQ(index_->expiration_index.size(), 1u);
  EXPECT_EQ(index_->expiration_index.begin()->first, UINT32_MAX);
  EXPECT_TRUE(index_->get_lazy_expired_ids().value().empty());
}

TEST_F(IndexTest, ExactSearchOrdersByDistanceThenSlot) {
  insert("a", {0.5f, 0.5f});
  insert("b", {0.5f, 0.5f});
  insert("c", {-0.5f, -0.5f});
  SearchContext& ctx = SearchContext::for_this_thread();
  ctx.reset(index_->capacity, 2);
  quantize(std::vector<float>{0.5f, 0.5f}.data(), 2, ctx.query.data());
  std::vector<Candidate> found = index_->search_core(2, 202, nullptr, nullptr, ctx);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], (Candidate{0, 0}));
  EXPECT_EQ(found[1], (Candidate{0, 1}));
}

// The exact scan against a brute force, over one run (all live), sets dense in their range
// (streamed as a span with a membership check: a filter of half the items, deletions,
// expired slots) and sparse ones (gathered: a ninth of the slots), and the filtered walk
// (forced, as on a large store) against the scan: on a small connected graph whose matches
// never fill its width the walk reaches every match, so it must return the scan's answer,
// and never a deleted, expired or filtered-out slot. Codes of 32 bytes take the scan with
// code norms (where the CPU has it), whose norms must follow the codes that replacements
// write into reused slots.
TEST_F(IndexTest, ExactScanAndFilteredWalkAgree) {
  for (size_t dim : {6, 32}) {
    TempDir dir;
    index_.reset();
    index_ = CoreIndex::open(dir.path(), {posix_file_system(), clock_}).value();
    std::mt19937 rng(5);
    auto random_vector = [&] { return testing::random_vector(rng, dim); };
    for (int i = 0; i < 600; ++i) {
      insert("i" + std::to_string(i), random_vector(),
             i % 2 ? R"({"g":"odd"})" : R"({"g":"even"})");
    }
    SearchContext& ctx = SearchContext::for_this_thread();
    std::vector<float> q = random_vector();
    auto search = [&](const Bitmap* f, const Bitmap* expired, std::optional<SearchPlan> plan) {
      ctx.reset(index_->capacity, dim);
      quantize(q.data(), dim, ctx.query.data());
      std::vector<Candidate> out = index_->search_core(10, 210, f, expired, ctx, plan);
      if (out.size() > 10) out.resize(10);
      return out;
    };
    auto brute = [&](const Bitmap* f, const Bitmap* expired) {
      std::vector<uint8_t> code(dim);
      quantize(q.data(), dim, code.data());
      std::vector<Candidate> all;
      index_->valid_ids.for_each([&](uint32_t s) {
        if ((f && !f->contains(s)) || (expired && expired->contains(s))) return;
        all.push_back({distance_scalar(code.data(), index_->vector_at(s), dim), s});
      });
      std::sort(all.begin(), all.end());
      if (all.size() > 10) all.resize(10);
      return all;
    };
    for (int round = 0; round < 3; ++round) {
      if (round == 1) {
        for (int i = 0; i < 600; i += 7) index_->delete_in_mem("i" + std::to_string(i));
      }
      if (round == 2) {
        // New vectors into the slots just freed, and in place of some live items.
        for (int i = 0; i < 600; i += 7) {
          insert("r" + std::to_string(i), random_vector(), R"({"g":"even"})");
        }
        for (int i = 1; i < 600; i += 5) {
          insert("i" + std::to_string(i), random_vector(), R"({"g":"odd"})");
        }
      }
      Bitmap even = filter(R"({"g":"even"})");
      Bitmap expired = Bitmap::of({2, 4, 8, 16, 32, 64, 128, 256, 512});
      Bitmap ninth;
      for (uint32_t s = 0; s < 600; s += 9) ninth.add(s);
      ninth &= index_->valid_ids;
      for (int query = 0; query < 20; ++query) {
        q = random_vector();
        EXPECT_EQ(search(nullptr, nullptr, SearchPlan::kExactScan), brute(nullptr, nullptr));
        EXPECT_EQ(search(nullptr, &expired, SearchPlan::kExactScan), brute(nullptr, &expired));
        std::vector<Candidate> scan = search(&even, &expired, SearchPlan::kExactScan);
        EXPECT_EQ(scan, brute(&even, &expired));
        EXPECT_EQ(search(&ninth, &expired, SearchPlan::kExactScan), brute(&ninth, &expired));
        // Replacements delete nodes and link only the new ones, after which the walk is no
        // longer sure to reach every match.
        if (round < 2) {
          EXPECT_EQ(search(&even, &expired, SearchPlan::kGraphWalk), scan) << round;
        }
      }
    }
  }
}

// Another store may rewrite a code this index still counts as the old item's, before this
// index follows the change. The scan must then not report a distance that belongs to
// neither code, however the code's norm (computed for the old code) skews its sum: here
// the new code is far from the query, and with the old norm its sum comes out nearer than
// any other item.
TEST_F(IndexTest, ExactScanSeesCodesRewrittenUnderIt) {
  constexpr size_t kDim = 32;
  std::mt19937 rng(9);
  insert("zero", std::vector<float>(kDim, 0.0f));
  for (int i = 0; i < 600; ++i) insert("i" + std::to_string(i), testing::random_vector(rng, kDim));
  const uint32_t slot = *index_->live_slot_of("zero");
  SearchContext& ctx = SearchContext::for_this_thread();
  auto search = [&] {
    ctx.reset(index_->capacity, kDim);
    quantize(std::vector<float>(kDim, 0.0f).data(), kDim, ctx.query.data());
    return index_->search_core(10, 210, nullptr, nullptr, ctx, SearchPlan::kExactScan);
  };
  ASSERT_EQ(search().front().slot, slot);
  std::fill_n(index_->mutable_vector_at(slot), kDim, 255);
  for (const Candidate& c : search()) {
    EXPECT_EQ(c.distance, distance_scalar(ctx.query.data(), index_->vector_at(c.slot), kDim));
  }
}

// Replays a random history of inserts, replacements and deletes against the invariant
// checker and a map of what should be live.
TEST_F(IndexTest, RandomHistoryKeepsTheInvariants) {
  std::mt19937 rng(11);
  std::map<std::string, std::vector<float>> model;
  for (int step = 0; step < 3000; ++step) {
    std::string id = "k" + std::to_string(rng() % 300);
    if (rng() % 4 == 0) {
      index_->delete_in_mem(id);
      model.erase(id);
    } else {
      std::vector<float> v(8);
      for (float& x : v) x = std::uniform_real_distribution<float>(-1, 1)(rng);
      insert(id, v, R"({"g":"x"})");
      model[id] = v;
    }
    if (step % 500 == 0) {
      ASSERT_TRUE(index_->check_invariants().ok()) << step;
    }
  }
  ASSERT_TRUE(index_->check_invariants().ok()) << index_->check_invariants().message();
  EXPECT_EQ(index_->valid_ids.cardinality(), model.size());
  for (const auto& [id, v] : model) {
    auto slot = index_->live_slot_of(id);
    ASSERT_TRUE(slot) << id;
    EXPECT_EQ(index_->get_external_id(*slot), id);
    std::vector<uint8_t> code(8);
    quantize(v.data(), 8, code.data());
    EXPECT_EQ(0, std::memcmp(index_->vector_at(*slot), code.data(), 8));
  }
  EXPECT_EQ(filter(R"({"g":"x"})").cardinality(), model.size());
}

}  // namespace
}  // namespace tarnix
