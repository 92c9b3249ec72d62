// Opening a store: recovery of whatever a crash left, then the runtime pieces.
#include <fcntl.h>

#include <algorithm>
#include <string>

#include "storage/faulty_fs.h"
#include "storage/format.h"
#include "storage/follow.h"
#include "storage/snapshot.h"
#include "store/store.h"
#include "util/env.h"
#include "vacuum/recovery.h"

namespace tarnix {
namespace {

constexpr uint64_t kDefaultPcaUpdateDelayMs = 120'000;
constexpr uint64_t kDefaultPcaWorkerIntervalMs = 5'000;
constexpr uint32_t kDefaultPcaBatchSize = 128;
constexpr uint64_t kDefaultReplayCheckpointRecords = 100'000;

// Whether an open that replayed `records` log records should checkpoint, so that the next
// open starts from a snapshot instead of replaying the same log again. 0 turns it off.
bool replay_wants_checkpoint(uint64_t records) {
  uint64_t limit =
      env_u64_trimmed("TARNIX_REPLAY_CHECKPOINT_RECORDS").value_or(kDefaultReplayCheckpointRecords);
  return limit > 0 && records > limit;
}

// The directories of `path` that do not exist yet, deepest first.
Result<std::vector<std::string>> missing_dirs(FileSystem& fs, const std::string& path) {
  std::vector<std::string> missing;
  for (std::string dir = path; !dir.empty();) {
    bool present;
    TARNIX_ASSIGN_OR_RETURN(present, fs.exists(dir));
    if (present) break;
    missing.push_back(dir);
    std::string parent = parent_path(dir);
    if (parent == dir) break;
    dir = std::move(parent);
  }
  return missing;
}

// A new directory entry survives a power loss only once the directory holding it is synced.
Status sync_entry_of(FileSystem& fs, const std::string& path) {
  std::string parent = parent_path(path);
  return fs.sync_dir(parent.empty() ? "." : parent);
}

// Whether the open is about to create one of the files that hold the store's content.
Result<bool> creates_store_files(FileSystem& fs, const std::string& dir) {
  for (const char* name : {kVectorsFile, kGraphFile, kIdOffsetsFile, kIdsFile, kMetaOffsetsFile,
                           kMetadataFile, kWalFile}) {
    bool present;
    TARNIX_ASSIGN_OR_RETURN(present, fs.exists(join_path(dir, name)));
    if (!present) return true;
  }
  return false;
}

}  // namespace

// A log found at open (or reloaded after another store's writes) may never have been synced
// by the process that wrote it, so any deleted slot may owe its deletion to a record that is
// not durable yet.
void note_unsynced_frees(CoreIndex& index, const WalWriter& wal) {
  if (wal.has_unsynced_records()) {
    index.recently_freed = index.deleted;
  } else {
    index.recently_freed.clear();
  }
}

// The log is applied with kRecover when no other process has the directory open (the replay
// then repeats every call, repairing what a crash kept from the files), with kFollow
// otherwise (the other stores wrote those changes into the files; writing them again could
// undo later ones).
Result<LoadedIndex> Store::recover_index(const std::string& dir, const StoreOptions& options,
                                         ReplayMode mode, bool create) {
  FileSystem& fs = *options.fs;
  std::optional<VacuumJournal> in_place;
  TARNIX_ASSIGN_OR_RETURN(in_place, recover_vacuum_before_load(fs, dir));
  // Before anything fits the index to the files: an interrupted vacuum may already have cut
  // them to the live count while the snapshot still names the slots above it. (It emptied
  // the log before it began, so the replay finds nothing to write over moved rows.)
  auto finish_in_place = [&](CoreIndex& index) {
    return in_place ? recover_in_place_vacuum(index, *in_place) : Status();
  };
  return load_index(dir, CoreIndex::Options{options.fs, options.clock}, mode, create,
                    finish_in_place);
}

Store::Store(std::string path, StoreOptions options)
    : path_(std::move(path)),
      fs_(std::move(options.fs)),
      clock_(std::move(options.clock)),
      pca_enabled_(options.pca_enabled),
      core_(std::make_shared<SharedIndex>()),
      wal_mu_(std::make_shared<std::shared_mutex>()) {}

Store::~Store() {
  // The worker reads the index: it stops before anything is released.
  if (pca_) pca_->stop_pca_worker();
  if (gate_) gate_->release_writer_role();
}

Result<std::unique_ptr<Store>> Store::open(std::string path, StoreOptions options) {
  // A hook for the test suites of other languages, which cannot reach the seam directly.
  if (env_flag_true("TARNIX_TEST_FAULT_INJECTION")) {
    auto faulty = std::make_shared<FaultyFileSystem>(options.fs);
    faulty->follow_environment("TARNIX_TEST_FAULT");
    options.fs = std::move(faulty);
  }
  std::unique_ptr<Store> store(new Store(path, options));
  FileSystem& fs = *store->fs_;
  std::vector<std::string> made;
  TARNIX_ASSIGN_OR_RETURN(made, missing_dirs(fs, path));
  TARNIX_RETURN_IF_ERROR(fs.create_dirs(path));
  // Otherwise a power loss could take the new directory, and every synced write in it, away.
  for (const std::string& dir : made) TARNIX_RETURN_IF_ERROR(sync_entry_of(fs, dir));

  Result<std::shared_ptr<ProcessGate>> gate = ProcessGate::open(fs, path);
  if (!gate.ok()) return gate.status().as_plain_os_error();
  store->gate_ = std::move(gate).value();
  ProcessGate& g = *store->gate_;

  {
    // Recovery writes data files, so it never interleaves with another process's writes.
    GateWriter inside(g);
    const bool alone = g.alone();
    Result<bool> creating = creates_store_files(fs, path);
    if (!creating.ok()) return creating.status().as_plain_os_error();
    Result<LoadedIndex> recovered =
        recover_index(path, options, alone ? ReplayMode::kRecover : ReplayMode::kFollow, true);
    if (!recovered.ok()) return recovered.status().as_os_error();
    const ReplayOutcome& replay = recovered->replay;

    Result<WalWriter> wal = WalWriter::open(fs, join_path(path, kWalFile));
    if (!wal.ok()) return wal.take_status();
    store->wal_ = std::make_unique<WalWriter>(std::move(wal).value());
    // The log's name must be durable before a synced record in it can count as durable.
    if (*creating) {
      Status synced = fs.sync_dir(path);
      if (!synced.ok()) return synced.as_plain_os_error();
    }
    // A torn tail would hide every later record from replay, so it goes before anything is
    // appended: now when nobody else has the directory open, or else at the next writing
    // call of any store (until then a writer that is alive may be appending right there).
    if (replay.good_end < replay.file_length && alone) {
      Status cut = store->wal_->truncate_and_sync(replay.good_end);
      if (!cut.ok()) return cut.as_plain_os_error();
    }
    note_unsynced_frees(*recovered->index, *store->wal_);
    store->core_->index = std::move(recovered->index);
    store->checkpoint_due_ = recovered->dropped > 0;
    bool checkpointed = false;
    if (replay_wants_checkpoint(replay.records)) {
      // Every later open would replay the same long log again. Alone, nobody else reads
      // or appends to it, so it goes now; otherwise another process may be writing, and
      // the first writing call of this store, which takes the writer role, does it.
      if (alone) {
        // A failure costs only the time of the next open's replay: the snapshot is
        // replaced before the log is emptied, and either state reopens with every item.
        // It must not keep the store from opening (a full disk, say, where the user
        // needs the store to delete items).
        Status s = store->checkpoint(/*inside_gate=*/true);
        if (s.ok()) {
          store->checkpoint_due_ = false;
          checkpointed = true;
        } else {
          print_warning("Could not checkpoint after replaying " + std::to_string(replay.records) +
                        " log records: " + s.message());
        }
      } else {
        store->checkpoint_due_ = true;
      }
    }
    Result<DirectoryView> view = look_at_directory(fs, path);
    if (!view.ok()) return view.status().as_plain_os_error();
    store->core_->view = std::move(view).value();
    // A checkpoint that failed may still have emptied the log before its last sync.
    store->core_->view.log_applied =
        checkpointed ? 0 : std::min(replay.good_end, store->core_->view.wal.size);
  }
  g.share_presence();

  PcaRuntime::Settings settings;
  settings.update_delay_ms =
      env_u64_plain("TARNIX_PCA_UPDATE_DELAY_MS").value_or(kDefaultPcaUpdateDelayMs);
  settings.worker_interval_ms =
      env_u64_plain("TARNIX_PCA_WORKER_INTERVAL_MS").value_or(kDefaultPcaWorkerIntervalMs);
  settings.batch_size = env_u32_plain("TARNIX_PCA_BATCH_SIZE").value_or(kDefaultPcaBatchSize);
  store->pca_ = std::make_shared<PcaRuntime>(settings, store->core_);

  Result<uint64_t> now = unix_millis(*store->clock_);
  if (!now.ok()) return now.take_status();
  store->last_wal_sync_ms_ = *now;
  if (store->pca_enabled_) {
    TARNIX_RETURN_IF_ERROR(store->pca_->start_pca_worker());
    store->enqueue_pca_snapshot_sync();
  }
  return store;
}

}  // namespace tarnix
