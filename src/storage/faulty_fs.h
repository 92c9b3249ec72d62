// FaultyFileSystem: a FileSystem that forwards to another one and fails chosen calls.
//
// A rule fails the n-th call of one kind (counting from 1 after the rule is set) with an
// errno, either once (a transient fault) or from then on (a persistent one). Tests use it to
// check that every failing system call surfaces as a clear error and leaves the store
// consistent and usable.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "storage/fs.h"

namespace tarnix {

enum class FsOp : uint8_t {
  kOpen,
  kRead,
  kWrite,
  kTruncate,
  kFallocate,
  kFsync,
  kFdatasync,
  kRename,
  kUnlink,
  kMkdir,
  kStat,
  kMmap,
  kMsync,
  kLock,
  kCount
};

const char* fs_op_name(FsOp op);
std::optional<FsOp> fs_op_from_name(const std::string& name);

class FaultyFileSystem final : public FileSystem {
 public:
  explicit FaultyFileSystem(std::shared_ptr<FileSystem> base) : base_(std::move(base)) {}

  // For tests that drive the store from another language: the rule is read from the
  // environment variable `var` ("op:nth:errno:once" or "op:nth:errno:always", empty for
  // none), and re-armed, counting from then on, whenever its text changes.
  void follow_environment(const char* var) { env_var_ = var; }

  // Fails the n-th (1-based) next call of `op` with `err`; with `persistent`, every call
  // after it too. Replaces any earlier rule.
  void fail(FsOp op, uint64_t nth, int err, bool persistent);
  void clear();
  // How many calls of `op` were made since construction.
  uint64_t calls(FsOp op) const { return calls_[static_cast<size_t>(op)].load(); }
  // Whether the rule has failed at least one call.
  bool triggered() const { return triggered_.load(); }

  Result<int> open(const std::string& path, int flags, mode_t mode) override;
  void close(int fd) override { base_->close(fd); }
  Result<size_t> read(int fd, void* buf, size_t n) override;
  Result<size_t> pread(int fd, void* buf, size_t n, uint64_t offset) override;
  Result<size_t> write(int fd, const void* buf, size_t n) override;
  Result<size_t> pwrite(int fd, const void* buf, size_t n, uint64_t offset) override;
  Status ftruncate(int fd, uint64_t length) override;
  Status fallocate(int fd, uint64_t offset, uint64_t length) override;
  Status fsync(int fd) override;
  Status fdatasync(int fd) override;
  Result<uint64_t> file_size(int fd) override;
  Status seek(int fd, uint64_t offset) override;
  Status rename(const std::string& from, const std::string& to) override;
  Status unlink(const std::string& path) override;
  Status create_dirs(const std::string& path) override;
  Result<FileStamp> stat(const std::string& path) override;
  Status sync_dir(const std::string& path) override;
  Result<void*> mmap(int fd, size_t length, bool writable, bool shared) override;
  Result<void*> mremap(void* address, size_t old_length, size_t new_length) override;
  Status msync(void* address, size_t length) override;
  void munmap(void* address, size_t length) override { base_->munmap(address, length); }
  void madvise_random(void* address, size_t length) override {
    base_->madvise_random(address, length);
  }
  Status lock_range(int fd, uint64_t start, uint64_t length, LockKind kind, bool wait) override;

 private:
  // Counts the call and returns the injected error, if this call is to fail.
  Status check(FsOp op);

  std::shared_ptr<FileSystem> base_;
  std::array<std::atomic<uint64_t>, static_cast<size_t>(FsOp::kCount)> calls_{};
  std::mutex mu_;
  std::optional<FsOp> rule_op_;
  uint64_t rule_at_ = 0;  // the call count at which the rule fires
  int rule_err_ = 0;
  bool rule_persistent_ = false;
  std::atomic<bool> triggered_{false};
  const char* env_var_ = nullptr;
  std::string env_seen_;
};

}  // namespace tarnix
