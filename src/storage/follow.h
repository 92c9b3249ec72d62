// Keeping an index in step with a directory that other stores write.
//
// Each store writes its own changes into the shared files and logs them. Another store
// takes them on from the log: records appended since its view are applied incrementally
// (without writing anything or linking the graph again); a replaced snapshot or log (a
// persist or a vacuum) makes it load the index again from the snapshot and the log.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "index/shared_index.h"
#include "storage/fs.h"
#include "storage/wal.h"

namespace tarnix {

// The stamps of wal.bin and snapshot.bin now (`log_applied` left 0): two stat calls.
Result<DirectoryView> look_at_directory(FileSystem& fs, const std::string& dir);

// An index built from the files: the snapshot, then the log. `create` opens the data files
// as an open does (creating and extending them); otherwise they are taken as they are.
// `after_snapshot` runs once the snapshot is applied, before anything fits the index to
// the files (the open finishes an interrupted in-place vacuum there).
struct LoadedIndex {
  std::unique_ptr<CoreIndex> index;
  ReplayOutcome replay;
  // Slots the snapshot names that the files no longer hold.
  uint64_t dropped = 0;
};
Result<LoadedIndex> load_index(const std::string& dir, CoreIndex::Options options, ReplayMode mode,
                               bool create,
                               const std::function<Status(CoreIndex&)>& after_snapshot = {});

struct Followed {
  bool reloaded = false;
  // Slots a reload found the snapshot naming beyond the files.
  uint64_t dropped = 0;
  std::vector<LoggedChange> changes;
};

// Brings `shared` up to the directory as `now` shows it. Call inside the gate (so that no
// other store writes meanwhile) with `shared.follow_mu` held; takes `shared.mu` exclusively
// while it changes the index, and writes nothing. While a vacuum that another store left
// unfinished waits for a writer to finish it, the files are in between: the index keeps the
// view it has (its mappings still hold the files it saw).
Result<Followed> catch_up(SharedIndex& shared, const DirectoryView& now);

// The start of a reading call, inside the gate as a reader: looks at the directory and
// catches up if another store changed it since the view.
Result<Followed> follow_directory(SharedIndex& shared);

}  // namespace tarnix
