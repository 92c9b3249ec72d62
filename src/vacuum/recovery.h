// What an open does about a vacuum that was interrupted: before the data files are mapped it
// settles the markers and finishes or discards a rewrite; once the snapshot is loaded it
// finishes an in-place vacuum from its journal.
#pragma once

#include <optional>
#include <string>

#include "index/core_index.h"
#include "vacuum/journal.h"

namespace tarnix {

// Checks the in-place markers against the journal and rolls a committed blob phase forward
// (renaming its `.ipvac` copies into place). Returns the journal, if one could be read. An
// unreadable journal without markers is reported on standard error and ignored; markers
// without a usable journal fail the open, since the files cannot be interpreted without it.
Result<std::optional<VacuumJournal>> resolve_in_place_markers(FileSystem& fs,
                                                              const std::string& dir);

// The open's first step: resolves the in-place markers, completes or discards a rewrite
// vacuum, and removes an uncommitted rewrite's leftovers. Returns the journal of an in-place
// vacuum that still has to be finished on the loaded index.
Result<std::optional<VacuumJournal>> recover_vacuum_before_load(FileSystem& fs,
                                                                const std::string& dir);

// Finishes an interrupted in-place vacuum on an index loaded from the snapshot, before the
// log is replayed (the vacuum emptied the log before it began, so there is nothing the
// replay could write over moved rows). Reruns the remaining phases from the journal's plan,
// never from a new one, then writes the snapshot, empties the log and removes the journal.
// On failure the journal stays and the next open tries again.
Status recover_in_place_vacuum(CoreIndex& index, const VacuumJournal& journal);

}  // namespace tarnix
