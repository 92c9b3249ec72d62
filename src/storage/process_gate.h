// ProcessGate: the cross-process reader-writer gate in `.proc_lock`, plus the record locks
// that say which processes have the directory open and which one may write.
//
// The gate is two 64-bit words in a shared mapping, touched only with sequentially
// consistent atomics: writer_flag (0 free, 1 a writer is inside) and reader_count. A writer
// of any process excludes every reader and writer of every process while it works. Every
// entry is paired with an exit by a guard. The words record no owner, so a process that dies
// inside would leave them set for good; while inside, a writer also holds a write lock on
// kWriterInsideByte and a process with readers inside a read lock on kReadersInsideByte,
// which the kernel drops with the process. A waiter that finds a word set while nobody holds
// its lock clears it.
//
// Every open store holds a read lock on kPresenceByte for as long as this object lives (the
// index's mappings live no longer), so "no other process has the directory open" is a
// non-blocking upgrade of that lock to a write lock. A store makes a writing call while it
// holds a write lock on kWriterRoleByte, so writing calls of different stores take turns,
// even those that leave the gate between their steps (persist). Locks are
// open-file-description locks: they belong to this object's descriptor, conflict between
// two stores of one process too, and vanish with the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "storage/fs.h"

namespace tarnix {

static_assert(std::atomic<uint64_t>::is_always_lock_free,
              "a lock-based atomic would not exclude other processes");

class ProcessGate {
 public:
  ~ProcessGate();
  ProcessGate(const ProcessGate&) = delete;
  ProcessGate& operator=(const ProcessGate&) = delete;

  // Opens (creating) `.proc_lock` in `dir`, extends it to 16 bytes and reserves its block,
  // maps it, and takes the presence lock. When no other process has the directory open,
  // the presence lock is held exclusively on return (see alone()) and the gate words are
  // reset, since any non-zero value was left by a process that died inside the gate.
  static Result<std::shared_ptr<ProcessGate>> open(FileSystem& fs, const std::string& dir);

  // True while this process holds the presence lock exclusively: nobody else has the
  // directory open, and nobody can open it until share_presence() is called.
  bool alone() const { return alone_; }
  // Lets other processes open the directory again.
  void share_presence();
  // Tries to become alone again without waiting; true on success.
  bool try_alone();

  void enter_reader();
  void leave_reader();
  void enter_writer();
  void leave_writer();

  // Claims the writer role for one call, waiting while another store's call holds it.
  // Idempotent.
  Status claim_writer_role();
  void release_writer_role();
  bool has_writer_role() const { return writer_role_; }

  uint64_t writer_flag() const;
  uint64_t reader_count() const;

 private:
  ProcessGate(FileSystem& fs, File file, uint8_t* words);
  std::atomic_ref<uint64_t> word(size_t i) const;
  bool lock_byte(uint64_t byte, LockKind kind, bool wait);
  // Clears a word that the process which set it left behind when it died inside the gate.
  void clear_stale_writer();
  void clear_stale_readers();

  FileSystem& fs_;
  File file_;
  uint8_t* words_;
  bool alone_ = false;
  bool writer_role_ = false;
  // This object's writers take turns (one lock on kWriterInsideByte stands for one writer),
  // and its readers share one lock on kReadersInsideByte, held while any of them is inside.
  std::mutex writer_mu_;
  std::mutex readers_mu_;
  uint64_t readers_inside_ = 0;
  bool readers_lock_held_ = false;
  std::atomic<bool> writer_inside_{false};
  bool writer_lock_held_ = false;
};

// The writer role for the length of one writing call.
class WriterTurn {
 public:
  explicit WriterTurn(ProcessGate& gate) : gate_(gate), claimed_(gate.claim_writer_role()) {}
  WriterTurn(const WriterTurn&) = delete;
  ~WriterTurn() {
    if (claimed_.ok()) gate_.release_writer_role();
  }
  const Status& status() const { return claimed_; }

 private:
  ProcessGate& gate_;
  Status claimed_;
};

// Guards that leave the gate on every path out.
class GateReader {
 public:
  explicit GateReader(ProcessGate& gate) : gate_(&gate) { gate_->enter_reader(); }
  GateReader(GateReader&& other) noexcept : gate_(std::exchange(other.gate_, nullptr)) {}
  GateReader(const GateReader&) = delete;
  ~GateReader() { release(); }
  void release() {
    if (gate_) gate_->leave_reader();
    gate_ = nullptr;
  }

 private:
  ProcessGate* gate_;
};

class GateWriter {
 public:
  explicit GateWriter(ProcessGate& gate) : gate_(&gate) { gate_->enter_writer(); }
  GateWriter(GateWriter&& other) noexcept : gate_(std::exchange(other.gate_, nullptr)) {}
  GateWriter(const GateWriter&) = delete;
  ~GateWriter() { release(); }
  void release() {
    if (gate_) gate_->leave_writer();
    gate_ = nullptr;
  }

 private:
  ProcessGate* gate_;
};

}  // namespace tarnix
