#include "storage/fs.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace tarnix {

// Offsets into the id and metadata files are 64-bit; a 32-bit off_t would cut them.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

class SystemClock final : public Clock {
 public:
  int64_t now_nanos() const override {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
  }
};

template <class F>
auto retry_eintr(F&& f) {
  decltype(f()) r;
  do {
    r = f();
  } while (r == -1 && errno == EINTR);
  return r;
}

Status errno_status() { return Status::io_error(errno); }

class PosixFileSystem final : public FileSystem {
 public:
  Result<int> open(const std::string& path, int flags, mode_t mode) override {
    int fd = retry_eintr([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
    if (fd < 0) return errno_status();
    return fd;
  }

  void close(int fd) override { ::close(fd); }

  Result<size_t> read(int fd, void* buf, size_t n) override {
    ssize_t r = retry_eintr([&] { return ::read(fd, buf, n); });
    if (r < 0) return errno_status();
    return static_cast<size_t>(r);
  }

  Result<size_t> pread(int fd, void* buf, size_t n, uint64_t offset) override {
    ssize_t r = retry_eintr([&] { return ::pread(fd, buf, n, static_cast<off_t>(offset)); });
    if (r < 0) return errno_status();
    return static_cast<size_t>(r);
  }

  Result<size_t> write(int fd, const void* buf, size_t n) override {
    ssize_t r = retry_eintr([&] { return ::write(fd, buf, n); });
    if (r < 0) return errno_status();
    return static_cast<size_t>(r);
  }

  Result<size_t> pwrite(int fd, const void* buf, size_t n, uint64_t offset) override {
    ssize_t r = retry_eintr([&] { return ::pwrite(fd, buf, n, static_cast<off_t>(offset)); });
    if (r < 0) return errno_status();
    return static_cast<size_t>(r);
  }

  Status ftruncate(int fd, uint64_t length) override {
    if (retry_eintr([&] { return ::ftruncate(fd, static_cast<off_t>(length)); }) != 0) {
      return errno_status();
    }
    return Status();
  }

  Status fallocate(int fd, uint64_t offset, uint64_t length) override {
    if (length == 0) return Status();
    // glibc falls back to writing zeros into holes only (never over data) where the file
    // system has no fallocate.
    int err;
    do {
      err = ::posix_fallocate(fd, static_cast<off_t>(offset), static_cast<off_t>(length));
    } while (err == EINTR);
    if (err != 0) return Status::io_error(err);
    return Status();
  }

  Status fsync(int fd) override {
    if (retry_eintr([&] { return ::fsync(fd); }) != 0) return errno_status();
    return Status();
  }

  Status fdatasync(int fd) override {
    if (retry_eintr([&] { return ::fdatasync(fd); }) != 0) return errno_status();
    return Status();
  }

  Result<uint64_t> file_size(int fd) override {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno_status();
    return static_cast<uint64_t>(st.st_size);
  }

  Status seek(int fd, uint64_t offset) override {
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return errno_status();
    return Status();
  }

  Status rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return errno_status();
    return Status();
  }

  Status unlink(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return errno_status();
    return Status();
  }

  Status create_dirs(const std::string& path) override {
    if (path.empty()) return Status();
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return Status();
      return Status::io_error(EEXIST);
    }
    std::string parent = parent_path(path);
    if (!parent.empty() && parent != path) TARNIX_RETURN_IF_ERROR(create_dirs(parent));
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return errno_status();
    return Status();
  }

  Result<FileStamp> stat(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return FileStamp{};
      return errno_status();
    }
    return FileStamp{true, static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_ino),
                     static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 +
                         st.st_mtim.tv_nsec};
  }

  Status sync_dir(const std::string& path) override {
    int fd = retry_eintr(
        [&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return errno_status();
    Status s = fsync(fd);
    ::close(fd);
    return s;
  }

  Result<void*> mmap(int fd, size_t length, bool writable, bool shared) override {
    int prot = PROT_READ | (writable ? PROT_WRITE : 0);
    void* p = ::mmap(nullptr, length, prot, shared ? MAP_SHARED : MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) return errno_status();
    return p;
  }

  Result<void*> mremap(void* address, size_t old_length, size_t new_length) override {
    void* p = ::mremap(address, old_length, new_length, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) return errno_status();
    return p;
  }

  Status msync(void* address, size_t length) override {
    if (length == 0) return Status();
    if (::msync(address, length, MS_SYNC) != 0) return errno_status();
    return Status();
  }

  void munmap(void* address, size_t length) override {
    if (length) ::munmap(address, length);
  }

  void madvise_random(void* address, size_t length) override {
    if (length) ::madvise(address, length, MADV_RANDOM);
  }

  Status lock_range(int fd, uint64_t start, uint64_t length, LockKind kind,
                    bool wait) override {
    struct flock fl = {};
    fl.l_type = kind == LockKind::kRead ? F_RDLCK : kind == LockKind::kWrite ? F_WRLCK : F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    int cmd = wait ? F_OFD_SETLKW : F_OFD_SETLK;
    if (retry_eintr([&] { return ::fcntl(fd, cmd, &fl); }) != 0) {
      // Some systems report a held lock as EACCES; callers test for EAGAIN.
      return Status::io_error(errno == EACCES ? EAGAIN : errno);
    }
    return Status();
  }
};

}  // namespace

void Clock::sleep_millis(uint64_t ms) const {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::shared_ptr<Clock> system_clock() {
  static const std::shared_ptr<Clock> kClock = std::make_shared<SystemClock>();
  return kClock;
}

Result<uint32_t> unix_seconds(const Clock& clock) {
  int64_t ns = clock.now_nanos();
  if (ns < 0) return Status::internal("system clock is set before the Unix epoch");
  return static_cast<uint32_t>(static_cast<uint64_t>(ns / 1'000'000'000));
}

Result<uint64_t> unix_millis(const Clock& clock) {
  int64_t ns = clock.now_nanos();
  if (ns < 0) return Status::internal("system clock is set before the Unix epoch");
  return static_cast<uint64_t>(ns / 1'000'000);
}

std::shared_ptr<FileSystem> posix_file_system() {
  static const std::shared_ptr<FileSystem> kFs = std::make_shared<PosixFileSystem>();
  return kFs;
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

std::string parent_path(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

Result<File> File::open(FileSystem& fs, const std::string& path, int flags, mode_t mode) {
  Result<int> fd = fs.open(path, flags, mode);
  if (!fd.ok()) return fd.take_status();
  return File(&fs, *fd);
}

void File::close() {
  if (fd_ >= 0) fs_->close(fd_);
  fd_ = -1;
}

Status File::write_all(const void* data, size_t n) const {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    Result<size_t> w = fs_->write(fd_, p, n);
    if (!w.ok()) return w.take_status();
    if (*w == 0) return Status::io_error(EIO);
    p += *w;
    n -= *w;
  }
  return Status();
}

Status File::pwrite_all(const void* data, size_t n, uint64_t offset) const {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    Result<size_t> w = fs_->pwrite(fd_, p, n, offset);
    if (!w.ok()) return w.take_status();
    if (*w == 0) return Status::io_error(EIO);
    p += *w;
    n -= *w;
    offset += *w;
  }
  return Status();
}

Status File::pread_exact(void* buf, size_t n, uint64_t offset) const {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    Result<size_t> r = fs_->pread(fd_, p, n, offset);
    if (!r.ok()) return r.take_status();
    if (*r == 0) return Status::invalid_data("unexpected end of file");
    p += *r;
    n -= *r;
    offset += *r;
  }
  return Status();
}

Status sync_parent_dir(FileSystem& fs, const std::string& path) {
  std::string dir = parent_path(path);
  if (dir.empty()) return Status();
  return fs.sync_dir(dir);
}

}  // namespace tarnix
