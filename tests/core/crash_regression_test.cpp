// Crash states that once broke the store. Each case records a small workload through the
// crash recorder and checks every state that a process crash or a power loss could leave
// at each of its crash points, so the kind of state that showed the fault is met every time
// (the faults were in the order of the writes, so the states must come from today's code).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "exploration.h"
#include "recording_fs.h"

namespace tarnix::crash {
namespace {

class CrashRegression : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string root = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = root + "/tarnix-crash-regression-XXXXXX";
    scratch_ = mkdtemp(pattern.data());
    setenv("TARNIX_CAPACITY_GROWTH", "1000", 1);
  }
  void TearDown() override {
    unsetenv("TARNIX_CAPACITY_GROWTH");
    std::error_code ec;
    std::filesystem::remove_all(scratch_, ec);
  }

  // Every state of both kinds at every crash point of the body; the violations found.
  std::vector<std::string> explore(uint64_t interval_ms,
                                   const std::function<void(ScriptRunner&)>& body) {
    Recording r = record_workload(::testing::UnitTest::GetInstance()->current_test_info()->name(),
                                  interval_ms, scratch_ + "/live", body);
    EXPECT_EQ(r.failure, "");
    ExploreOptions options;
    options.scratch = scratch_ + "/states";
    Explorer explorer(options);
    explorer.explore(r, false);
    explorer.explore(r, true);
    EXPECT_GT(explorer.explored(), 10u);
    return explorer.violation_texts();
  }

  std::string scratch_;
};

// Passes when no state violated; otherwise names the first few.
::testing::AssertionResult none(const std::vector<std::string>& violations) {
  if (violations.empty()) return ::testing::AssertionSuccess();
  ::testing::AssertionResult r = ::testing::AssertionFailure();
  r << violations.size() << " violating states, among them:";
  for (size_t i = 0; i < std::min<size_t>(3, violations.size()); ++i) r << "\n" << violations[i];
  return r;
}

// The explorer itself: a disk that ignores the log's syncs must cost acknowledged writes in
// a power loss, and nothing in a process crash.
TEST_F(CrashRegression, ALogWhoseSyncsTheDiskIgnoresLosesAcknowledgedWrites) {
  Recording r = record_workload("ignored_syncs", 0, scratch_ + "/live", [](ScriptRunner& run) {
    run.recorder().ignore_syncs_of("wal.bin");
    run.add("k0", "a");
    run.persist();
    run.begin_body();
    run.add("k1", "b");
    run.remove("k0");
  });
  ASSERT_EQ(r.failure, "");
  ExploreOptions options;
  options.scratch = scratch_ + "/states";
  Explorer explorer(options);
  EXPECT_EQ(explorer.explore(r, false).violations, 0u);
  Tally power = explorer.explore(r, true);
  EXPECT_GT(power.violations, 0u);
  bool lost = false;
  for (const std::string& v : explorer.violation_texts()) {
    lost |= v.find("item k1 is missing") != std::string::npos ||
            v.find("item k0 has metadata") != std::string::npos;
  }
  EXPECT_TRUE(lost) << "no state lost an acknowledged write";
}

// A new store's directory and files were created but never synced into their parent
// directories, so a power loss could take the whole store, synced log and all.
TEST_F(CrashRegression, NewStoreSurvivesPowerLoss) {
  EXPECT_TRUE(none(explore(0, [](ScriptRunner& run) {
    run.add("k0", "a");
    run.add("k1", "b");
  })));
}

// Growing the slot files was not durable before rows named the new slots: a power loss that
// kept a neighbour's row but not the new length left a row pointing past the capacity.
TEST_F(CrashRegression, RowsNameSlotsOfAGrowth) {
  EXPECT_TRUE(none(explore(250, [](ScriptRunner& run) {
    for (const char* id : {"k0", "k1", "k2"}) run.add(id, "a");
    run.persist();  // trims the files to three slots
    run.begin_body();
    for (const char* id : {"k3", "k4", "k5"}) run.add(id, "b");
  })));
}

// A reused slot was overwritten through the mapping before the log record that freed it was
// durable: a power loss that kept those pages but not the log's tail brought the deleted
// (or replaced) item back from the snapshot, over the new item's vector and records.
TEST_F(CrashRegression, SlotReusedBeforeItsDeletionIsDurable) {
  EXPECT_TRUE(none(explore(250, [](ScriptRunner& run) {
    for (const char* id : {"k0", "k1", "k2", "k3"}) run.add(id, "a");
    run.persist();
    run.begin_body();
    run.remove("k0");
    run.add("n0", "b");  // takes slot 0
    run.add("k2", "c");  // replaces k2 in its own slot
    run.delete_by_tag("a");
    run.add("n1", "b");
  })));
}

// A persist cut the tail of the slot files while the deletions of the items there were only
// in the log's unsynced tail. After a power loss the old snapshot named them again; the open
// dropped them as lying beyond the files, but its replay grew the files and wrote other items
// there, which the next open took for the snapshot's items. And the cut could reach the disk
// before the rows that named the cut slots lost those edges, leaving rows that point past the
// files when nothing in the log grows them again.
TEST_F(CrashRegression, TrimOfItemsWhoseDeletionIsNotDurable) {
  EXPECT_TRUE(none(explore(250, [](ScriptRunner& run) {
    for (int i = 0; i < 8; ++i) run.add("k" + std::to_string(i), "a");
    run.persist();
    run.add("k8", "b");  // grows the files again
    for (const char* id : {"k5", "k6", "k7", "k8"}) run.remove(id);
    run.begin_body();
    run.persist();
    run.add("k9", "c");
    run.persist();
    run.remove("k9");
    run.persist();
  })));
}

}  // namespace
}  // namespace tarnix::crash
