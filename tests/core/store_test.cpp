// The store facade: log bytes, failures injected into every kind of system call, persist,
// the writer role and projection events.
#include "store/store.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "storage/faulty_fs.h"
#include "test_util.h"

namespace tarnix {
namespace {

using testing::TempDir;

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { open(); }
  void TearDown() override { unsetenv("TARNIX_WAL_SYNC_INTERVAL_MS"); }

  void open(bool pca = false) {
    store_.reset();
    StoreOptions options;
    options.fs = fs_;
    options.clock = clock_;
    options.pca_enabled = pca;
    auto opened = Store::open(dir_.path(), options);
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    store_ = std::move(opened).value();
  }

  uint64_t wal_size() { return testing::file_size(dir_.file("wal.bin")); }
  uint64_t count() { return store_->count().value(); }
  Status add(const std::string& id, std::vector<float> v = {0.5f, -0.5f},
             const std::string& meta = "{}") {
    return store_->add(id, v, meta, std::nullopt, std::nullopt);
  }

  TempDir dir_;
  std::shared_ptr<FaultyFileSystem> fs_ = std::make_shared<FaultyFileSystem>(posix_file_system());
  std::shared_ptr<testing::FakeClock> clock_ = std::make_shared<testing::FakeClock>(2'000'000'000);
  std::unique_ptr<Store> store_;
};

// The sweep's deletions are logged, so a reopen replays the slot an item took from an
// expired one, with that item's own id and values.
TEST_F(StoreTest, ASweptSlotReusedAfterASnapshotReopensIntact) {
  ASSERT_TRUE(store_->add("old", std::vector<float>{0.1f, 0.1f}, R"({"c":"red"})",
                          std::nullopt, 1u).ok());
  ASSERT_TRUE(add("keep", {0.9f, 0.9f}, R"({"c":"green"})").ok());
  ASSERT_TRUE(store_->persist().ok());
  clock_->set_seconds(2'000'000'005);
  // This add sweeps "old" (logging its deletion first) and takes its slot.
  ASSERT_TRUE(add("new", {0.2f, 0.2f}, R"({"c":"blue"})").ok());
  auto slot_of = [&](const char* id) { return store_->shared_index()->index->live_slot_of(id); };
  EXPECT_EQ(slot_of("new"), 0u);
  open();
  EXPECT_EQ(count(), 2u);
  EXPECT_EQ(slot_of("new"), 0u);
  EXPECT_FALSE(store_->exists(R"({"c":"red"})").value());
  EXPECT_EQ(store_->get_all_items(R"({"c":"blue"})").value(),
            std::vector<std::string>{R"({"c":"blue"})"});
  EXPECT_TRUE(store_->shared_index()->index->check_invariants().ok());
}

TEST_F(StoreTest, LogRecordsHaveTheirExactSizes) {
  ASSERT_TRUE(store_->add("a", std::vector<float>{1.0f}, "{}", std::nullopt, std::nullopt).ok());
  EXPECT_EQ(wal_size(), 37u);
  ASSERT_TRUE(store_->remove("x").ok());
  EXPECT_EQ(wal_size(), 50u);
  // Every Insert record carries the caller's text, not the stored normal form.
  ASSERT_TRUE(store_->add("b", std::vector<float>{1.0f}, "{ }", std::vector<std::string>{"k"}, 7u)
                  .ok());
  EXPECT_EQ(wal_size(), 50u + 37 + 1 + 8 + 8 + 1 + 4);
}

struct LogFault {
  FsOp op;
  int err;
  const char* text;
};

// A failed log append or sync changes nothing, reports the system's text, and leaves the
// store usable; the reopened store holds exactly the acknowledged writes.
TEST_F(StoreTest, LogFailuresChangeNothingAndTheStoreGoesOn) {
  setenv("TARNIX_WAL_SYNC_INTERVAL_MS", "0", 1);
  ASSERT_TRUE(add("kept").ok());
  for (LogFault f : {LogFault{FsOp::kWrite, EIO, "Input/output error (os error 5)"},
                     LogFault{FsOp::kWrite, ENOSPC, "No space left on device (os error 28)"},
                     LogFault{FsOp::kFdatasync, EIO, "Input/output error (os error 5)"}}) {
    SCOPED_TRACE(fs_op_name(f.op));
    uint64_t before = wal_size();
    fs_->fail(f.op, 1, f.err, false);
    Status s = add("lost");
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.code(), StatusCode::kIoError);
    EXPECT_EQ(s.message(), f.text);
    EXPECT_EQ(wal_size(), before);
    EXPECT_EQ(count(), 1u);
    fs_->fail(f.op, 1, f.err, false);
    EXPECT_FALSE(store_->remove("kept").ok());
    EXPECT_EQ(count(), 1u);
    fs_->clear();
  }
  ASSERT_TRUE(add("after").ok());
  open();
  EXPECT_EQ(count(), 2u);
  EXPECT_TRUE(store_->exists(R"({"_id":"after"})").value());
  EXPECT_FALSE(store_->exists(R"({"_id":"lost"})").value());
}

TEST_F(StoreTest, FaultsCanBeArmedThroughTheEnvironment) {
  setenv("TARNIX_TEST_FAULT_INJECTION", "1", 1);
  store_.reset();
  auto store = Store::open(dir_.path(), StoreOptions{posix_file_system(), system_clock(), false});
  unsetenv("TARNIX_TEST_FAULT_INJECTION");
  ASSERT_TRUE(store.ok());
  setenv("TARNIX_TEST_FAULT", "write:1:28:once", 1);
  Status s = (*store)->add("a", std::vector<float>{0.1f}, "{}", std::nullopt, std::nullopt);
  EXPECT_EQ(s.message(), "No space left on device (os error 28)");
  EXPECT_TRUE((*store)->add("a", std::vector<float>{0.1f}, "{}", std::nullopt, std::nullopt).ok());
  unsetenv("TARNIX_TEST_FAULT");
}

TEST_F(StoreTest, ABatchLargerThanTheBufferIsAllOrNothing) {
  std::vector<std::string> ids, metas;
  std::vector<std::vector<float>> vectors;
  for (int i = 0; i < 300; ++i) {
    ids.push_back("id" + std::to_string(i));
    vectors.push_back(std::vector<float>(1200, 0.001f * i));
    metas.push_back(R"({"i":)" + std::to_string(i) + "}");
  }
  // The batch is about 1.4 MB of log, so it takes two writes; fail the second.
  fs_->fail(FsOp::kWrite, 2, ENOSPC, false);
  Status s = store_->add_batch(ids, vectors, metas, std::nullopt, std::nullopt);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(wal_size(), 0u);
  EXPECT_EQ(count(), 0u);
  fs_->clear();
  ASSERT_TRUE(store_->add_batch(ids, vectors, metas, std::nullopt, std::nullopt).ok());
  EXPECT_EQ(count(), 300u);
  open();
  EXPECT_EQ(count(), 300u);
}

TEST_F(StoreTest, DataFileFailuresLeaveTheIndexAsItWas) {
  // The first item reserves the slot files' blocks; a full disk there is an error, not a
  // crash through the mapping later.
  fs_->fail(FsOp::kFallocate, 1, ENOSPC, true);
  Status s = add("a");
  fs_->clear();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.message(), "No space left on device (os error 28)");
  EXPECT_EQ(count(), 0u);

  ASSERT_TRUE(add("a").ok());
  // The log append is the first write of a call; the id record's append comes after it.
  fs_->fail(FsOp::kWrite, 2, ENOSPC, true);
  s = add("b", {0.9f, 0.9f});
  fs_->clear();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.message(), "No space left on device (os error 28)");
  EXPECT_EQ(count(), 1u);
  EXPECT_FALSE(store_->exists(R"({"_id":"b"})").value());

  ASSERT_TRUE(add("c").ok());
  EXPECT_EQ(count(), 2u);
  EXPECT_TRUE(store_->shared_index()->index->check_invariants().ok());
}

TEST_F(StoreTest, AFailedFirstSizingRestoresTheDimension) {
  fs_->fail(FsOp::kTruncate, 1, EIO, false);
  std::vector<std::vector<float>> vectors = {{0.1f, 0.2f, 0.3f}};
  Status s = store_->add_batch(std::vector<std::string>{"a"}, vectors,
                               std::vector<std::string>{"{}"}, std::nullopt, std::nullopt);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(store_->shared_index()->index->dim, 0u);
  EXPECT_EQ(wal_size(), 0u);
  // Another length is still possible afterwards, since no dimension was fixed.
  ASSERT_TRUE(add("b", {0.5f}).ok());
  EXPECT_EQ(store_->shared_index()->index->dim, 1u);
}

TEST_F(StoreTest, PersistWritesTheSnapshotAndEmptiesTheLog) {
  ASSERT_TRUE(store_->persist().ok());
  EXPECT_EQ(testing::file_size(dir_.file("snapshot.bin")), 73u);
  EXPECT_EQ(wal_size(), 0u);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(add("k" + std::to_string(i)).ok());
  ASSERT_TRUE(store_->persist().ok());
  EXPECT_EQ(testing::file_size(dir_.file("graph.bin")), 480u);
  EXPECT_EQ(testing::file_size(dir_.file("offsets.bin")), 80u);
  EXPECT_EQ(testing::file_size(dir_.file("vectors.bin")), 20u);
  EXPECT_EQ(wal_size(), 0u);
  open();
  EXPECT_EQ(count(), 10u);
  // The trimmed store grows again when written to.
  ASSERT_TRUE(add("k10").ok());
  EXPECT_GT(testing::file_size(dir_.file("graph.bin")), 480u);
  EXPECT_TRUE(store_->shared_index()->index->check_invariants().ok());
}

TEST_F(StoreTest, APersistThatFailsKeepsTheOldSnapshotAndLog) {
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(add("k" + std::to_string(i)).ok());
  ASSERT_TRUE(store_->persist().ok());
  ASSERT_TRUE(add("k5").ok());
  uint64_t log = wal_size();
  for (FsOp op : {FsOp::kRename, FsOp::kFsync, FsOp::kMsync}) {
    SCOPED_TRACE(fs_op_name(op));
    fs_->fail(op, 1, EIO, false);
    EXPECT_FALSE(store_->persist().ok());
    fs_->clear();
    EXPECT_EQ(wal_size(), log);
  }
  open();
  EXPECT_EQ(count(), 6u);
}

// Two stores of one process on one directory behave like two processes: they write in
// turn, and each call sees what the other store wrote before it.
TEST_F(StoreTest, TwoStoresOfOneDirectoryWriteInTurnAndFollowEachOther) {
  ASSERT_TRUE(add("a").ok());
  auto second = Store::open(dir_.path(), StoreOptions{fs_, system_clock(), false}).value();
  EXPECT_EQ(second->count().value(), 1u);
  ASSERT_TRUE(second->add("b", std::vector<float>{0.1f, 0.1f}, "{}", std::nullopt, std::nullopt)
                  .ok());
  EXPECT_EQ(count(), 2u);
  ASSERT_TRUE(store_->remove("b").ok());
  EXPECT_EQ(second->count().value(), 1u);
  ASSERT_TRUE(second->persist().ok());
  ASSERT_TRUE(add("c").ok());
  EXPECT_EQ(second->count().value(), 2u);
  EXPECT_EQ(wal_size(), 41u);
  store_.reset();
  second.reset();
  open();
  EXPECT_EQ(count(), 2u);
}

// A store that has searched (and so computed the code norms its scans use) follows another
// store's deletion and its insert into the freed slot: the new code is the query itself, and
// with the old code's norm its sum would put it among the farthest.
TEST_F(StoreTest, AFollowerSearchesTheCodeWrittenIntoASlotItSawFreed) {
  constexpr size_t kDim = 32;
  const std::vector<float> zero(kDim, 0.0f);
  ASSERT_TRUE(add("far", std::vector<float>(kDim, 1.0f)).ok());
  std::mt19937 rng(3);
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(add("i" + std::to_string(i), testing::random_vector(rng, kDim)).ok());
  }
  auto follower = Store::open(dir_.path(), StoreOptions{fs_, system_clock(), false}).value();
  auto nearest = [&] {
    GateReader inside(follower->gate());
    auto hits = follower->search(zero, 1, nullptr, false);
    return hits.ok() && !hits->empty() ? (*hits)[0].id : hits.status().message();
  };
  EXPECT_NE(nearest(), "far");
  ASSERT_TRUE(store_->remove("far").ok());
  ASSERT_TRUE(add("near", zero).ok());
  ASSERT_EQ(store_->shared_index()->index->live_slot_of("near"), 0u);
  EXPECT_EQ(nearest(), "near");
}

TEST_F(StoreTest, ATornLogTailIsCutByTheWriterWhenOthersHaveTheDirectoryOpen) {
  ASSERT_TRUE(add("a").ok());
  store_.reset();
  auto reader = Store::open(dir_.path(), StoreOptions{fs_, system_clock(), false}).value();
  {
    std::ofstream wal(dir_.file("wal.bin"), std::ios::app | std::ios::binary);
    wal.write("\x00\x00\x00\x00\xff", 5);  // the start of a record that never finished
  }
  // Not alone at open, so the tail stays; becoming the writer cuts it before appending.
  open();
  EXPECT_EQ(wal_size(), 41u + 5);
  ASSERT_TRUE(add("b").ok());
  EXPECT_EQ(wal_size(), 41u + 41);
  store_.reset();
  reader.reset();
  open();
  EXPECT_EQ(count(), 2u);
}

TEST_F(StoreTest, AStaleGateIsClearedWhenNobodyElseHasTheDirectoryOpen) {
  store_.reset();
  {
    std::fstream f(dir_.file(".proc_lock"), std::ios::in | std::ios::out | std::ios::binary);
    uint64_t words[2] = {1, 3};
    f.write(reinterpret_cast<const char*>(words), sizeof words);
  }
  open();
  EXPECT_EQ(store_->gate().writer_flag(), 0u);
  EXPECT_EQ(store_->gate().reader_count(), 0u);
  ASSERT_TRUE(add("a").ok());  // would spin forever on a stale gate
}

TEST_F(StoreTest, ProjectionEventsOnlyWhenEnabled) {
  auto run = [&] {
    ASSERT_TRUE(add("a").ok());
    ASSERT_TRUE(add("a").ok());
    std::vector<std::vector<float>> vectors(3, std::vector<float>{0.2f, 0.2f});
    ASSERT_TRUE(store_
                    ->add_batch(std::vector<std::string>{"b", "c", "b"}, vectors,
                                std::vector<std::string>(3, "{}"), std::nullopt, std::nullopt)
                    .ok());
    ASSERT_TRUE(store_->remove("missing").ok());
    ASSERT_EQ(store_->delete_by_filter("{}").value(), 3u);
  };
  run();
  EXPECT_EQ(store_->pca_runtime()->latest_seq(), 0u);
  EXPECT_EQ(store_->pca_runtime()->queued(), 0u);
  open(true);
  // The open's full sync, 2 upserts, 3 batch upserts, a delete, 3 filter deletes.
  run();
  EXPECT_EQ(store_->pca_runtime()->latest_seq(), 10u);
  EXPECT_EQ(store_->pca_runtime()->queued(), 10u);
}

}  // namespace
}  // namespace tarnix
