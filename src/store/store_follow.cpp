// Following the directory: other stores (in other processes, or in this one) write there
// too, and every call of this store first takes on what they wrote.
#include <mutex>

#include "storage/format.h"
#include "store/store.h"

namespace tarnix {

Status Store::follow() {
  Followed followed;
  TARNIX_ASSIGN_OR_RETURN(followed, follow_directory(*core_));
  take_on(followed);
  return Status();
}

Status Store::follow_outside_gate() {
  DirectoryView now;
  TARNIX_ASSIGN_OR_RETURN(now, look_at_directory(*fs_, path_));
  {
    std::lock_guard<std::mutex> follow_lock(core_->follow_mu);
    if (core_->frozen || now.same_files(core_->view)) return Status();
  }
  GateReader inside(*gate_);
  return follow();
}

Status Store::catch_up_as_writer() {
  FileSystem& fs = *fs_;
  // A vacuum another store left unfinished past its commit (its marker or journal is
  // there) is finished before anything is written: the next open would finish it anyway,
  // replacing whatever was written into the files it is about to replace.
  bool vacuum_pending = false;
  for (const char* marker : {kVacuumIntentFile, kVacuumJournalFile}) {
    bool present;
    TARNIX_ASSIGN_OR_RETURN(present, fs.exists(join_path(path_, marker)));
    vacuum_pending |= present;
  }
  DirectoryView now;
  TARNIX_ASSIGN_OR_RETURN(now, look_at_directory(fs, path_));
  Followed followed;
  {
    std::lock_guard<std::mutex> follow_lock(core_->follow_mu);
    if (vacuum_pending) {
      LoadedIndex loaded;
      TARNIX_ASSIGN_OR_RETURN(loaded, recover_index(path_, StoreOptions{fs_, clock_, pca_enabled_},
                                                    ReplayMode::kFollow, false));
      TARNIX_ASSIGN_OR_RETURN(now, look_at_directory(fs, path_));
      {
        std::unique_lock<std::shared_mutex> core_lock(core_->mu);
        core_->index = std::move(loaded.index);
      }
      core_->view = now;
      core_->view.log_applied = loaded.replay.good_end;
      followed.reloaded = true;
      followed.dropped = loaded.dropped;
    } else if (!now.same_files(core_->view)) {
      TARNIX_ASSIGN_OR_RETURN(followed, catch_up(*core_, now));
    }
    std::unique_lock<std::shared_mutex> wal_lock(*wal_mu_);
    // The log writer appends to the log that is there now, and undoes a failed call back to
    // where that call began, not to a length another store has long since passed.
    if (core_->view.wal.inode != wal_->inode()) {
      Result<WalWriter> reopened = WalWriter::open(fs, join_path(path_, kWalFile));
      if (!reopened.ok()) return reopened.take_status();
      *wal_ = std::move(reopened).value();
    } else {
      TARNIX_RETURN_IF_ERROR(wal_->resync());
    }
    // Records past the last one that decodes were left by a writer that died while
    // appending; they would hide every later record from a replay, and nobody else is
    // appending now.
    if (wal_->length() > core_->view.log_applied) {
      TARNIX_RETURN_IF_ERROR(wal_->truncate_and_sync(core_->view.log_applied));
      TARNIX_ASSIGN_OR_RETURN(core_->view.wal, fs.stat(join_path(path_, kWalFile)));
    }
  }
  if (followed.reloaded) {
    // A reloaded index knows no frees; another store's may be in the log's unsynced tail.
    std::unique_lock<std::shared_mutex> core_lock(core_->mu);
    std::shared_lock<std::shared_mutex> wal_lock(*wal_mu_);
    note_unsynced_frees(*core_->index, *wal_);
  }
  checkpoint_due_ |= followed.dropped > 0;
  take_on(followed);
  if (checkpoint_due_) {
    TARNIX_RETURN_IF_ERROR(checkpoint(/*inside_gate=*/true));
    checkpoint_due_ = false;
    note_own_writes();
  }
  return Status();
}

void Store::note_own_writes() {
  // When the directory cannot be looked at, the view stays behind: the next call then takes
  // on this call's own records again, which changes nothing.
  Result<DirectoryView> now = look_at_directory(*fs_, path_);
  if (!now.ok()) return;
  std::lock_guard<std::mutex> follow_lock(core_->follow_mu);
  core_->view = std::move(now).value();
  core_->view.log_applied = core_->view.wal.size;
}

void Store::take_on(const Followed& followed) {
  if (!pca_enabled_) return;
  pca_->enqueue_followed(followed.changes, followed.reloaded);
}

}  // namespace tarnix
