// vacuum: compacting the store, and what happens to a store object whose vacuum failed
// after it could no longer be undone.
#include <mutex>

#include "storage/format.h"
#include "store/store.h"
#include "util/env.h"
#include "vacuum/in_place.h"
#include "vacuum/rewrite.h"

namespace tarnix {

Status Store::vacuum() {
  TARNIX_RETURN_IF_ERROR(usable());
  WriterTurn turn(*gate_);
  TARNIX_RETURN_IF_ERROR(turn.status().as_os_error());
  GateWriter inside(*gate_);
  TARNIX_RETURN_IF_ERROR(catch_up_as_writer().as_os_error());
  Status result;
  bool must_reopen = false;
  {
    std::unique_lock<std::shared_mutex> core_lock(core_->mu);
    CoreIndex& index = *core_->index;
    // Moving rows and cutting files under another process's mappings would corrupt its reads
    // or kill it with SIGBUS, so the in-place vacuum runs only while nobody else has the
    // directory open (and, being alone, nobody can open it until the vacuum is done).
    const bool in_place =
        env_flag_true("TARNIX_VACUUM_IN_PLACE") && !index.valid_ids.empty() && gate_->try_alone();
    if (in_place) {
      result = vacuum_in_place(index, &must_reopen);
      gate_->share_presence();
    } else {
      result = vacuum_rewrite(index, &must_reopen);
    }
  }
  if (must_reopen) {
    require_reopen(result);
    return usable();
  }
  // Either vacuum may have emptied or replaced wal.bin behind the log writer.
  Result<WalWriter> wal = WalWriter::open(*fs_, join_path(path_, kWalFile));
  if (!wal.ok()) {
    require_reopen(wal.status());
    return usable();
  }
  {
    std::unique_lock<std::shared_mutex> wal_lock(*wal_mu_);
    *wal_ = std::move(wal).value();
  }
  note_own_writes();
  if (!result.ok()) return result.as_os_error();
  {
    // The slots were renumbered and the log is empty: nothing freed is owed to it.
    std::unique_lock<std::shared_mutex> core_lock(core_->mu);
    core_->index->recently_freed.clear();
  }
  enqueue_pca_snapshot_sync();
  return Status();
}

void Store::require_reopen(const Status& cause) {
  must_reopen_ = Status::io_error(cause.os_errno(), "store must be reopened: " + cause.message())
                     .as_plain_os_error();
  needs_reopen_.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> follow_lock(core_->follow_mu);
  core_->frozen = true;
  std::unique_lock<std::shared_mutex> core_lock(core_->mu);
  core_->index->files = DataFiles();
}

}  // namespace tarnix
