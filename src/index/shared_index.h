// The index and its reader-writer lock (`core`), shared by the store with the projection
// worker and with streams, which may outlive the store; and what of the directory the index
// reflects, since other stores (in this process or others) may write there too.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "index/core_index.h"
#include "storage/fs.h"

namespace tarnix {

// The log and the snapshot as an index last saw them, and how far into the log it has taken
// on records. Every writing call appends to or truncates wal.bin, or replaces snapshot.bin
// or wal.bin, so a store that finds both as it saw them has nothing to catch up on.
struct DirectoryView {
  FileStamp wal;
  FileStamp snapshot;
  uint64_t log_applied = 0;

  bool same_files(const DirectoryView& other) const {
    return wal == other.wal && snapshot == other.snapshot;
  }
};

struct SharedIndex {
  std::shared_mutex mu;
  std::unique_ptr<CoreIndex> index;
  // Serialises catching up with the directory and guards `view`. Lock order: the gate, then
  // follow_mu, then `mu`.
  std::mutex follow_mu;
  DirectoryView view;
  // Set when the store's index no longer describes its files (a vacuum failed past its
  // commit): it stops following, and only a new open goes on.
  bool frozen = false;
};

}  // namespace tarnix
