#include "storage/process_gate.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>

#include "storage/format.h"

namespace tarnix {
namespace {

constexpr const char* kWriterBusyMessage = "store is being written by another process";

// Spins with the processor's pause hint; after a while also gives the core away, so that
// waiters do not burn both cores of a small machine while a writer works.
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

 private:
  uint32_t spins_ = 0;
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

void ProcessGate::enter_reader() {
  Backoff backoff;
  while (true) {
    while (word(0).load() != 0) backoff.pause();
    word(1).fetch_add(1);
    if (word(0).load() == 0) return;
    word(1).fetch_sub(1);
  }
}

void ProcessGate::leave_reader() { word(1).fetch_sub(1); }

void ProcessGate::enter_writer() {
  Backoff backoff;
  uint64_t expected = 0;
  while (!word(0).compare_exchange_weak(expected, 1)) {
    expected = 0;
    backoff.pause();
  }
  while (word(1).load() != 0) backoff.pause();
}

void ProcessGate::leave_writer() { word(0).exchange(0); }

Status ProcessGate::claim_writer_role() {
  if (writer_role_) return Status();
  Status s = fs_.lock_range(file_.fd(), kWriterRoleByte, 1, LockKind::kWrite, false);
  if (!s.ok()) {
    if (s.os_errno() == EAGAIN) return Status::io_error(EBUSY, kWriterBusyMessage);
    return s;
  }
  writer_role_ = true;
  return Status();
}

void ProcessGate::release_writer_role() {
  if (!writer_role_) return;
  Status s = fs_.lock_range(file_.fd(), kWriterRoleByte, 1, LockKind::kUnlock, false);
  (void)s;
  writer_role_ = false;
}

uint64_t ProcessGate::writer_flag() const { return word(0).load(); }
uint64_t ProcessGate::reader_count() const { return word(1).load(); }

}  // namespace tarnix
