// RecordingFileSystem: a FileSystem that forwards to the POSIX one and records, in order,
// every change a workload makes to one storage directory, into a CrashLog.
//
// Descriptor operations are recorded as they happen. Stores through shared writable
// mappings never pass through the seam, so every such mapping has a shadow copy, and at
// each mutating seam call (and at point()) the pages that differ from their shadow are
// recorded as whole-page writes of the mapped file and the shadow catches up. The kernel
// may write such a page back at any moment, so a page is recorded as of when it was seen.
//
// `.proc_lock` is the processes' gate, not durable state: it is neither recorded nor
// shadowed. Not thread-safe beyond what one writing thread needs (a workload's calls are
// serialised); the mutex only guards the bookkeeping.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "crash_log.h"
#include "storage/fs.h"

namespace tarnix::crash {

class RecordingFileSystem final : public FileSystem {
 public:
  // Records what happens inside `dir` into `log`, whose base image must describe `dir` as it
  // is now. `clock` stamps every operation.
  RecordingFileSystem(std::string dir, CrashLog* log, std::shared_ptr<Clock> clock);

  // Records the mapped stores made since the last seam call; returns the number of
  // operations recorded so far (a crash point).
  size_t point();
  // Where the last write or resize of the log file (wal.bin) was recorded, if any.
  std::optional<size_t> last_log_change() const { return last_log_change_; }
  // Set when the recorder met something it cannot model (a file it did not see created);
  // the recording is then not to be trusted.
  const std::string& trouble() const { return trouble_; }
  // For testing the explorer: syncs of the file named `name` are recorded as if the disk
  // had ignored them (the log still counts them as syncs), so acknowledged writes can be
  // lost in a power loss.
  void ignore_syncs_of(std::string name) { ignored_syncs_ = std::move(name); }

  Result<int> open(const std::string& path, int flags, mode_t mode) override;
  void close(int fd) override;
  Result<size_t> read(int fd, void* buf, size_t n) override { return base_->read(fd, buf, n); }
  Result<size_t> pread(int fd, void* buf, size_t n, uint64_t offset) override {
    return base_->pread(fd, buf, n, offset);
  }
  Result<size_t> write(int fd, const void* buf, size_t n) override;
  Result<size_t> pwrite(int fd, const void* buf, size_t n, uint64_t offset) override;
  Status ftruncate(int fd, uint64_t length) override;
  Status fallocate(int fd, uint64_t offset, uint64_t length) override;
  Status fsync(int fd) override { return sync(fd, false); }
  Status fdatasync(int fd) override { return sync(fd, true); }
  Result<uint64_t> file_size(int fd) override { return base_->file_size(fd); }
  Status seek(int fd, uint64_t offset) override { return base_->seek(fd, offset); }
  Status rename(const std::string& from, const std::string& to) override;
  Status unlink(const std::string& path) override;
  Status create_dirs(const std::string& path) override;
  Result<FileStamp> stat(const std::string& path) override { return base_->stat(path); }
  Status sync_dir(const std::string& path) override;
  Result<void*> mmap(int fd, size_t length, bool writable, bool shared) override;
  Result<void*> mremap(void* address, size_t old_length, size_t new_length) override;
  Status msync(void* address, size_t length) override;
  void munmap(void* address, size_t length) override;
  void madvise_random(void* address, size_t length) override {
    base_->madvise_random(address, length);
  }
  Status lock_range(int fd, uint64_t start, uint64_t length, LockKind kind, bool wait) override {
    return base_->lock_range(fd, start, length, kind, wait);
  }

 private:
  struct Shadow {
    uint32_t inode = 0;
    std::string copy;
  };

  // The file name inside the directory, or nothing for paths elsewhere and for the gate.
  std::optional<std::string> name_in_dir(const std::string& path) const;
  std::optional<uint32_t> inode_of_fd(int fd) const;
  void record(CrashOp op);
  void note_trouble(const std::string& what);
  // Records every page that differs from its shadow. Called with mu_ held.
  void capture_locked();
  void capture_shadow_locked(uint8_t* address, Shadow& shadow);
  Status sync(int fd, bool data_only);
  void record_resize_if_changed(int fd, uint32_t inode, uint64_t before);

  std::shared_ptr<FileSystem> base_;
  std::string dir_;
  CrashLog* log_;
  std::shared_ptr<Clock> clock_;
  mutable std::mutex mu_;
  std::map<std::string, uint32_t> names_;
  std::map<int, uint32_t> fd_inode_;
  std::map<uint8_t*, Shadow> shadows_;
  uint32_t next_inode_;
  std::optional<size_t> last_log_change_;
  std::string trouble_;
  std::string ignored_syncs_;
  // The next capture starts a new group of joined pages.
  bool group_open_ = false;
};

}  // namespace tarnix::crash
