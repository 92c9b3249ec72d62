// Failures the fault matrix found, each pinned down on its own.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "storage/faulty_fs.h"
#include "store/store.h"
#include "test_util.h"

namespace tarnix {
namespace {

using testing::TempDir;

// Forwards to the system, with a hook in front of open() and read() that may fail the call
// or do something first (the hook sees the path of every open).
class HookFs final : public FileSystem {
 public:
  std::function<Status(const std::string& path, int flags)> on_open;
  std::function<Status()> on_read;

  Result<int> open(const std::string& path, int flags, mode_t mode) override {
    if (on_open) TARNIX_RETURN_IF_ERROR(on_open(path, flags));
    return base_->open(path, flags, mode);
  }
  void close(int fd) override { base_->close(fd); }
  Result<size_t> read(int fd, void* buf, size_t n) override {
    if (on_read) TARNIX_RETURN_IF_ERROR(on_read());
    return base_->read(fd, buf, n);
  }
  Result<size_t> pread(int fd, void* buf, size_t n, uint64_t offset) override {
    return base_->pread(fd, buf, n, offset);
  }
  Result<size_t> write(int fd, const void* buf, size_t n) override {
    return base_->write(fd, buf, n);
  }
  Result<size_t> pwrite(int fd, const void* buf, size_t n, uint64_t offset) override {
    return base_->pwrite(fd, buf, n, offset);
  }
  Status ftruncate(int fd, uint64_t length) override { return base_->ftruncate(fd, length); }
  Status fallocate(int fd, uint64_t offset, uint64_t length) override {
    return base_->fallocate(fd, offset, length);
  }
  Status fsync(int fd) override { return base_->fsync(fd); }
  Status fdatasync(int fd) override { return base_->fdatasync(fd); }
  Result<uint64_t> file_size(int fd) override { return base_->file_size(fd); }
  Status seek(int fd, uint64_t offset) override { return base_->seek(fd, offset); }
  Status rename(const std::string& from, const std::string& to) override {
    return base_->rename(from, to);
  }
  Status unlink(const std::string& path) override { return base_->unlink(path); }
  Status create_dirs(const std::string& path) override { return base_->create_dirs(path); }
  Result<FileStamp> stat(const std::string& path) override { return base_->stat(path); }
  Status sync_dir(const std::string& path) override { return base_->sync_dir(path); }
  Result<void*> mmap(int fd, size_t length, bool writable, bool shared) override {
    return base_->mmap(fd, length, writable, shared);
  }
  Result<void*> mremap(void* address, size_t old_length, size_t new_length) override {
    return base_->mremap(address, old_length, new_length);
  }
  Status msync(void* address, size_t length) override { return base_->msync(address, length); }
  void munmap(void* address, size_t length) override { base_->munmap(address, length); }
  void madvise_random(void* address, size_t length) override {
    base_->madvise_random(address, length);
  }
  Status lock_range(int fd, uint64_t start, uint64_t length, LockKind kind, bool wait) override {
    return base_->lock_range(fd, start, length, kind, wait);
  }

 private:
  std::shared_ptr<FileSystem> base_ = posix_file_system();
};

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

Result<std::unique_ptr<Store>> open_store(const std::string& dir,
                                          std::shared_ptr<FileSystem> fs = posix_file_system()) {
  return Store::open(dir, StoreOptions{std::move(fs), system_clock(), false});
}

Status add(Store& store, const std::string& id, const std::string& meta = "{}") {
  float x = static_cast<float>(id.size() % 7) / 7.0f;
  return store.add(id, std::vector<float>{x, -x, 0.5f}, meta, std::nullopt, std::nullopt);
}

// A store whose snapshot holds k0..k9 and whose log holds k10..k14 and a deletion of k3.
void make_store(const std::string& dir) {
  auto store = open_store(dir);
  ASSERT_TRUE(store.ok());
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(add(**store, "k" + std::to_string(i)).ok());
  ASSERT_TRUE((*store)->persist().ok());
  for (int i = 10; i < 15; ++i) ASSERT_TRUE(add(**store, "k" + std::to_string(i)).ok());
  ASSERT_TRUE((*store)->remove("k3").ok());
}

// An open that cannot read the snapshot or the log must fail: going on without them would
// show an older store, and the next write would overwrite the slots they name.
TEST(StoreFaults, AnOpenThatCannotReadTheSnapshotOrTheLogFails) {
  struct Case {
    const char* file;
    bool fail_open;
  };
  for (Case c : {Case{"/snapshot.bin", true}, Case{"/wal.bin", true}, Case{"/snapshot.bin", false},
                 Case{"/wal.bin", false}}) {
    SCOPED_TRACE(std::string(c.file) + (c.fail_open ? " open" : " read"));
    TempDir dir;
    make_store(dir.path());
    auto fs = std::make_shared<HookFs>();
    bool reading = false;
    fs->on_open = [&](const std::string& path, int flags) -> Status {
      reading = ends_with(path, c.file) && (flags & O_ACCMODE) == O_RDONLY;
      if (reading && c.fail_open) return Status::io_error(EIO);
      return Status();
    };
    fs->on_read = [&]() -> Status {
      if (reading && !c.fail_open) return Status::io_error(EIO);
      return Status();
    };
    auto failed = open_store(dir.path(), fs);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.status().message(), "Input/output error (os error 5)");

    // Nothing was lost or cut: a clean open has everything.
    auto store = open_store(dir.path());
    ASSERT_TRUE(store.ok());
    EXPECT_EQ((*store)->count().value(), 14u);
    EXPECT_FALSE((*store)->exists(R"({"_id":"k3"})").value());
    EXPECT_TRUE((*store)->exists(R"({"_id":"k14"})").value());
  }
}

// A deletion that cannot read the item's metadata still takes the slot out of every index:
// otherwise the values would go on selecting whatever item takes the slot next.
TEST(StoreFaults, ADeletionThatCannotReadTheMetadataStillLeavesEveryIndex) {
  TempDir dir;
  auto fs = std::make_shared<FaultyFileSystem>(posix_file_system());
  auto store = open_store(dir.path(), fs);
  ASSERT_TRUE(store.ok());
  ASSERT_TRUE(add(**store, "a", R"({"n":1,"tag":"old"})").ok());
  ASSERT_TRUE(add(**store, "b", R"({"n":2,"tag":"keep"})").ok());
  fs->fail(FsOp::kMmap, 1, ENOMEM, true);
  ASSERT_TRUE((*store)->remove("a").ok());
  fs->clear();
  // The new item reuses the freed slot.
  ASSERT_TRUE(add(**store, "c", R"({"tag":"new"})").ok());
  EXPECT_FALSE((*store)->exists(R"({"tag":"old"})").value());
  EXPECT_FALSE((*store)->exists(R"({"n":1})").value());
  EXPECT_EQ((*store)->get_all_items(R"({"tag":"new"})").value(),
            std::vector<std::string>{R"({"tag":"new"})"});
  EXPECT_TRUE((*store)->shared_index()->index->check_invariants().ok());
}

// delete_by_filter names each victim by its stored id; when the id file cannot be mapped
// that is an error, not a filter that matched nothing.
TEST(StoreFaults, DeleteByFilterFailsWhenItCannotReadTheIds) {
  TempDir dir;
  auto fs = std::make_shared<FaultyFileSystem>(posix_file_system());
  auto store = open_store(dir.path(), fs);
  ASSERT_TRUE(store.ok());
  for (const char* id : {"a", "b", "c"}) ASSERT_TRUE(add(**store, id, R"({"t":"x"})").ok());
  fs->fail(FsOp::kMmap, 1, ENOMEM, false);
  Result<uint64_t> n = (*store)->delete_by_filter(R"({"t":"x"})");
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(n.status().message(), "Cannot allocate memory (os error 12)");
  EXPECT_EQ((*store)->count().value(), 3u);
  EXPECT_EQ((*store)->delete_by_filter(R"({"t":"x"})").value(), 3u);
}

// Another process's open reads the snapshot, then the log. A persist that replaced the one
// and emptied the other in between would leave that process with neither the old records
// nor the new snapshot.
TEST(StoreFaults, PersistWaitsForAnotherStoresOpen) {
  TempDir dir;
  auto writer = open_store(dir.path());
  ASSERT_TRUE(writer.ok());
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(add(**writer, "k" + std::to_string(i)).ok());
  ASSERT_TRUE((*writer)->persist().ok());
  for (int i = 10; i < 20; ++i) ASSERT_TRUE(add(**writer, "k" + std::to_string(i)).ok());

  // The second store is opened between its snapshot load and its log replay, a persist of
  // the first is given the chance to run to completion.
  auto fs = std::make_shared<HookFs>();
  std::future<Status> persisted;
  fs->on_open = [&](const std::string& path, int flags) -> Status {
    if (ends_with(path, "/wal.bin") && (flags & O_ACCMODE) == O_RDONLY && !persisted.valid()) {
      persisted = std::async(std::launch::async, [&] { return (*writer)->persist(); });
      persisted.wait_for(std::chrono::milliseconds(300));
    }
    return Status();
  };
  auto reader = open_store(dir.path(), fs);
  ASSERT_TRUE(reader.ok());
  ASSERT_TRUE(persisted.valid());
  EXPECT_TRUE(persisted.get().ok());
  EXPECT_EQ((*reader)->count().value(), 20u);
}

// A trim cuts off deleted slots that live rows may still name; those entries go with them.
TEST(StoreFaults, ATrimLeavesNoRowNamingACutOffSlot) {
  TempDir dir;
  auto store = open_store(dir.path());
  ASSERT_TRUE(store.ok());
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(add(**store, "k" + std::to_string(i)).ok());
  for (int i = 20; i < 40; ++i) ASSERT_TRUE((*store)->remove("k" + std::to_string(i)).ok());
  ASSERT_TRUE((*store)->persist().ok());
  EXPECT_EQ((*store)->shared_index()->index->capacity, 20u);
  Status s = (*store)->shared_index()->index->check_invariants();
  EXPECT_TRUE(s.ok()) << s.message();
  store->reset();
  auto reopened = open_store(dir.path());
  ASSERT_TRUE(reopened.ok());
  s = (*reopened)->shared_index()->index->check_invariants();
  EXPECT_TRUE(s.ok()) << s.message();
  EXPECT_EQ((*reopened)->count().value(), 20u);
}

// A store that opened alone replayed the log into the shared files; a writer that opens
// while it is there follows that log instead of replaying it (which would append the
// items' records again). The first store follows the writer's new item, and still reads
// its own items back whole.
TEST(StoreFaults, AStoreFollowsWhatAWriterThatOpenedLaterAdds) {
  TempDir dir;
  {
    auto first = open_store(dir.path());
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(add(**first, "a", R"({"k":"a"})").ok());
  }
  auto reader = open_store(dir.path());
  ASSERT_TRUE(reader.ok());
  const uint64_t ids_size = std::filesystem::file_size(dir.path() + "/ids.bin");
  auto writer = open_store(dir.path());
  ASSERT_TRUE(writer.ok());
  EXPECT_EQ(std::filesystem::file_size(dir.path() + "/ids.bin"), ids_size);
  ASSERT_TRUE(add(**writer, "b", R"({"k":"b"})").ok());

  EXPECT_EQ((*reader)->get_all_items("{}").value(),
            (std::vector<std::string>{R"({"k":"a"})", R"({"k":"b"})"}));
  Json filter = Json{{"k", "a"}};
  GateReader inside((*reader)->gate());
  auto hits = (*reader)->search(std::vector<float>{1.0f / 7, -1.0f / 7, 0.5f}, 1, &filter, true);
  ASSERT_TRUE(hits.ok());
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].id, "a");
  EXPECT_EQ((*hits)[0].metadata, R"({"k":"a"})");
}

}  // namespace
}  // namespace tarnix
