#include "storage/faulty_fs.h"

#include <cstdlib>
#include <sstream>

namespace tarnix {
namespace {

constexpr const char* kOpNames[] = {"open",  "read",   "write", "ftruncate", "fallocate",
                                    "fsync", "fdatasync", "rename", "unlink", "mkdir",
                                    "stat",  "mmap",   "msync", "lock"};
static_assert(std::size(kOpNames) == static_cast<size_t>(FsOp::kCount));

}  // namespace

const char* fs_op_name(FsOp op) { return kOpNames[static_cast<size_t>(op)]; }

std::optional<FsOp> fs_op_from_name(const std::string& name) {
  for (size_t i = 0; i < std::size(kOpNames); ++i) {
    if (name == kOpNames[i]) return static_cast<FsOp>(i);
  }
  return std::nullopt;
}

void FaultyFileSystem::fail(FsOp op, uint64_t nth, int err, bool persistent) {
  std::lock_guard<std::mutex> lock(mu_);
  rule_op_ = op;
  rule_at_ = calls(op) + nth;
  rule_err_ = err;
  rule_persistent_ = persistent;
  triggered_ = false;
}

void FaultyFileSystem::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  rule_op_.reset();
}

Status FaultyFileSystem::check(FsOp op) {
  uint64_t n = calls_[static_cast<size_t>(op)].fetch_add(1) + 1;
  std::lock_guard<std::mutex> lock(mu_);
  if (env_var_) {
    const char* raw = std::getenv(env_var_);
    std::string text = raw ? raw : "";
    if (text != env_seen_) {
      env_seen_ = text;
      rule_op_.reset();
      std::istringstream in(text);
      std::string name, mode;
      uint64_t nth = 0;
      int err = 0;
      char colon1 = 0, colon2 = 0;
      if (std::getline(in, name, ':') && (in >> nth >> colon1 >> err >> colon2 >> mode) &&
          colon1 == ':' && colon2 == ':') {
        if (auto parsed = fs_op_from_name(name)) {
          rule_op_ = *parsed;
          // This call counts too: it is the first one after the rule appeared.
          rule_at_ = calls(*parsed) - (*parsed == op ? 1 : 0) + nth;
          rule_err_ = err;
          rule_persistent_ = mode == "always";
          triggered_ = false;
        }
      }
    }
  }
  if (!rule_op_ || *rule_op_ != op) return Status();
  if (n == rule_at_ || (rule_persistent_ && n > rule_at_)) {
    triggered_ = true;
    return Status::io_error(rule_err_);
  }
  return Status();
}

#define TARNIX_FAULT(op)               \
  do {                                 \
    Status _fault = check(op);         \
    if (!_fault.ok()) return _fault;   \
  } while (0)

Result<int> FaultyFileSystem::open(const std::string& path, int flags, mode_t mode) {
  TARNIX_FAULT(FsOp::kOpen);
  return base_->open(path, flags, mode);
}

Result<size_t> FaultyFileSystem::read(int fd, void* buf, size_t n) {
  TARNIX_FAULT(FsOp::kRead);
  return base_->read(fd, buf, n);
}

Result<size_t> FaultyFileSystem::pread(int fd, void* buf, size_t n, uint64_t offset) {
  TARNIX_FAULT(FsOp::kRead);
  return base_->pread(fd, buf, n, offset);
}

Result<size_t> FaultyFileSystem::write(int fd, const void* buf, size_t n) {
  TARNIX_FAULT(FsOp::kWrite);
  return base_->write(fd, buf, n);
}

Result<size_t> FaultyFileSystem::pwrite(int fd, const void* buf, size_t n, uint64_t offset) {
  TARNIX_FAULT(FsOp::kWrite);
  return base_->pwrite(fd, buf, n, offset);
}

Status FaultyFileSystem::ftruncate(int fd, uint64_t length) {
  TARNIX_FAULT(FsOp::kTruncate);
  return base_->ftruncate(fd, length);
}

Status FaultyFileSystem::fallocate(int fd, uint64_t offset, uint64_t length) {
  TARNIX_FAULT(FsOp::kFallocate);
  return base_->fallocate(fd, offset, length);
}

Status FaultyFileSystem::fsync(int fd) {
  TARNIX_FAULT(FsOp::kFsync);
  return base_->fsync(fd);
}

Status FaultyFileSystem::fdatasync(int fd) {
  TARNIX_FAULT(FsOp::kFdatasync);
  return base_->fdatasync(fd);
}

Result<uint64_t> FaultyFileSystem::file_size(int fd) {
  TARNIX_FAULT(FsOp::kStat);
  return base_->file_size(fd);
}

Status FaultyFileSystem::seek(int fd, uint64_t offset) { return base_->seek(fd, offset); }

Status FaultyFileSystem::rename(const std::string& from, const std::string& to) {
  TARNIX_FAULT(FsOp::kRename);
  return base_->rename(from, to);
}

Status FaultyFileSystem::unlink(const std::string& path) {
  TARNIX_FAULT(FsOp::kUnlink);
  return base_->unlink(path);
}

Status FaultyFileSystem::create_dirs(const std::string& path) {
  TARNIX_FAULT(FsOp::kMkdir);
  return base_->create_dirs(path);
}

Result<FileStamp> FaultyFileSystem::stat(const std::string& path) {
  TARNIX_FAULT(FsOp::kStat);
  return base_->stat(path);
}

Status FaultyFileSystem::sync_dir(const std::string& path) {
  TARNIX_FAULT(FsOp::kFsync);
  return base_->sync_dir(path);
}

Result<void*> FaultyFileSystem::mmap(int fd, size_t length, bool writable, bool shared) {
  TARNIX_FAULT(FsOp::kMmap);
  return base_->mmap(fd, length, writable, shared);
}

Result<void*> FaultyFileSystem::mremap(void* address, size_t old_length, size_t new_length) {
  TARNIX_FAULT(FsOp::kMmap);
  return base_->mremap(address, old_length, new_length);
}

Status FaultyFileSystem::msync(void* address, size_t length) {
  TARNIX_FAULT(FsOp::kMsync);
  return base_->msync(address, length);
}

Status FaultyFileSystem::lock_range(int fd, uint64_t start, uint64_t length, LockKind kind,
                                    bool wait) {
  TARNIX_FAULT(FsOp::kLock);
  return base_->lock_range(fd, start, length, kind, wait);
}

#undef TARNIX_FAULT

}  // namespace tarnix
