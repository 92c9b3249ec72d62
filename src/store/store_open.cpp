// Opening a store: recovery of whatever a crash left, then the runtime pieces.
#include <fcntl.h>

#include "storage/faulty_fs.h"
#include "storage/format.h"
#include "storage/snapshot.h"
#include "store/store.h"
#include "util/env.h"
#include "vacuum/recovery.h"

namespace tarnix {
namespace {

constexpr uint64_t kDefaultPcaUpdateDelayMs = 120'000;
constexpr uint64_t kDefaultPcaWorkerIntervalMs = 5'000;
constexpr uint32_t kDefaultPcaBatchSize = 128;

// What the durable state looks like: every writing call appends to the log or replaces the
// snapshot, so a change of either means another process has written; a vacuum's journal or
// marker means another process's vacuum failed and must be finished before anyone writes.
Result<std::string> durable_stamp(FileSystem& fs, const std::string& dir) {
  std::string stamp;
  for (const char* name : {kWalFile, kSnapshotFile, kVacuumJournalFile, kVacuumIntentFile}) {
    FileStamp st;
    TARNIX_ASSIGN_OR_RETURN(st, fs.stat(join_path(dir, name)));
    stamp += std::to_string(st.size) + "/" + std::to_string(st.inode) + "/" +
             std::to_string(st.mtime_nanos) + ";";
  }
  return stamp;
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

// A log found at open may never have been synced by the process that wrote it, so any
// deleted slot may owe its deletion to a record that is not durable yet.
void note_unsynced_frees(CoreIndex& index, const WalWriter& wal) {
  if (wal.has_unsynced_records()) {
    index.recently_freed = index.deleted;
  } else {
    index.recently_freed.clear();
  }
}

struct Recovered {
  std::unique_ptr<CoreIndex> index;
  ReplayOutcome replay;
  // Slots the snapshot names that the files no longer hold.
  uint64_t dropped = 0;
  // Whether the index writes through to the shared files.
  bool shared = true;
};

// Builds the index from the files: first whatever an interrupted vacuum left is finished or
// discarded, then the snapshot, the log replay and the fit to the files. Runs inside the gate
// as a writer. Replay writes into the data files; `sole_writer` says no other process can be
// writing there, otherwise the index keeps its changes private unless the log is empty.
Result<Recovered> recover_index(const std::string& dir, const StoreOptions& options,
                                bool sole_writer) {
  FileSystem& fs = *options.fs;
  std::optional<VacuumJournal> in_place;
  TARNIX_ASSIGN_OR_RETURN(in_place, recover_vacuum_before_load(fs, dir));
  Recovered r;
  // An interrupted in-place vacuum emptied the log before it began, so finishing it writes
  // nothing another process could have written since.
  Result<FileStamp> wal = fs.stat(join_path(dir, kWalFile));
  r.shared = sole_writer || in_place || (wal.ok() && wal->size == 0);
  CoreIndex::Options index_options{options.fs, options.clock, r.shared};
  TARNIX_ASSIGN_OR_RETURN(r.index, CoreIndex::open(dir, index_options));
  std::optional<SnapshotData> snapshot;
  TARNIX_ASSIGN_OR_RETURN(snapshot, load_snapshot(fs, dir));
  if (snapshot) apply_snapshot(*r.index, std::move(*snapshot));
  // Before anything fits the index to the files: an interrupted vacuum may already have cut
  // them to the live count while the snapshot still names the slots above it.
  if (in_place) TARNIX_RETURN_IF_ERROR(recover_in_place_vacuum(*r.index, *in_place));
  // The fit to the files comes before the replay as well (it also rebuilds the runtime slot
  // state that replay's inserts need): a damaged snapshot naming a slot near 2^32 would
  // otherwise have the replay hand out slots from there, growing the files up to it.
  r.dropped = r.index->reconcile_with_files();
  r.index->begin_replay();
  TARNIX_ASSIGN_OR_RETURN(r.replay, replay_wal(*options.fs, join_path(dir, kWalFile), *r.index));
  r.index->finish_replay();
  r.dropped += r.index->reconcile_with_files();
  return r;
}

}  // namespace

Store::Store(std::string path, StoreOptions options)
    : path_(std::move(path)),
      fs_(std::move(options.fs)),
      clock_(std::move(options.clock)),
      pca_enabled_(options.pca_enabled),
      core_(std::make_shared<SharedIndex>()),
      wal_mu_(std::make_shared<std::shared_mutex>()) {}

Store::~Store() {
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
    // Replay writes into the data files. Another process that has the directory open may
    // have written there since the log began, in slots this replay would assign otherwise,
    // so unless nobody else is here (or there is nothing to replay) the replay's changes
    // stay private to this process, which then rebuilds its index before it writes.
    Result<bool> creating = creates_store_files(fs, path);
    if (!creating.ok()) return creating.status().as_plain_os_error();
    Result<Recovered> recovered = recover_index(path, options, g.alone());
    if (!recovered.ok()) return recovered.status().as_os_error();
    const ReplayOutcome& replay = recovered->replay;
    store->private_view_ = !recovered->shared;

    Result<WalWriter> wal = WalWriter::open(fs, join_path(path, kWalFile));
    if (!wal.ok()) return wal.take_status();
    store->wal_ = std::make_unique<WalWriter>(std::move(wal).value());
    // The log's name must be durable before a synced record in it can count as durable.
    if (*creating) {
      Status synced = fs.sync_dir(path);
      if (!synced.ok()) return synced.as_plain_os_error();
    }
    // A torn tail would hide every later record from replay, so it goes before anything
    // is appended: now when nobody else has the directory open, or else when this store
    // becomes the one writer (until then another process might be appending right there).
    if (replay.good_end < replay.file_length) {
      if (g.alone()) {
        Status cut = store->wal_->truncate_and_sync(replay.good_end);
        if (!cut.ok()) return cut.as_plain_os_error();
      } else {
        store->torn_log_end_ = replay.good_end;
      }
    }
    Result<std::string> stamp = durable_stamp(fs, path);
    if (!stamp.ok()) return stamp.status().as_plain_os_error();
    store->opened_stamp_ = std::move(stamp).value();
    store->checkpoint_due_ = recovered->dropped > 0;
    note_unsynced_frees(*recovered->index, *store->wal_);
    store->core_->index = std::move(recovered->index);
  }
  g.share_presence();

  PcaRuntime::Settings settings;
  settings.update_delay_ms =
      env_u64_plain("TARNIX_PCA_UPDATE_DELAY_MS").value_or(kDefaultPcaUpdateDelayMs);
  settings.worker_interval_ms =
      env_u64_plain("TARNIX_PCA_WORKER_INTERVAL_MS").value_or(kDefaultPcaWorkerIntervalMs);
  settings.batch_size = env_u32_plain("TARNIX_PCA_BATCH_SIZE").value_or(kDefaultPcaBatchSize);
  store->pca_ = std::make_shared<PcaRuntime>(settings);

  Result<uint64_t> now = unix_millis(*store->clock_);
  if (!now.ok()) return now.take_status();
  store->last_wal_sync_ms_ = *now;
  if (store->pca_enabled_) store->enqueue_snapshot_sync();
  return store;
}

Status Store::become_writer() {
  if (writer_ready_) return Status();
  TARNIX_RETURN_IF_ERROR(gate_->claim_writer_role());
  GateWriter inside(*gate_);
  Result<std::string> stamp = durable_stamp(*fs_, path_);
  if (!stamp.ok()) return stamp.take_status();
  if (private_view_ || *stamp != opened_stamp_) {
    // Another process wrote since this index was built (or it was built privately):
    // writing on top of it would overwrite that process's slots and records, so rebuild it
    // from the files first. This store is the only writer from here on.
    Result<Recovered> recovered =
        recover_index(path_, StoreOptions{fs_, clock_, pca_enabled_}, true);
    if (!recovered.ok()) return recovered.take_status();
    Result<WalWriter> wal = WalWriter::open(*fs_, join_path(path_, kWalFile));
    if (!wal.ok()) return wal.take_status();
    note_unsynced_frees(*recovered->index, *wal);
    {
      std::unique_lock<std::shared_mutex> core_lock(core_->mu);
      std::unique_lock<std::shared_mutex> wal_lock(*wal_mu_);
      core_->index = std::move(recovered->index);
      *wal_ = std::move(wal).value();
    }
    const ReplayOutcome& replay = recovered->replay;
    checkpoint_due_ = recovered->dropped > 0;
    torn_log_end_.reset();
    if (replay.good_end < replay.file_length) torn_log_end_ = replay.good_end;
    private_view_ = false;
    opened_stamp_ = std::move(stamp).value();
    if (pca_enabled_) enqueue_snapshot_sync();
  }
  if (torn_log_end_) {
    // Holding the writer role, nobody else appends: the torn tail can go now.
    std::unique_lock<std::shared_mutex> wal_lock(*wal_mu_);
    TARNIX_RETURN_IF_ERROR(wal_->truncate_and_sync(*torn_log_end_));
    torn_log_end_.reset();
  }
  if (checkpoint_due_) {
    TARNIX_RETURN_IF_ERROR(checkpoint(/*inside_gate=*/true));
    checkpoint_due_ = false;
  }
  writer_ready_ = true;
  return Status();
}

}  // namespace tarnix
