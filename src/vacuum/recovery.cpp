#include "vacuum/recovery.h"

#include <algorithm>

#include "storage/format.h"
#include "storage/snapshot.h"
#include "vacuum/in_place.h"
#include "vacuum/rewrite.h"
#include "vacuum/vacuum_files.h"

namespace tarnix {
namespace {

Status markers_without_journal(const std::string& message) {
  return Status::invalid_data(message);
}

// The loaded index is the compacted one already: only the snapshot and log steps are left.
// Only once every file is compacted: a plan without moves leaves an index of this shape from
// the start, and its blob phase (with `.ipvac` copies on disk) may still be unfinished.
bool already_compacted(const CoreIndex& index, const VacuumJournal& journal) {
  // An empty live set counts as largest slot 0, which needs a desired capacity above 0.
  std::optional<uint32_t> largest = index.valid_ids.maximum();
  return journal.stage == VacuumStage::kCommitted && index.capacity == journal.desired_capacity &&
         index.deleted.empty() && index.valid_ids.cardinality() == journal.live_count &&
         largest.value_or(0) < journal.desired_capacity;
}

}  // namespace

Result<std::optional<VacuumJournal>> resolve_in_place_markers(FileSystem& fs,
                                                              const std::string& dir) {
  bool markers;
  TARNIX_ASSIGN_OR_RETURN(markers, has_in_place_markers(fs, dir));
  Result<std::optional<VacuumJournal>> loaded = load_vacuum_journal(fs, dir);
  std::optional<VacuumJournal> journal;
  if (!loaded.ok()) {
    if (markers) {
      return markers_without_journal(
          "vacuum.journal is required to recover in-place vacuum state: " +
          loaded.status().message());
    }
    // A journal that exists but cannot be read now may plan an in-place vacuum whose rows
    // are half moved; opening without it would lose the items above the live count.
    if (loaded.status().code() == StatusCode::kIoError) return loaded.take_status();
    print_warning("vacuum.journal is corrupt or unreadable (" + loaded.status().message() +
                  "). Ignoring it.");
  } else {
    journal = std::move(loaded).value();
    if (!journal && markers) {
      return markers_without_journal(
          "in-place vacuum recovery markers found but vacuum.journal is missing");
    }
  }

  const std::string intent = join_path(dir, kInPlaceIntentFile);
  bool committed;
  TARNIX_ASSIGN_OR_RETURN(committed, fs.exists(intent));
  if (committed) {
    if (!journal) {
      return markers_without_journal("vacuum.inplace.intent exists but vacuum.journal is missing");
    }
    for (const char* name : kBlobPhaseFiles) {
      const std::string staged = join_path(dir, std::string(name) + kIpvacSuffix);
      bool present;
      TARNIX_ASSIGN_OR_RETURN(present, fs.exists(staged));
      if (present) TARNIX_RETURN_IF_ERROR(fs.rename(staged, join_path(dir, name)));
    }
    if (journal->mode == VacuumMode::kInPlace && journal->stage != VacuumStage::kCommitted) {
      journal->stage = VacuumStage::kCommitted;
      TARNIX_RETURN_IF_ERROR(write_vacuum_journal(fs, dir, *journal));
    }
    TARNIX_RETURN_IF_ERROR(clear_in_place_blob_intent(fs, dir));
  }
  return journal;
}

Result<std::optional<VacuumJournal>> recover_vacuum_before_load(FileSystem& fs,
                                                                const std::string& dir) {
  std::optional<VacuumJournal> journal;
  TARNIX_ASSIGN_OR_RETURN(journal, resolve_in_place_markers(fs, dir));
  TARNIX_RETURN_IF_ERROR(complete_rewrite_vacuum(fs, dir, journal));
  TARNIX_RETURN_IF_ERROR(remove_rewrite_leftovers(fs, dir));
  // A placeholder, and a journal write that never reached its rename: both are made again
  // whenever they are needed.
  TARNIX_RETURN_IF_ERROR(remove_if_exists(fs, join_path(dir, kBlobDummyFile)));
  TARNIX_RETURN_IF_ERROR(remove_if_exists(fs, join_path(dir, kVacuumJournalTempFile)));
  if (journal && journal->mode == VacuumMode::kInPlace) return journal;
  return std::optional<VacuumJournal>();
}

Status recover_in_place_vacuum(CoreIndex& index, const VacuumJournal& journal) {
  FileSystem& fs = index.fs();
  if (already_compacted(index, journal)) {
    TARNIX_RETURN_IF_ERROR(write_snapshot_and_reset_wal(index, true));
    return clear_vacuum_journal(fs, index.dir());
  }
  // The plan was made from exactly the index the vacuum's own checkpoint saved; rows must
  // not be moved for an index that differs (a lost or damaged snapshot).
  if (index.valid_ids.cardinality() != journal.live_count) {
    return Status::invalid_data(
        "vacuum.journal plans an in-place vacuum of " + std::to_string(journal.live_count) +
        " live items, but the snapshot holds " + std::to_string(index.valid_ids.cardinality()));
  }
  VacuumJournal pending = journal;
  SlotMap move_map = build_move_map_for_plan(index, pending.desired_capacity, pending.moves,
                                             std::max(pending.original_capacity, index.capacity));
  switch (pending.stage) {
    case VacuumStage::kPrepare:
      TARNIX_RETURN_IF_ERROR(apply_in_place_slot_compaction(index, pending, move_map));
      TARNIX_RETURN_IF_ERROR(finalize_in_place_blob_compaction(index, pending, move_map));
      break;
    case VacuumStage::kSlotsCompacted:
      TARNIX_RETURN_IF_ERROR(shorten_slot_files(index, pending.desired_capacity));
      TARNIX_RETURN_IF_ERROR(finalize_in_place_blob_compaction(index, pending, move_map));
      break;
    case VacuumStage::kCommitted:
      break;
  }
  rebuild_state_from_move_map(index, pending.desired_capacity, move_map);
  TARNIX_RETURN_IF_ERROR(write_snapshot_and_reset_wal(index, true));
  return clear_vacuum_journal(fs, index.dir());
}

}  // namespace tarnix
