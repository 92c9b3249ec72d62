#include "storage/follow.h"

#include <mutex>

#include "storage/format.h"
#include "storage/snapshot.h"

namespace tarnix {

Result<DirectoryView> look_at_directory(FileSystem& fs, const std::string& dir) {
  DirectoryView view;
  TARNIX_ASSIGN_OR_RETURN(view.wal, fs.stat(join_path(dir, kWalFile)));
  TARNIX_ASSIGN_OR_RETURN(view.snapshot, fs.stat(join_path(dir, kSnapshotFile)));
  return view;
}

Result<LoadedIndex> load_index(const std::string& dir, CoreIndex::Options options, ReplayMode mode,
                               bool create,
                               const std::function<Status(CoreIndex&)>& after_snapshot) {
  FileSystem& fs = *options.fs;
  LoadedIndex r;
  if (create) {
    TARNIX_ASSIGN_OR_RETURN(r.index, CoreIndex::open(dir, std::move(options)));
  } else {
    TARNIX_ASSIGN_OR_RETURN(r.index, CoreIndex::open_existing(dir, std::move(options)));
  }
  std::optional<SnapshotData> snapshot;
  TARNIX_ASSIGN_OR_RETURN(snapshot, load_snapshot(fs, dir));
  if (snapshot) apply_snapshot(*r.index, std::move(*snapshot));
  if (after_snapshot) TARNIX_RETURN_IF_ERROR(after_snapshot(*r.index));
  // The fit to the files comes before the replay as well (it also rebuilds the runtime slot
  // state that replay's inserts need): a damaged snapshot naming a slot near 2^32 would
  // otherwise have the replay hand out slots from there, growing the files up to it.
  r.dropped = r.index->reconcile_with_files();
  // A followed log's records may find later writes in any slot.
  r.index->begin_replay(mode == ReplayMode::kFollow);
  TARNIX_ASSIGN_OR_RETURN(r.replay, replay_wal(fs, join_path(dir, kWalFile), *r.index, mode));
  r.index->finish_replay();
  r.dropped += r.index->reconcile_with_files();
  return r;
}

Result<Followed> catch_up(SharedIndex& shared, const DirectoryView& now) {
  Followed followed;
  CoreIndex& index = *shared.index;
  const DirectoryView& view = shared.view;
  const std::string& dir = index.dir();
  const bool same_log = now.wal.exists && now.wal.inode == view.wal.inode &&
                        now.snapshot == view.snapshot && now.wal.size >= view.log_applied;
  if (same_log) {
    // Only appends: take on the new records.
    std::unique_lock<std::shared_mutex> core_lock(shared.mu);
    TARNIX_RETURN_IF_ERROR(index.refresh_files());
    index.begin_replay(true);
    Result<ReplayOutcome> replay = replay_wal(index.fs(), join_path(dir, kWalFile), index,
                                              ReplayMode::kFollow, view.log_applied);
    index.finish_replay();
    if (!replay.ok()) return replay.take_status();
    shared.view = now;
    shared.view.log_applied = replay->good_end;
    followed.changes = std::move(replay->changes);
    return followed;
  }
  // The snapshot or the log was replaced, or the log cut back: load it all again, from files
  // that a vacuum may have replaced too.
  for (const char* marker : {kVacuumIntentFile, kVacuumJournalFile}) {
    bool pending;
    TARNIX_ASSIGN_OR_RETURN(pending, index.fs().exists(join_path(dir, marker)));
    if (pending) return followed;
  }
  LoadedIndex loaded;
  TARNIX_ASSIGN_OR_RETURN(loaded, load_index(dir, index.options(), ReplayMode::kFollow, false));
  {
    std::unique_lock<std::shared_mutex> core_lock(shared.mu);
    shared.index = std::move(loaded.index);
  }
  shared.view = now;
  shared.view.log_applied = loaded.replay.good_end;
  followed.reloaded = true;
  followed.dropped = loaded.dropped;
  return followed;
}

Result<Followed> follow_directory(SharedIndex& shared) {
  std::lock_guard<std::mutex> follow_lock(shared.follow_mu);
  if (shared.frozen) return Followed();
  DirectoryView now;
  TARNIX_ASSIGN_OR_RETURN(now, look_at_directory(shared.index->fs(), shared.index->dir()));
  if (now.same_files(shared.view)) return Followed();
  return catch_up(shared, now);
}

}  // namespace tarnix
