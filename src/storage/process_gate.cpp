#include "storage/process_gate.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>

#include <chrono>

#include "storage/format.h"

namespace tarnix {
namespace {

// Spins with the processor's pause hint; after a while also gives the core away, so that
// waiters do not burn both cores of a small machine while a writer works. Now and then a
// long wait says it is time to look for a word left by a dead process.
class Backoff {
 public:
  void pause() {
    if (++spins_ < 4096) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
      asm volatile("yield");
#endif
    } else {
      sched_yield();
    }
  }
  bool time_to_look() {
    if (spins_ < 4096) return false;
    auto now = std::chrono::steady_clock::now();
    if (now < next_look_) return false;
    next_look_ = now + std::chrono::milliseconds(20);
    return true;
  }

 private:
  uint32_t spins_ = 0;
  std::chrono::steady_clock::time_point next_look_{};
};

}  // namespace

ProcessGate::ProcessGate(FileSystem& fs, File file, uint8_t* words)
    : fs_(fs), file_(std::move(file)), words_(words) {}

ProcessGate::~ProcessGate() {
  release_writer_role();
  fs_.munmap(words_, kGateBytes);
  // Closing the descriptor drops the presence lock.
}

Result<std::shared_ptr<ProcessGate>> ProcessGate::open(FileSystem& fs, const std::string& dir) {
  File file;
  TARNIX_ASSIGN_OR_RETURN(file, File::open(fs, join_path(dir, kProcLockFile), O_RDWR | O_CREAT));
  uint64_t size;
  TARNIX_ASSIGN_OR_RETURN(size, file.size());
  if (size < kGateBytes) TARNIX_RETURN_IF_ERROR(file.truncate(kGateBytes));
  // The words are written through the mapping; on a full disk a write into a hole of the
  // file would kill the process with SIGBUS, so the block is had first, as an error if need be.
  TARNIX_RETURN_IF_ERROR(file.allocate(0, kGateBytes));
  void* words;
  TARNIX_ASSIGN_OR_RETURN(words, fs.mmap(file.fd(), kGateBytes, true, true));
  std::shared_ptr<ProcessGate> gate(
      new ProcessGate(fs, std::move(file), static_cast<uint8_t*>(words)));
  if (gate->try_alone()) {
    // Nobody else has the directory open, so nobody is inside the gate: whatever the words
    // say was left by a process that died there.
    gate->word(0).store(0);
    gate->word(1).store(0);
  } else {
    // Waits only while another process is opening the directory alone.
    TARNIX_RETURN_IF_ERROR(
        fs.lock_range(gate->file_.fd(), kPresenceByte, 1, LockKind::kRead, true));
  }
  return gate;
}

bool ProcessGate::try_alone() {
  if (alone_) return true;
  alone_ = fs_.lock_range(file_.fd(), kPresenceByte, 1, LockKind::kWrite, false).ok();
  return alone_;
}

void ProcessGate::share_presence() {
  if (!alone_) return;
  // Converting an open-file-description lock is atomic: nobody can slip in between.
  Status s = fs_.lock_range(file_.fd(), kPresenceByte, 1, LockKind::kRead, false);
  (void)s;  // a downgrade cannot conflict with anyone
  alone_ = false;
}

std::atomic_ref<uint64_t> ProcessGate::word(size_t i) const {
  return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(words_ + 8 * i));
}

bool ProcessGate::lock_byte(uint64_t byte, LockKind kind, bool wait) {
  return fs_.lock_range(file_.fd(), byte, 1, kind, wait).ok();
}

void ProcessGate::enter_reader() {
  {
    std::lock_guard<std::mutex> lock(readers_mu_);
    // Waits only while a writer clears a count left by a dead reader.
    if (readers_inside_++ == 0)
      readers_lock_held_ = lock_byte(kReadersInsideByte, LockKind::kRead, true);
  }
  Backoff backoff;
  while (true) {
    while (word(0).load() != 0) {
      backoff.pause();
      if (backoff.time_to_look()) clear_stale_writer();
    }
    word(1).fetch_add(1);
    if (word(0).load() == 0) return;
    word(1).fetch_sub(1);
  }
}

void ProcessGate::leave_reader() {
  word(1).fetch_sub(1);
  std::lock_guard<std::mutex> lock(readers_mu_);
  if (--readers_inside_ == 0 && readers_lock_held_) {
    lock_byte(kReadersInsideByte, LockKind::kUnlock, false);
    readers_lock_held_ = false;
  }
}

void ProcessGate::enter_writer() {
  writer_mu_.lock();
  // Another process's writer inside holds the lock: this waits in the kernel, not spinning.
  writer_lock_held_ = lock_byte(kWriterInsideByte, LockKind::kWrite, true);
  Backoff backoff;
  uint64_t expected = 0;
  while (!word(0).compare_exchange_weak(expected, 1)) {
    // Holding the lock, no live writer can be inside: the word was left by one that died.
    if (writer_lock_held_) {
      word(0).store(1);
      break;
    }
    expected = 0;
    backoff.pause();
  }
  writer_inside_ = true;
  while (word(1).load() != 0) {
    backoff.pause();
    if (backoff.time_to_look()) clear_stale_readers();
  }
}

void ProcessGate::leave_writer() {
  writer_inside_ = false;
  word(0).exchange(0);
  if (writer_lock_held_) lock_byte(kWriterInsideByte, LockKind::kUnlock, false);
  writer_lock_held_ = false;
  writer_mu_.unlock();
}

void ProcessGate::clear_stale_writer() {
  // This object's own writer is alive (and locking its byte again would convert its lock).
  if (writer_inside_) return;
  if (!lock_byte(kWriterInsideByte, LockKind::kRead, false)) return;
  // No writer holds the lock, and none can take it while this holds it.
  uint64_t set = 1;
  word(0).compare_exchange_strong(set, 0);
  lock_byte(kWriterInsideByte, LockKind::kUnlock, false);
}

void ProcessGate::clear_stale_readers() {
  std::lock_guard<std::mutex> lock(readers_mu_);
  // This object's own readers are alive and counted.
  if (readers_inside_ > 0) return;
  if (!lock_byte(kReadersInsideByte, LockKind::kWrite, false)) return;
  // No reader of any live process holds its lock, so none is counted.
  word(1).store(0);
  lock_byte(kReadersInsideByte, LockKind::kUnlock, false);
}

Status ProcessGate::claim_writer_role() {
  if (writer_role_) return Status();
  TARNIX_RETURN_IF_ERROR(fs_.lock_range(file_.fd(), kWriterRoleByte, 1, LockKind::kWrite, true));
  writer_role_ = true;
  return Status();
}

void ProcessGate::release_writer_role() {
  if (!writer_role_) return;
  Status s = fs_.lock_range(file_.fd(), kWriterRoleByte, 1, LockKind::kUnlock, false);
  (void)s;
  writer_role_ = false;
}

uint64_t ProcessGate::writer_flag() const {
  return word(0).load();
}
uint64_t ProcessGate::reader_count() const {
  return word(1).load();
}

}  // namespace tarnix
