// The rewrite vacuum: every live item is copied into a fresh set of `.vac` files, numbered
// densely from 0, and the fresh files replace the live ones by rename once the commit marker
// `vacuum.intent` is durable. An open that finds the marker finishes the renames.
#pragma once

#include <optional>
#include <string>

#include "index/core_index.h"
#include "vacuum/journal.h"

namespace tarnix {

// Compacts the index's store. Called with the index held exclusively and the gate held as a
// writer. A failure before the commit marker leaves the index and its files as they were. A
// failure after it sets `*must_reopen`: the index no longer describes the files (it may hold
// none at all), and only a new open, which completes the vacuum, can go on.
Status vacuum_rewrite(CoreIndex& index, bool* must_reopen);

// At open, before any data file is mapped: finishes a rewrite whose marker exists by renaming
// the remaining `.vac` files into place, or discards the journal of one that never committed.
// `journal` is the journal the open loaded, if any.
Status complete_rewrite_vacuum(FileSystem& fs, const std::string& dir,
                               const std::optional<VacuumJournal>& journal);

// Removes what an uncommitted rewrite left (its `.vac` copies and placeholder), so that a
// failed vacuum does not keep a second copy of the store on disk. Only after
// complete_rewrite_vacuum: with a marker present these files are the store.
Status remove_rewrite_leftovers(FileSystem& fs, const std::string& dir);

}  // namespace tarnix
