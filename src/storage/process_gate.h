// ProcessGate: the cross-process reader-writer gate in `.proc_lock`, plus the record locks
// that say which processes have the directory open and which one may write.
//
// The gate is two 64-bit words in a shared mapping, touched only with sequentially
// consistent atomics: writer_flag (0 free, 1 a writer is inside) and reader_count. A writer
// of any process excludes every reader and writer of every process while it works. The gate
// has no timeout and records no owner, so every entry is paired with an exit by a guard.
//
// Every open store holds a read lock on kPresenceByte for as long as this object lives (the
// index's mappings live no longer), so "no other process has the directory open" is a
// non-blocking upgrade of that lock to a write lock. The writing process holds a write lock
// on kWriterRoleByte. Locks are open-file-description locks: they belong to this object's
// descriptor, conflict between two stores of one process too, and vanish with the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
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

  // Claims the writer role without waiting; EBUSY "store is being written by another
  // process" when another store holds it. Idempotent.
  Status claim_writer_role();
  void release_writer_role();
  bool has_writer_role() const { return writer_role_; }

  uint64_t writer_flag() const;
  uint64_t reader_count() const;

 private:
  ProcessGate(FileSystem& fs, File file, uint8_t* words);
  std::atomic_ref<uint64_t> word(size_t i) const;

  FileSystem& fs_;
  File file_;
  uint8_t* words_;
  bool alone_ = false;
  bool writer_role_ = false;
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
