// The projection: the model's edge cases and bookkeeping, the worker's passes over a real
// index, and the stream's order of checks. The arithmetic itself is checked value for value
// against a float32 reference in tests/python/test_projection.py.
#include <gtest/gtest.h>

#include <cmath>

#include "projection/pca_model.h"
#include "projection/pca_runtime.h"
#include "store/store.h"
#include "test_util.h"

namespace tarnix {
namespace {

using Codes = std::vector<uint8_t>;

class PcaModelTest : public ::testing::Test {
 protected:
  void upsert(const std::string& id, const Codes& code) {
    model_.apply_upsert_internal(id, code, scratch_);
  }
  void remove(const std::string& id) { model_.apply_delete_internal(id, scratch_); }
  std::vector<std::string> ids(int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i < to; ++i) out.push_back("p" + std::to_string(i));
    return out;
  }

  PcaModel model_;
  std::vector<float> scratch_;
};

// The arithmetic of learning is the Python reference's to check; these are the edges.
TEST_F(PcaModelTest, FirstPointLastPointAndResets) {
  upsert("a", {0, 255, 51});
  EXPECT_EQ(model_.mean(), (std::vector<float>{-1.0f, 1.0f, 51 / 127.5f - 1.0f}));
  EXPECT_EQ(model_.coordinates("a"), (std::array<float, 3>{0, 0, 0}));
  upsert("b", {10, 20, 30});
  remove("absent");
  EXPECT_EQ(model_.update_count(), 2u);
  remove("b");
  auto components = model_.components();
  remove("a");
  // The last point goes without a learning step.
  EXPECT_EQ(model_.mean(), std::vector<float>(3, 0.0f));
  EXPECT_EQ(model_.components(), components);
  EXPECT_EQ(model_.update_count(), 3u);

  // Another length drops every point and re-seeds: the same length, the same components.
  PcaModel fresh;
  fresh.ensure_pca_model_dim(2);
  upsert("c", {7, 8});
  EXPECT_EQ(model_.order(), std::vector<std::string>{"c"});
  EXPECT_EQ(model_.update_count(), 1u);
  model_.ensure_pca_model_dim(3);
  model_.ensure_pca_model_dim(2);
  EXPECT_EQ(model_.components(), fresh.components());
  EXPECT_EQ(model_.size(), 0u);
  // An empty code empties the model, and it stays inert.
  upsert("d", {});
  EXPECT_EQ(model_.dim(), 0u);
  EXPECT_EQ(model_.size(), 0u);
}

TEST_F(PcaModelTest, OrthonormalizeLeavesAZeroVectorZero) {
  std::array<std::vector<float>, 3> c = {std::vector<float>{3, 4}, std::vector<float>{0, 0},
                                         std::vector<float>{1, 1}};
  PcaModel::orthonormalize3(c);
  EXPECT_EQ(c[0], (std::vector<float>{0.6f, 0.8f}));
  EXPECT_EQ(c[1], (std::vector<float>{0, 0}));
  EXPECT_NEAR(c[2][0] * 0.6f + c[2][1] * 0.8f, 0.0f, 1e-6);
  EXPECT_NEAR(std::hypot(c[2][0], c[2][1]), 1.0f, 1e-6);
}

TEST_F(PcaModelTest, ManyRemovalsKeepOrderIdsAndCursor) {
  for (const std::string& id : ids(0, 300)) {
    upsert(id, {static_cast<uint8_t>(id.size() * 40), static_cast<uint8_t>(id.back())});
  }
  model_.reproject_some(290, scratch_);
  for (const std::string& id : ids(0, 250)) remove(id);
  upsert("p260", {9, 9});
  std::vector<std::string> expected = ids(250, 300);
  expected.erase(expected.begin() + 10);
  expected.push_back("p260");
  EXPECT_EQ(model_.order(), expected);
  EXPECT_FALSE(model_.coordinates("p10"));
  PcaCache cache = model_.build_cache_from_model();
  ASSERT_EQ(cache.points.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(cache.points[i].id(), expected[i]);
    EXPECT_EQ(cache.points[i].x, model_.coordinates(expected[i])->at(0));
  }
  // 290 of 50: the cursor is past the end and starts again.
  model_.reproject_some(2, scratch_);
  EXPECT_EQ(model_.reproject_cursor(), 2u);
}

TEST_F(PcaModelTest, SyncMakesMembershipAndOrderTheLists) {
  upsert("a", {1, 1});
  upsert("b", {2, 2});
  upsert("c", {3, 3});
  PcaUpsertList empty;
  ASSERT_TRUE(model_.reconcile_snapshot_incremental(empty, scratch_));
  EXPECT_EQ(model_.size(), 3u);

  PcaUpsertList list(2);
  for (const char* id : {"c", "d", "a"}) list.add(id, Codes{5, 6}.data());
  ASSERT_TRUE(model_.reconcile_snapshot_incremental(list, scratch_));
  EXPECT_EQ(model_.order(), (std::vector<std::string>{"c", "d", "a"}));
  EXPECT_EQ(model_.point_count(), 3u);
  EXPECT_TRUE(list.empty());  // learnt and released

  std::atomic<bool> cancel{true};
  PcaUpsertList again(2);
  again.add("e", Codes{1, 2}.data());
  EXPECT_FALSE(model_.reconcile_snapshot_incremental(again, scratch_, &cancel));
}

// ---- The worker and the stream, over a real store. ----

class PcaRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StoreOptions options;
    options.pca_enabled = false;
    store_ = std::move(Store::open(dir_.path(), options)).value();
  }
  void add(const std::string& id, std::vector<float> v, std::optional<uint32_t> ttl = {}) {
    ASSERT_TRUE(store_->add(id, v, "{}", std::nullopt, ttl).ok());
  }
  std::unique_ptr<PcaRuntime> runtime(uint32_t batch_size = 128, uint64_t delay = 0) {
    PcaRuntime::Settings settings{delay, 5'000, batch_size};
    return std::make_unique<PcaRuntime>(settings, store_->shared_index());
  }
  static std::vector<std::string> published(const PcaRuntime& runtime) {
    std::vector<std::string> out;
    if (runtime.cache()) {
      for (const PcaPoint& p : runtime.cache()->points) out.emplace_back(p.id());
    }
    return out;
  }

  testing::TempDir dir_;
  std::unique_ptr<Store> store_;
  std::vector<float> scratch_;
};

TEST_F(PcaRuntimeTest, PassesFetchCurrentItemsAndSkipGoneOnes) {
  add("a", {0.1f, 0.2f});
  add("b", {0.3f, 0.4f});
  add("gone", {0.5f, 0.6f});
  add("expired", {0.7f, 0.8f}, 0u);
  auto rt = runtime(/*batch_size=*/3);
  rt->enqueue_pca_snapshot_sync();
  for (const char* id : {"gone", "expired", "b"}) rt->enqueue_event(PcaEventUpsert{id});
  ASSERT_TRUE(store_->remove("gone").ok());
  rt->enqueue_event(PcaEventDelete{"a"});

  rt->process_pass(rt->processed_seq(), scratch_);
  // The sync left out the expired item; the deleted one's upsert changed nothing.
  EXPECT_EQ(published(*rt), (std::vector<std::string>{"a", "b", "gone"}));
  EXPECT_EQ(rt->processed_seq(), 3u);
  rt->process_pass(rt->processed_seq(), scratch_);
  EXPECT_EQ(published(*rt), (std::vector<std::string>{"gone", "b"}));
  EXPECT_EQ(rt->processed_seq(), 5u);
  EXPECT_EQ(rt->queued(), 0u);

  // With a batch size of 0 nothing is ever taken, though every pass publishes.
  auto stuck = runtime(/*batch_size=*/0);
  stuck->enqueue_pca_snapshot_sync();
  stuck->process_pass(0, scratch_);
  EXPECT_EQ(stuck->queued(), 1u);
  EXPECT_EQ(stuck->processed_seq(), 0u);
  ASSERT_TRUE(stuck->cache());
  EXPECT_TRUE(stuck->cache()->points.empty());
}

TEST_F(PcaRuntimeTest, TheWaitCountsClockTimeAndNotABackwardsClock) {
  auto rt = runtime(0, 120'000);
  ASSERT_TRUE(rt->start_pca_worker().ok());  // sleeps throughout
  rt->enqueue_event(PcaEventUpsert{"a"});
  testing::FakeClock clock(2'000'000'000);
  int pauses = 0;
  auto advance = [&] {
    // Backwards on the first three pauses, which then count as no time.
    clock.advance_millis(++pauses <= 3 ? -1000 : 10);
    return true;
  };
  Result<bool> waited = rt->wait_for_processed(1, 45, clock, advance);
  ASSERT_TRUE(waited.ok());
  EXPECT_TRUE(*waited);
  EXPECT_EQ(pauses, 3 + 3000 / 10 + 5);
  EXPECT_FALSE(*rt->wait_for_processed(1, 0, clock, [] { return false; }));
  // Once the worker is gone nothing will catch up: an unbounded wait ends at once.
  rt->stop_pca_worker();
  EXPECT_TRUE(*rt->wait_for_processed(1, 0, clock, [] { return false; }));
}

TEST_F(PcaRuntimeTest, StreamChecksBatchSizeFirstAndTheFilterAfterTheRefresh) {
  setenv("TARNIX_PCA_UPDATE_DELAY_MS", "120000", 1);
  StoreOptions options;
  store_.reset();
  store_ = std::move(Store::open(dir_.path(), options)).value();
  unsetenv("TARNIX_PCA_UPDATE_DELAY_MS");
  PcaRuntime& rt = *store_->pca_runtime();
  EXPECT_EQ(rt.latest_seq(), 1u);  // the open's sync

  PcaStreamRequest request;
  request.batch_size = 0;
  request.force_refresh = true;
  request.filter_json = "{";
  auto stream = store_->stream_pca_3d(request);
  EXPECT_EQ(stream.status().message(), "batch_size must be > 0");
  EXPECT_EQ(rt.latest_seq(), 1u);
  request.batch_size = 1;
  stream = store_->stream_pca_3d(request);
  EXPECT_EQ(stream.status().code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(stream.status().message().rfind("Invalid Filter: ", 0), 0u);
  EXPECT_EQ(rt.latest_seq(), 2u);
}

}  // namespace
}  // namespace tarnix
