// The one seam between the store and the operating system.
//
// Every file operation and the wall clock go through FileSystem and Clock, so tests can fail
// the n-th call of a kind with EIO or ENOSPC, record what was written, or move time without
// sleeping. Production uses the POSIX implementation. Implementations must be thread-safe.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "util/status.h"

namespace tarnix {

// Wall-clock time as nanoseconds since the Unix epoch (negative before 1970), and the
// pauses of retry loops, which tests may skip.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t now_nanos() const = 0;
  virtual void sleep_millis(uint64_t ms) const;
};

std::shared_ptr<Clock> system_clock();

// Whole seconds since the epoch, truncated to 32 bits. Fails for a clock before 1970.
Result<uint32_t> unix_seconds(const Clock& clock);
// Milliseconds since the epoch. Fails for a clock before 1970.
Result<uint64_t> unix_millis(const Clock& clock);

enum class LockKind { kRead, kWrite, kUnlock };

// What stat() says about a path; `exists` is false when nothing is there.
struct FileStamp {
  bool exists = false;
  uint64_t size = 0;
  uint64_t inode = 0;
  int64_t mtime_nanos = 0;
  bool operator==(const FileStamp&) const = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual Result<int> open(const std::string& path, int flags, mode_t mode) = 0;
  virtual void close(int fd) = 0;
  // One read or write call; the File helpers below loop over partial transfers.
  virtual Result<size_t> read(int fd, void* buf, size_t n) = 0;
  virtual Result<size_t> pread(int fd, void* buf, size_t n, uint64_t offset) = 0;
  virtual Result<size_t> write(int fd, const void* buf, size_t n) = 0;
  virtual Result<size_t> pwrite(int fd, const void* buf, size_t n, uint64_t offset) = 0;
  virtual Status ftruncate(int fd, uint64_t length) = 0;
  // Reserves blocks for [offset, offset + length) without changing the file's size when the
  // range lies inside it.
  virtual Status fallocate(int fd, uint64_t offset, uint64_t length) = 0;
  virtual Status fsync(int fd) = 0;
  virtual Status fdatasync(int fd) = 0;
  virtual Result<uint64_t> file_size(int fd) = 0;
  virtual Status seek(int fd, uint64_t offset) = 0;

  virtual Status rename(const std::string& from, const std::string& to) = 0;
  virtual Status unlink(const std::string& path) = 0;
  // Creates the directory and any missing parents; an existing directory is fine.
  virtual Status create_dirs(const std::string& path) = 0;
  // Nothing exists at the path for ENOENT and ENOTDIR; other failures are errors.
  virtual Result<FileStamp> stat(const std::string& path) = 0;
  Result<bool> exists(const std::string& path) {
    Result<FileStamp> st = stat(path);
    if (!st.ok()) return st.take_status();
    return st->exists;
  }
  // Fully syncs the directory itself (after a rename, create or removal inside it).
  virtual Status sync_dir(const std::string& path) = 0;

  virtual Result<void*> mmap(int fd, size_t length, bool writable, bool shared) = 0;
  virtual Result<void*> mremap(void* address, size_t old_length, size_t new_length) = 0;
  virtual Status msync(void* address, size_t length) = 0;
  virtual void munmap(void* address, size_t length) = 0;
  // Advice only: failures are ignored.
  virtual void madvise_random(void* address, size_t length) = 0;

  // Open-file-description record locks (F_OFD_SETLK / F_OFD_SETLKW) on [start, start+length).
  // A lock that cannot be had at once without `wait` fails with EAGAIN.
  virtual Status lock_range(int fd, uint64_t start, uint64_t length, LockKind kind,
                            bool wait) = 0;
};

std::shared_ptr<FileSystem> posix_file_system();

// Joins a directory and a file name.
std::string join_path(std::string_view dir, std::string_view name);
// The directory part of a path, or "" when it has none.
std::string parent_path(std::string_view path);

// An open descriptor, closed on destruction. Moves, never copies.
class File {
 public:
  File() = default;
  File(FileSystem* fs, int fd) : fs_(fs), fd_(fd) {}
  File(File&& other) noexcept
      : fs_(std::exchange(other.fs_, nullptr)), fd_(std::exchange(other.fd_, -1)) {}
  File& operator=(File&& other) noexcept {
    std::swap(fs_, other.fs_);
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~File() { close(); }

  // Opens with O_CLOEXEC added; new files get `mode` before the umask.
  static Result<File> open(FileSystem& fs, const std::string& path, int flags,
                           mode_t mode = 0666);

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  FileSystem& fs() const { return *fs_; }
  void close();

  Status write_all(const void* data, size_t n) const;
  Status pwrite_all(const void* data, size_t n, uint64_t offset) const;
  // Reads up to n bytes at the current position; 0 means end of file.
  Result<size_t> read_some(void* buf, size_t n) const { return fs_->read(fd_, buf, n); }
  // Reads exactly n bytes at offset, failing with invalid_data when the file ends first.
  Status pread_exact(void* buf, size_t n, uint64_t offset) const;
  Result<uint64_t> size() const { return fs_->file_size(fd_); }
  Status truncate(uint64_t length) const { return fs_->ftruncate(fd_, length); }
  Status allocate(uint64_t offset, uint64_t length) const {
    return fs_->fallocate(fd_, offset, length);
  }
  Status sync() const { return fs_->fsync(fd_); }
  Status datasync() const { return fs_->fdatasync(fd_); }
  Status seek(uint64_t offset) const { return fs_->seek(fd_, offset); }

 private:
  FileSystem* fs_ = nullptr;
  int fd_ = -1;
};

// Fully syncs the directory that holds `path`; a path without a directory part is a no-op.
Status sync_parent_dir(FileSystem& fs, const std::string& path);

}  // namespace tarnix
