#include "recording_fs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "storage/format.h"

namespace tarnix::crash {

RecordingFileSystem::RecordingFileSystem(std::string dir, CrashLog* log,
                                         std::shared_ptr<Clock> clock)
    : base_(posix_file_system()),
      dir_(std::move(dir)),
      log_(log),
      clock_(std::move(clock)),
      names_(log->base_inodes()),
      next_inode_(log->first_free_inode()) {}

std::optional<std::string> RecordingFileSystem::name_in_dir(const std::string& path) const {
  if (path.size() <= dir_.size() + 1 || path.compare(0, dir_.size(), dir_) != 0 ||
      path[dir_.size()] != '/') {
    return std::nullopt;
  }
  std::string name = path.substr(dir_.size() + 1);
  if (name.find('/') != std::string::npos || name == kProcLockFile) return std::nullopt;
  return name;
}

std::optional<uint32_t> RecordingFileSystem::inode_of_fd(int fd) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = fd_inode_.find(fd);
  if (it == fd_inode_.end()) return std::nullopt;
  return it->second;
}

void RecordingFileSystem::note_trouble(const std::string& what) {
  if (trouble_.empty()) trouble_ = what;
}

void RecordingFileSystem::record(CrashOp op) {
  op.clock_ns = clock_->now_nanos();
  if (op.kind == OpKind::kWrite || op.kind == OpKind::kResize) {
    auto wal = names_.find(kWalFile);
    if (wal != names_.end() && wal->second == op.inode) last_log_change_ = log_->ops.size();
  }
  log_->ops.push_back(std::move(op));
  group_open_ = false;
}

void RecordingFileSystem::capture_shadow_locked(uint8_t* address, Shadow& shadow) {
  const size_t length = shadow.copy.size();
  for (size_t off = 0; off < length; off += kPageBytes) {
    size_t n = std::min<size_t>(kPageBytes, length - off);
    if (std::memcmp(address + off, shadow.copy.data() + off, n) == 0) continue;
    std::memcpy(shadow.copy.data() + off, address + off, n);
    CrashOp op;
    op.kind = OpKind::kWrite;
    op.inode = shadow.inode;
    op.offset = off;
    op.bytes.assign(reinterpret_cast<const char*>(address + off), n);
    op.mapped = true;
    op.joined = group_open_;
    op.clock_ns = clock_->now_nanos();
    log_->ops.push_back(std::move(op));
    group_open_ = true;
  }
}

void RecordingFileSystem::capture_locked() {
  for (auto& [address, shadow] : shadows_) capture_shadow_locked(address, shadow);
  group_open_ = false;
}

size_t RecordingFileSystem::point() {
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  return log_->ops.size();
}

Result<int> RecordingFileSystem::open(const std::string& path, int flags, mode_t mode) {
  std::optional<std::string> name = name_in_dir(path);
  if (!name) return base_->open(path, flags, mode);
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  const bool known = names_.count(*name) != 0;
  Result<int> fd = base_->open(path, flags, mode);
  if (!fd.ok()) return fd;
  uint32_t inode;
  if (known) {
    inode = names_[*name];
    if (flags & O_TRUNC) {
      CrashOp op;
      op.kind = OpKind::kResize;
      op.inode = inode;
      op.offset = 0;
      record(std::move(op));
    }
  } else {
    inode = next_inode_++;
    names_[*name] = inode;
    if (flags & O_CREAT) {
      CrashOp op;
      op.kind = OpKind::kCreate;
      op.inode = inode;
      op.name = *name;
      record(std::move(op));
    } else {
      note_trouble("opened " + *name + ", which the recording never saw created");
    }
  }
  fd_inode_[*fd] = inode;
  return fd;
}

void RecordingFileSystem::close(int fd) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    fd_inode_.erase(fd);
  }
  base_->close(fd);
}

Result<size_t> RecordingFileSystem::write(int fd, const void* buf, size_t n) {
  std::optional<uint32_t> inode = inode_of_fd(fd);
  if (!inode) return base_->write(fd, buf, n);
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  Result<size_t> w = base_->write(fd, buf, n);
  if (!w.ok() || *w == 0) return w;
  off_t end = ::lseek(fd, 0, SEEK_CUR);
  CrashOp op;
  op.kind = OpKind::kWrite;
  op.inode = *inode;
  op.offset = static_cast<uint64_t>(end) - *w;
  op.bytes.assign(static_cast<const char*>(buf), *w);
  record(std::move(op));
  return w;
}

Result<size_t> RecordingFileSystem::pwrite(int fd, const void* buf, size_t n, uint64_t offset) {
  std::optional<uint32_t> inode = inode_of_fd(fd);
  if (!inode) return base_->pwrite(fd, buf, n, offset);
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  Result<size_t> w = base_->pwrite(fd, buf, n, offset);
  if (!w.ok() || *w == 0) return w;
  CrashOp op;
  op.kind = OpKind::kWrite;
  op.inode = *inode;
  op.offset = offset;
  op.bytes.assign(static_cast<const char*>(buf), *w);
  record(std::move(op));
  return w;
}

Status RecordingFileSystem::ftruncate(int fd, uint64_t length) {
  std::optional<uint32_t> inode = inode_of_fd(fd);
  if (!inode) return base_->ftruncate(fd, length);
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  TARNIX_RETURN_IF_ERROR(base_->ftruncate(fd, length));
  CrashOp op;
  op.kind = OpKind::kResize;
  op.inode = *inode;
  op.offset = length;
  record(std::move(op));
  return Status();
}

void RecordingFileSystem::record_resize_if_changed(int fd, uint32_t inode, uint64_t before) {
  Result<uint64_t> after = base_->file_size(fd);
  if (!after.ok() || *after == before) return;
  CrashOp op;
  op.kind = OpKind::kResize;
  op.inode = inode;
  op.offset = *after;
  record(std::move(op));
}

Status RecordingFileSystem::fallocate(int fd, uint64_t offset, uint64_t length) {
  std::optional<uint32_t> inode = inode_of_fd(fd);
  if (!inode) return base_->fallocate(fd, offset, length);
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  uint64_t before;
  TARNIX_ASSIGN_OR_RETURN(before, base_->file_size(fd));
  Status s = base_->fallocate(fd, offset, length);
  // Reserving blocks changes no content; only a range past the end lengthens the file.
  record_resize_if_changed(fd, *inode, before);
  return s;
}

Status RecordingFileSystem::sync(int fd, bool data_only) {
  std::optional<uint32_t> inode = inode_of_fd(fd);
  if (!inode) return data_only ? base_->fdatasync(fd) : base_->fsync(fd);
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  TARNIX_RETURN_IF_ERROR(data_only ? base_->fdatasync(fd) : base_->fsync(fd));
  auto wal = names_.find(kWalFile);
  if (wal != names_.end() && wal->second == *inode) log_->log_syncs.push_back(log_->ops.size());
  auto ignored = names_.find(ignored_syncs_);
  if (ignored != names_.end() && ignored->second == *inode) return Status();
  CrashOp op;
  op.kind = OpKind::kSync;
  op.inode = *inode;
  record(std::move(op));
  return Status();
}

Status RecordingFileSystem::rename(const std::string& from, const std::string& to) {
  std::optional<std::string> a = name_in_dir(from), b = name_in_dir(to);
  if (!a || !b) return base_->rename(from, to);
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  TARNIX_RETURN_IF_ERROR(base_->rename(from, to));
  auto it = names_.find(*a);
  if (it == names_.end()) {
    note_trouble("renamed " + *a + ", which the recording never saw created");
    return Status();
  }
  uint32_t inode = it->second;
  names_.erase(it);
  names_[*b] = inode;
  CrashOp op;
  op.kind = OpKind::kRename;
  op.name = *a;
  op.to = *b;
  record(std::move(op));
  return Status();
}

Status RecordingFileSystem::unlink(const std::string& path) {
  std::optional<std::string> name = name_in_dir(path);
  if (!name) return base_->unlink(path);
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  TARNIX_RETURN_IF_ERROR(base_->unlink(path));
  names_.erase(*name);
  CrashOp op;
  op.kind = OpKind::kUnlink;
  op.name = *name;
  record(std::move(op));
  return Status();
}

Status RecordingFileSystem::create_dirs(const std::string& path) {
  if (path != dir_) return base_->create_dirs(path);
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  bool existed;
  TARNIX_ASSIGN_OR_RETURN(existed, base_->exists(path));
  TARNIX_RETURN_IF_ERROR(base_->create_dirs(path));
  if (!existed) {
    CrashOp op;
    op.kind = OpKind::kMkdir;
    record(std::move(op));
  }
  return Status();
}

Status RecordingFileSystem::sync_dir(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  TARNIX_RETURN_IF_ERROR(base_->sync_dir(path));
  CrashOp op;
  if (path == dir_) {
    op.kind = OpKind::kDirSync;
  } else if (path == parent_path(dir_)) {
    op.kind = OpKind::kParentSync;
  } else {
    return Status();
  }
  record(std::move(op));
  return Status();
}

Result<void*> RecordingFileSystem::mmap(int fd, size_t length, bool writable, bool shared) {
  std::optional<uint32_t> inode = inode_of_fd(fd);
  Result<void*> p = base_->mmap(fd, length, writable, shared);
  if (!p.ok() || !inode || !writable || !shared) return p;
  std::lock_guard<std::mutex> lock(mu_);
  uint8_t* address = static_cast<uint8_t*>(*p);
  shadows_[address] = Shadow{*inode, std::string(reinterpret_cast<char*>(address), length)};
  return p;
}

Result<void*> RecordingFileSystem::mremap(void* address, size_t old_length, size_t new_length) {
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  Result<void*> p = base_->mremap(address, old_length, new_length);
  if (!p.ok()) return p;
  auto it = shadows_.find(static_cast<uint8_t*>(address));
  if (it == shadows_.end()) return p;
  Shadow shadow = std::move(it->second);
  shadows_.erase(it);
  uint8_t* moved = static_cast<uint8_t*>(*p);
  if (new_length > shadow.copy.size()) {
    size_t old_size = shadow.copy.size();
    shadow.copy.append(reinterpret_cast<char*>(moved) + old_size, new_length - old_size);
  } else {
    shadow.copy.resize(new_length);
  }
  shadows_[moved] = std::move(shadow);
  return p;
}

Status RecordingFileSystem::msync(void* address, size_t length) {
  std::lock_guard<std::mutex> lock(mu_);
  capture_locked();
  return base_->msync(address, length);
}

void RecordingFileSystem::munmap(void* address, size_t length) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    capture_locked();
    shadows_.erase(static_cast<uint8_t*>(address));
  }
  base_->munmap(address, length);
}

}  // namespace tarnix::crash
