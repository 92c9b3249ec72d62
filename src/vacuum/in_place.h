// The in-place vacuum: live items at or above the live count L move into the holes below it,
// inside the existing files; graph rows are renumbered where they lie, the vector and graph
// files are cut to L rows, and the id, metadata and offset files are rebuilt through
// `.ipvac` copies under their own commit marker. The journal records the plan before
// anything moves and the stage reached after each irreversible phase, so that an open can
// finish the run from exactly the same plan.
//
// All of it runs with the index held exclusively and the gate held as a writer, while no
// other process has the directory open (moving rows under another process's mappings would
// corrupt its reads), or at open before the store is shared.
#pragma once

#include <vector>

#include "index/core_index.h"
#include "vacuum/journal.h"
#include "vacuum/renumber.h"

namespace tarnix {

// Runs the whole procedure on an index with at least one live slot. It first makes the
// snapshot current and empties the log, so that an interrupted run never has old-numbered
// log records replayed over moved rows. A failure after the journal may exist sets
// `*must_reopen`: index and files are in between, and the next open finishes the run.
Status vacuum_in_place(CoreIndex& index, bool* must_reopen);

// The plan: the highest live slot moves to the lowest free slot below the live count, and so
// on. Free means not live: under the slot invariant these are exactly the deleted slots.
std::vector<SlotMove> build_in_place_vacuum_plan(const CoreIndex& index);
// Old slot -> new slot for a plan: live slots below `desired` keep their number, movers get
// their hole. Its length is the larger of `desired` and `target`.
SlotMap build_move_map_for_plan(const CoreIndex& index, uint32_t desired,
                                const std::vector<SlotMove>& moves, uint32_t target);

// Moves the planned vector rows, renumbers every live graph row into its new place, syncs,
// records kSlotsCompacted, then cuts vectors.bin and graph.bin to the journal's desired
// capacity. Recording the stage before the cut means a crash in between never leaves a
// kPrepare journal whose movers lie beyond the files.
Status apply_in_place_slot_compaction(CoreIndex& index, VacuumJournal& journal,
                                      const SlotMap& move_map);
// Cuts vectors.bin and graph.bin to `rows` rows where they are longer; idempotent.
Status shorten_slot_files(CoreIndex& index, uint32_t rows);
// Rebuilds ids.bin, metadata.bin and both offset files in the new numbering, replaces the
// live ones under vacuum.inplace.intent, and records kCommitted.
Status finalize_in_place_blob_compaction(CoreIndex& index, VacuumJournal& journal,
                                         const SlotMap& move_map);
// Renumbers the in-memory index once the files are compacted.
void rebuild_state_from_move_map(CoreIndex& index, uint32_t desired, const SlotMap& move_map);

// Writes the index's snapshot through snapshot.bin.tmp and empties wal.bin, each step synced.
// `stop_hooks` passes the in-place vacuum's test stops at the three stages on the way.
Status write_snapshot_and_reset_wal(CoreIndex& index, bool stop_hooks);

}  // namespace tarnix
