// The process gate between real processes: mutual exclusion under load, the presence and
// writer-role locks, and a gate left set by a process that died inside it.
#include "storage/process_gate.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <new>
#include <random>

#include "store/store.h"
#include "test_util.h"

namespace tarnix {
namespace {

using testing::TempDir;

// Counters in an anonymous shared mapping, seen by every forked process. They are kept
// apart from the gate's own words, so they witness what the gate allows.
struct Witness {
  std::atomic<int64_t> ready{0};
  std::atomic<int64_t> writers_inside{0};
  std::atomic<int64_t> readers_inside{0};
  std::atomic<int64_t> violations{0};
  std::atomic<int64_t> writer_entries{0};
  std::atomic<int64_t> reader_entries{0};
  std::atomic<int64_t> max_readers_together{0};
};

template <class T>
T* shared_anonymous() {
  void* p = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(p, MAP_FAILED);
  return new (p) T();
}

// The full size runs under `make stress`; the default keeps the Debug build quick.
uint64_t entries_per_process() {
  const char* raw = std::getenv("TARNIX_GATE_STRESS_ENTRIES");
  if (raw && *raw) return std::strtoull(raw, nullptr, 10);
  return 100'000;
}

std::array<uint64_t, 2> gate_words(const std::string& dir) {
  std::ifstream f(dir + "/.proc_lock", std::ios::binary);
  std::array<uint64_t, 2> words{};
  f.read(reinterpret_cast<char*>(words.data()), sizeof(uint64_t) * 2);
  return words;
}

// Waits for a child and returns its exit code, or 128 + the signal that ended it.
int wait_child(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

// Overlapping sections: each side announces itself, then looks at the other side's count.
// Under sequentially consistent atomics, of two sections that overlap at least one sees the
// other, so a gate that lets a writer in with anyone else is caught.
void child_loop(const std::string& dir, Witness* w, int index, uint64_t entries, int processes) {
  auto gate = ProcessGate::open(*posix_file_system(), dir);
  if (!gate.ok()) _exit(2);
  (*gate)->share_presence();
  w->ready.fetch_add(1);
  while (w->ready.load() < processes) sched_yield();

  std::mt19937 rng(1234 + index);
  volatile uint64_t sink = 0;
  for (uint64_t i = 0; i < entries; ++i) {
    if (rng() % 4 == 0) {
      GateWriter inside(**gate);
      int64_t writers = w->writers_inside.fetch_add(1) + 1;
      if (writers != 1 || w->readers_inside.load() != 0) w->violations.fetch_add(1);
      for (int spin = 0; spin < 50; ++spin) sink = sink + spin;
      w->writers_inside.fetch_sub(1);
      w->writer_entries.fetch_add(1);
    } else {
      GateReader inside(**gate);
      int64_t readers = w->readers_inside.fetch_add(1) + 1;
      if (w->writers_inside.load() != 0) w->violations.fetch_add(1);
      int64_t seen = w->max_readers_together.load();
      while (readers > seen && !w->max_readers_together.compare_exchange_weak(seen, readers)) {
      }
      for (int spin = 0; spin < 50; ++spin) sink = sink + spin;
      w->readers_inside.fetch_sub(1);
      w->reader_entries.fetch_add(1);
    }
  }
  _exit(0);
}

TEST(ProcessGateFork, AWriterIsNeverInsideWithAnyoneElse) {
  constexpr int kProcesses = 4;
  const uint64_t entries = entries_per_process();
  TempDir dir;
  Witness* w = shared_anonymous<Witness>();
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) child_loop(dir.path(), w, p, entries, kProcesses);
    pids.push_back(pid);
  }
  for (pid_t pid : pids) EXPECT_EQ(wait_child(pid), 0);
  EXPECT_EQ(w->violations.load(), 0);
  EXPECT_EQ(w->writer_entries.load() + w->reader_entries.load(),
            static_cast<int64_t>(entries * kProcesses));
  EXPECT_GT(w->writer_entries.load(), 0);
  std::printf(
      "[ gate ] %d processes x %llu entries: %lld writer, %lld reader entries, "
      "up to %lld readers inside together\n",
      kProcesses, static_cast<unsigned long long>(entries),
      static_cast<long long>(w->writer_entries.load()),
      static_cast<long long>(w->reader_entries.load()),
      static_cast<long long>(w->max_readers_together.load()));
  // Every process has left: the words are free.
  EXPECT_EQ(gate_words(dir.path()), (std::array<uint64_t, 2>{0, 0}));
  munmap(w, sizeof(Witness));
}

Result<std::unique_ptr<Store>> open_store(const std::string& dir) {
  return Store::open(dir, StoreOptions{posix_file_system(), system_clock(), false});
}

Status add(Store& store, const std::string& id) {
  return store.add(id, std::vector<float>{0.25f, -0.5f}, "{}", std::nullopt, std::nullopt);
}

// Exit codes of the child: 0 as expected, otherwise which check failed.
int second_writer_child(const std::string& dir) {
  auto store = open_store(dir);
  if (!store.ok()) return 2;
  if ((*store)->count().value() != 1) return 3;
  if (!add(**store, "b").ok() || !(*store)->remove("a").ok() || !(*store)->persist().ok()) {
    return 4;
  }
  if ((*store)->count().value() != 1) return 5;
  return 0;
}

// Two processes write one directory in turn, and each sees what the other wrote.
TEST(ProcessGateFork, WritingProcessesTakeTurns) {
  TempDir dir;
  auto store = open_store(dir.path());
  ASSERT_TRUE(store.ok());
  ASSERT_TRUE(add(**store, "a").ok());

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  // The child inherits this store's descriptors, so it leaves with _exit: running the
  // store's destructor there would release the parent's locks.
  if (pid == 0) _exit(second_writer_child(dir.path()));
  EXPECT_EQ(wait_child(pid), 0);

  // The child's add, delete and persist are all here, and this store writes on top of them.
  EXPECT_EQ((*store)->count().value(), 1u);
  EXPECT_TRUE((*store)->exists(R"({"id":"b"})").value());
  ASSERT_TRUE(add(**store, "c").ok());
  store->reset();
  auto reopened = open_store(dir.path());
  ASSERT_TRUE(reopened.ok());
  EXPECT_EQ((*reopened)->count().value(), 2u);
  EXPECT_FALSE((*reopened)->exists(R"({"id":"a"})").value());
}

// A process that dies inside the gate leaves its word set; the next open by a process that
// finds nobody else attached clears it.
void die_inside(const std::string& dir, bool as_writer) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto store = open_store(dir);
    if (!store.ok() || !add(**store, as_writer ? "w" : "r").ok()) _exit(1);
    as_writer ? (*store)->gate().enter_writer() : (*store)->gate().enter_reader();
    _exit(0);
  }
  ASSERT_EQ(wait_child(pid), 0);
}

TEST(ProcessGateFork, AGateLeftByADeadProcessIsClearedAtOpen) {
  TempDir dir;
  for (bool as_writer : {true, false}) {
    SCOPED_TRACE(as_writer ? "died as a writer" : "died as a reader");
    die_inside(dir.path(), as_writer);
    EXPECT_EQ(gate_words(dir.path()),
              (std::array<uint64_t, 2>{as_writer ? 1u : 0u, as_writer ? 0u : 1u}));
    // Would spin forever on the stale words; the alarm turns a hang into a failure.
    alarm(60);
    auto store = open_store(dir.path());
    ASSERT_TRUE(store.ok());
    EXPECT_EQ((*store)->gate().writer_flag(), 0u);
    EXPECT_EQ((*store)->gate().reader_count(), 0u);
    EXPECT_TRUE(add(**store, as_writer ? "after-w" : "after-r").ok());
    EXPECT_EQ((*store)->get_all_items("{}").value().size(), as_writer ? 2u : 4u);
    alarm(0);
  }
}

// The same while another store has the directory open all along, so no open is alone: the
// next call that waits on the word clears it, since nobody holds the lock that says a live
// process is inside.
TEST(ProcessGateFork, AGateLeftByADeadProcessIsClearedWhileOthersHaveItOpen) {
  TempDir dir;
  auto store = open_store(dir.path());
  ASSERT_TRUE(store.ok());
  for (bool as_writer : {true, false}) {
    SCOPED_TRACE(as_writer ? "died as a writer" : "died as a reader");
    die_inside(dir.path(), as_writer);
    alarm(60);
    EXPECT_EQ((*store)->get_all_items("{}").value().size(), as_writer ? 1u : 3u);
    EXPECT_TRUE(add(**store, as_writer ? "after-w" : "after-r").ok());
    EXPECT_EQ((*store)->gate().writer_flag(), 0u);
    EXPECT_EQ((*store)->gate().reader_count(), 0u);
    alarm(0);
  }
}

}  // namespace
}  // namespace tarnix
