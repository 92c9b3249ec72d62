// Every kind of failing system call, met at every point of each writing call.
//
// For each workload, operation kind, errno and mode (once or from then on), the n-th call of
// that kind fails, for n = 1, 2, ... until the workload runs through without meeting it. Each
// case checks the error's exact text, that the gate is free again, that the store keeps
// working (or fails the same way while the fault lasts), and that a clean reopen holds every
// acknowledged write, with the failed call's effect either there or not.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "storage/faulty_fs.h"
#include "store/store.h"
#include "verifier.h"

namespace tarnix {
namespace {

using testing::Expectation;
using testing::Item;
using testing::verify_store;

constexpr size_t kDim = 4;
// The add_batch workload's log is larger than the 1 MiB writer buffer, so the batch takes
// more than one write. The bulk is a long skip_index name repeated in every record, which
// costs the store nothing to parse.
constexpr size_t kBatchItems = 12;
constexpr size_t kBatchSkipName = 90'000;
// No workload makes anywhere near this many calls of one kind.
constexpr uint64_t kMaxNth = 400;
constexpr unsigned kCaseDeadlineSeconds = 60;

// The store's files live on a memory file system where there is one: these cases are about
// error paths, not durability, and syncs there cost nothing.
class ScratchDir {
 public:
  ScratchDir() {
    std::string root =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string pattern = root + "/tarnix-fault-XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

Item make_item(const std::string& id, int n, const std::string& tag) {
  Json meta = {{"k", id}, {"n", n}, {"tag", tag}};
  std::vector<float> v(kDim);
  for (size_t i = 0; i < kDim; ++i) v[i] = std::sin(1.7 * n + static_cast<double>(i));
  return Item{meta.dump(), v};
}

const char* tag_of(int i) {
  return i % 3 == 0 ? "a" : i % 3 == 1 ? "b" : "c";
}

// A case hung: there is no way to stop the stuck call, so say which case it was and end.
char g_case_name[256];
void on_deadline(int) {
  const char prefix[] = "fault case hung: ";
  ssize_t ignored = write(2, prefix, sizeof prefix - 1);
  ignored = write(2, g_case_name, strnlen(g_case_name, sizeof g_case_name));
  ignored = write(2, "\n", 1);
  (void)ignored;
  _exit(124);
}

// The wall clock without the pauses of retry loops: a rename that keeps failing is tried
// 22 times, and the cases need the outcome, not the wait.
class NoPauseClock final : public Clock {
 public:
  int64_t now_nanos() const override { return system_clock()->now_nanos(); }
  void sleep_millis(uint64_t) const override {}
};

struct Harness {
  ScratchDir dir;
  std::shared_ptr<FaultyFileSystem> fs = std::make_shared<FaultyFileSystem>(posix_file_system());
  std::unique_ptr<Store> store;
  Expectation expect;

  Result<std::unique_ptr<Store>> open_store(std::shared_ptr<FileSystem> with) {
    return Store::open(dir.path(),
                       StoreOptions{std::move(with), std::make_shared<NoPauseClock>(), false});
  }
  void open() {
    store.reset();
    auto opened = open_store(fs);
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    store = std::move(opened).value();
  }
  Status add(const std::string& id, const Item& item) {
    return store->add(id, item.vector, item.meta, std::nullopt, std::nullopt);
  }
  void must_add(const std::string& id, const Item& item) {
    Status s = add(id, item);
    ASSERT_TRUE(s.ok()) << s.message();
    expect.put(id, item);
  }
  void must_remove(const std::string& id) {
    ASSERT_TRUE(store->remove(id).ok());
    expect.erase(id);
  }
  void must_add_range(int from, int to) {
    for (int i = from; i < to; ++i) {
      std::string id = "k" + std::to_string(i);
      must_add(id, make_item(id, i, tag_of(i)));
    }
  }
};

struct Workload {
  const char* name;
  // Acknowledged calls made before the fault is armed.
  std::function<void(Harness&)> setup;
  // The call under test.
  std::function<Status(Harness&)> run;
  // What the call did if it succeeded (ok) or may have done if it failed.
  std::function<void(Harness&, bool ok)> record;
};

std::vector<std::pair<std::string, Item>> batch_items() {
  std::vector<std::pair<std::string, Item>> batch;
  for (size_t i = 0; i < kBatchItems; ++i) {
    std::string id = "b" + std::to_string(i);
    batch.emplace_back(id, make_item(id, 1000 + static_cast<int>(i), "batch"));
  }
  return batch;
}

// Content the vacuum workloads compact: replacements, deletes, part in the snapshot.
void churn_for_vacuum(Harness& h) {
  h.must_add_range(0, 30);
  ASSERT_TRUE(h.store->persist().ok());
  for (int i = 0; i < 30; i += 4) h.must_remove("k" + std::to_string(i));
  h.must_add("k5", make_item("k5", 505, "b"));
  h.must_add_range(30, 34);
}

// A vacuum that failed past the point of no return, leaving the next open to finish it.
void leave_unfinished_vacuum(Harness& h, bool in_place) {
  churn_for_vacuum(h);
  if (in_place) {
    setenv("TARNIX_VACUUM_IN_PLACE", "1", 1);
    setenv("TARNIX_TEST_STOP_IN_PLACE_VACUUM_AT", "prepare", 1);
  } else {
    // The marker is durable; the journal's second write (its second rename) fails.
    h.fs->fail(FsOp::kRename, 2, EIO, false);
  }
  Status s = h.store->vacuum();
  ASSERT_EQ(s.message().rfind("store must be reopened: ", 0), 0u) << s.message();
  unsetenv("TARNIX_TEST_STOP_IN_PLACE_VACUUM_AT");
  h.fs->clear();
  h.store.reset();
}

Status reopen_under_fault(Harness& h) {
  auto opened = h.open_store(h.fs);
  if (!opened.ok()) return opened.take_status();
  h.store = std::move(opened).value();
  return Status();
}

const std::vector<Workload>& workloads() {
  static const std::vector<Workload> kWorkloads = {
      {"add", [](Harness& h) { h.must_add_range(0, 20); },
       [](Harness& h) { return h.add("new", make_item("new", 500, "c")); },
       [](Harness& h, bool ok) {
         Item item = make_item("new", 500, "c");
         ok ? h.expect.put("new", item) : h.expect.maybe_put("new", item);
       }},
      // The first vector fixes the dimension and reserves the slot files' blocks.
      {"first_add", [](Harness&) {},
       [](Harness& h) { return h.add("k0", make_item("k0", 0, "a")); },
       [](Harness& h, bool ok) {
         Item item = make_item("k0", 0, "a");
         ok ? h.expect.put("k0", item) : h.expect.maybe_put("k0", item);
       }},
      // A trimmed store is full: the next item grows all four slot files.
      {"add_grow",
       [](Harness& h) {
         h.must_add_range(0, 10);
         ASSERT_TRUE(h.store->persist().ok());
       },
       [](Harness& h) { return h.add("k10", make_item("k10", 10, "b")); },
       [](Harness& h, bool ok) {
         Item item = make_item("k10", 10, "b");
         ok ? h.expect.put("k10", item) : h.expect.maybe_put("k10", item);
       }},
      {"add_replace", [](Harness& h) { h.must_add_range(0, 20); },
       [](Harness& h) { return h.add("k7", make_item("k7", 507, "a")); },
       [](Harness& h, bool ok) {
         Item item = make_item("k7", 507, "a");
         ok ? h.expect.put("k7", item) : h.expect.maybe_put("k7", item);
       }},
      {"add_batch", [](Harness& h) { h.must_add_range(0, 5); },
       [](Harness& h) {
         std::vector<std::string> ids, metas;
         std::vector<std::vector<float>> vectors;
         for (const auto& [id, item] : batch_items()) {
           ids.push_back(id);
           metas.push_back(item.meta);
           vectors.push_back(item.vector);
         }
         std::vector<std::string> skip{std::string(kBatchSkipName, 's')};
         return h.store->add_batch(ids, vectors, metas, skip, std::nullopt);
       },
       [](Harness& h, bool ok) {
         if (!ok) return h.expect.maybe_put_prefix(batch_items());
         for (const auto& [id, item] : batch_items()) h.expect.put(id, item);
       }},
      {"delete", [](Harness& h) { h.must_add_range(0, 20); },
       [](Harness& h) { return h.store->remove("k5"); },
       [](Harness& h, bool ok) { ok ? h.expect.erase("k5") : h.expect.maybe_erase("k5"); }},
      {"delete_by_filter", [](Harness& h) { h.must_add_range(0, 20); },
       [](Harness& h) {
         Result<uint64_t> n = h.store->delete_by_filter(R"({"tag":"b"})");
         if (n.ok()) {
           EXPECT_EQ(*n, 7u) << "items deleted";
         }
         return n.ok() ? Status() : n.take_status();
       },
       [](Harness& h, bool ok) {
         for (int i = 1; i < 20; i += 3) {
           std::string id = "k" + std::to_string(i);
           ok ? h.expect.erase(id) : h.expect.maybe_erase(id);
         }
       }},
      // The log holds inserts and deletes past the last snapshot, and the tail of the slot
      // files is unused, so this persist trims them.
      {"persist_trim",
       [](Harness& h) {
         h.must_add_range(0, 40);
         ASSERT_TRUE(h.store->persist().ok());
         h.must_add_range(40, 45);
         for (int i = 30; i < 45; ++i) h.must_remove("k" + std::to_string(i));
       },
       [](Harness& h) {
         Status s = h.store->persist();
         // A persist that runs through trims; after a failed trim a later one may find
         // nothing left worth trimming.
         if (s.ok() && !h.fs->triggered()) {
           EXPECT_EQ(std::filesystem::file_size(h.dir.file("graph.bin")), 30 * kRowBytes);
           EXPECT_EQ(std::filesystem::file_size(h.dir.file("wal.bin")), 0u);
         }
         return s;
       },
       [](Harness&, bool) {}},
      // Recovery: the open replays a log on top of a snapshot, writing the data files.
      {"open",
       [](Harness& h) {
         h.must_add_range(0, 20);
         ASSERT_TRUE(h.store->persist().ok());
         h.must_add_range(20, 30);
         h.must_remove("k3");
         h.must_remove("k25");
         h.store.reset();
       },
       [](Harness& h) {
         auto opened = h.open_store(h.fs);
         if (!opened.ok()) return opened.take_status();
         h.store = std::move(opened).value();
         return Status();
       },
       [](Harness&, bool) {}},
      // An open that replays a long log checkpoints before it returns; a failure anywhere
      // in that checkpoint must leave a state that reopens with every item.
      {"open_checkpoint",
       [](Harness& h) {
         h.must_add_range(0, 20);
         ASSERT_TRUE(h.store->persist().ok());
         h.must_add_range(20, 30);
         h.must_remove("k3");
         h.must_add("k7", make_item("k7", 507, "a"));
         h.store.reset();
         setenv("TARNIX_REPLAY_CHECKPOINT_RECORDS", "5", 1);
       },
       [](Harness& h) {
         Status s = reopen_under_fault(h);
         if (s.ok() && !h.fs->triggered()) {
           EXPECT_EQ(std::filesystem::file_size(h.dir.file("wal.bin")), 0u);
         }
         return s;
       },
       [](Harness&, bool) {}},
      // A vacuum changes no content, whatever fails and wherever.
      {"vacuum", churn_for_vacuum, [](Harness& h) { return h.store->vacuum(); },
       [](Harness&, bool) {}},
      {"vacuum_rebuild", churn_for_vacuum,
       [](Harness& h) {
         setenv("TARNIX_VACUUM_REBUILD_GRAPH", "1", 1);
         return h.store->vacuum();
       },
       [](Harness&, bool) {}},
      {"vacuum_in_place", churn_for_vacuum,
       [](Harness& h) {
         setenv("TARNIX_VACUUM_IN_PLACE", "1", 1);
         return h.store->vacuum();
       },
       [](Harness&, bool) {}},
      // The open's recovery of interrupted vacuums, failing at every point.
      {"open_after_vacuum_rewrite", [](Harness& h) { leave_unfinished_vacuum(h, false); },
       reopen_under_fault, [](Harness&, bool) {}},
      {"open_after_vacuum_in_place", [](Harness& h) { leave_unfinished_vacuum(h, true); },
       reopen_under_fault, [](Harness&, bool) {}},
  };
  return kWorkloads;
}

const Workload& workload_named(const std::string& name) {
  for (const Workload& w : workloads()) {
    if (name == w.name) return w;
  }
  std::abort();
}

// The text a failure of the case's operation may carry. A vacuum reports a rename that kept
// failing in its own words, and once it is past its commit, every call says that the store
// must be reopened, quoting the first failure.
bool is_fault_text(const std::string& workload, const std::string& text,
                   const std::string& expected) {
  if (workload.find("vacuum") == std::string::npos) return text == expected;
  std::string_view t = text;
  const std::string_view reopen = "store must be reopened: ";
  if (t.substr(0, reopen.size()) == reopen) t.remove_prefix(reopen.size());
  return t == expected || t.substr(0, 17) == "Failed to rename ";
}

bool must_reopen(const Status& s) {
  return s.message().rfind("store must be reopened: ", 0) == 0;
}

uint64_t gate_word_in_file(const std::string& path, size_t i) {
  std::ifstream f(path, std::ios::binary);
  uint64_t words[2] = {0, 0};
  f.read(reinterpret_cast<char*>(words), sizeof words);
  return words[i];
}

struct Param {
  std::string workload;
  FsOp op;
  int err;
  bool persistent;
};

std::string param_name(const ::testing::TestParamInfo<Param>& info) {
  const Param& p = info.param;
  return p.workload + "_" + fs_op_name(p.op) + "_" + (p.err == EIO ? "EIO" : "ENOSPC") + "_" +
         (p.persistent ? "always" : "once");
}

class FaultMatrix : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override {
    // Syncs only where the case wants them: the log is synced by every call under test.
    setenv("TARNIX_WAL_SYNC_INTERVAL_MS", "100000000", 1);
    signal(SIGALRM, on_deadline);
  }
  void TearDown() override {
    alarm(0);
    for (const char* var :
         {"TARNIX_WAL_SYNC_INTERVAL_MS", "TARNIX_VACUUM_IN_PLACE", "TARNIX_VACUUM_REBUILD_GRAPH",
          "TARNIX_TEST_STOP_IN_PLACE_VACUUM_AT", "TARNIX_REPLAY_CHECKPOINT_RECORDS"}) {
      unsetenv(var);
    }
  }

  // Runs one case; returns whether the fault was met.
  bool run_case(uint64_t nth);
};

bool FaultMatrix::run_case(uint64_t nth) {
  const Param& p = GetParam();
  const Workload& w = workload_named(p.workload);
  std::snprintf(g_case_name, sizeof g_case_name, "%s n=%llu", param_name({p, 0}).c_str(),
                static_cast<unsigned long long>(nth));
  SCOPED_TRACE(g_case_name);
  alarm(kCaseDeadlineSeconds);
  const std::string expected_text = os_error_text(p.err);

  Harness h;
  h.open();
  w.setup(h);
  if (::testing::Test::HasFatalFailure()) return false;

  setenv("TARNIX_WAL_SYNC_INTERVAL_MS", "0", 1);
  h.fs->fail(p.op, nth, p.err, p.persistent);
  Status s = w.run(h);
  const bool met = h.fs->triggered();
  if (s.ok()) {
    w.record(h, true);
  } else {
    EXPECT_TRUE(met) << "failed without meeting the fault: " << s.message();
    EXPECT_EQ(s.code(), StatusCode::kIoError) << s.message();
    EXPECT_EQ(s.os_errno(), p.err) << s.message();
    EXPECT_TRUE(is_fault_text(p.workload, s.message(), expected_text)) << s.message();
    w.record(h, false);
    if (h.store) {
      EXPECT_EQ(h.store->gate().writer_flag(), 0u);
      EXPECT_EQ(h.store->gate().reader_count(), 0u);
    } else {
      EXPECT_EQ(gate_word_in_file(h.dir.file(".proc_lock"), 0), 0u);
      EXPECT_EQ(gate_word_in_file(h.dir.file(".proc_lock"), 1), 0u);
    }
    if (p.persistent) {
      // While the fault lasts, the same call fails the same way (or gets by without the
      // failing operation); it never hangs or reports something else.
      Status again = w.run(h);
      if (again.ok()) {
        w.record(h, true);
      } else {
        EXPECT_TRUE(is_fault_text(p.workload, again.message(), expected_text))
            << again.message();
      }
    }
  }
  h.fs->clear();
  if (h.store && must_reopen(h.store->count().status())) {
    // Only a new open can go on from a vacuum that failed past its commit.
    h.open();
    if (::testing::Test::HasFatalFailure()) return met;
  }

  // The store keeps working once the fault is gone.
  if (h.store) {
    Item probe = make_item("probe", 9000, "a");
    Status st = h.add("probe", probe);
    EXPECT_TRUE(st.ok()) << "write after the fault: " << st.message();
    if (st.ok()) h.expect.put("probe", probe);
    if (p.workload == "persist_trim") {
      st = h.store->persist();
      EXPECT_TRUE(st.ok()) << "persist after the fault: " << st.message();
    }
    EXPECT_TRUE(verify_store(*h.store, h.expect)) << "live store";
    h.store.reset();
  }
  EXPECT_EQ(gate_word_in_file(h.dir.file(".proc_lock"), 0), 0u);

  auto reopened = h.open_store(posix_file_system());
  EXPECT_TRUE(reopened.ok()) << reopened.status().message();
  if (reopened.ok()) {
    EXPECT_TRUE(verify_store(**reopened, h.expect)) << "reopened store";
  }
  alarm(0);
  return met;
}

TEST_P(FaultMatrix, EveryPointOfFailure) {
  uint64_t met = 0;
  uint64_t nth = 1;
  for (; nth <= kMaxNth; ++nth) {
    bool hit = run_case(nth);
    if (HasFailure()) break;
    if (!hit) break;
    ++met;
  }
  EXPECT_LE(nth, kMaxNth) << "the workload kept meeting the fault";
  RecordProperty("cases", static_cast<int>(nth));
  RecordProperty("faults_met", static_cast<int>(met));
  std::printf("[ matrix ] %s: %llu cases, fault met in %llu\n", param_name({GetParam(), 0}).c_str(),
              static_cast<unsigned long long>(nth), static_cast<unsigned long long>(met));
}

std::vector<Param> all_params() {
  std::vector<Param> out;
  for (const Workload& w : workloads()) {
    for (FsOp op :
         {FsOp::kWrite, FsOp::kFsync, FsOp::kFdatasync, FsOp::kRename, FsOp::kTruncate,
          FsOp::kFallocate, FsOp::kUnlink, FsOp::kMmap, FsOp::kOpen, FsOp::kRead, FsOp::kMsync}) {
      for (int err : {EIO, ENOSPC}) {
        for (bool persistent : {false, true}) out.push_back(Param{w.name, op, err, persistent});
      }
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Store, FaultMatrix, ::testing::ValuesIn(all_params()), param_name);

}  // namespace
}  // namespace tarnix
