// persist: make the data files durable, trim unused capacity, write a new snapshot
// atomically, and empty the log.
#include <algorithm>
#include <mutex>

#include "storage/format.h"
#include "storage/snapshot.h"
#include "store/store.h"

namespace tarnix {
namespace {

// Capacity released only when worth a resize: at least 1024 slots or 1 % of the capacity.
bool worth_trimming(uint32_t capacity, uint32_t needed) {
  if (capacity <= needed) return false;
  uint64_t slack = capacity - needed;
  return slack >= 1024 || slack * 100 >= capacity;
}

// Empties the entries of live rows that name slots at or above `end`.
void empty_edges_from(CoreIndex& index, uint32_t end) {
  index.valid_ids.for_each([&](uint32_t slot) {
    uint32_t* row = slot < end ? index.mutable_row_at(slot) : nullptr;
    if (!row) return;
    for (size_t i = 0; i < kRowNeighbors; ++i) {
      if (row[i] != kEmptyEntry && row[i] >= end) row[i] = kEmptyEntry;
    }
  });
}

// Bookkeeping after the capacity shrank to `capacity`.
void adopt_capacity(CoreIndex& index, uint32_t capacity) {
  index.capacity = capacity;
  if (index.incoming_edges && index.incoming_edges->size() > capacity) {
    index.incoming_edges->resize(capacity);
  }
  index.deleted.remove_from(capacity);
  std::optional<uint32_t> highest = index.valid_ids.maximum();
  if (auto d = index.deleted.maximum(); d && (!highest || *d > *highest)) highest = d;
  index.next_slot = !highest ? 0 : *highest == UINT32_MAX ? UINT32_MAX : *highest + 1;
  if (index.enter_point && !index.valid_ids.contains(*index.enter_point)) {
    index.enter_point = index.valid_ids.minimum();
  }
  // Rows may still name deleted slots beyond the new end; those slots will be handed out
  // again when the files grow, and an edge to whatever lands there means nothing.
  empty_edges_from(index, capacity);
}

// Shrinks the four slot files to `needed` slots. A failure part-way leaves some files
// shorter than others; the capacity then follows the shortest, so no mapping is ever used
// beyond its file.
Status trim_tail(CoreIndex& index, uint32_t needed) {
  struct Target {
    SlotFile& file;
    uint64_t record_bytes;
  };
  // The rows that name the slots about to go lose those edges durably first: were the cut
  // to reach the disk before them, a power loss would leave rows pointing past the files.
  empty_edges_from(index, needed);
  TARNIX_RETURN_IF_ERROR(index.files.graph.flush());
  Status failure;
  for (Target t : {Target{index.files.vectors, index.dim}, Target{index.files.graph, kRowBytes},
                   Target{index.files.id_offsets, kOffsetBytes},
                   Target{index.files.meta_offsets, kOffsetBytes}}) {
    failure = t.file.set_length(uint64_t{needed} * t.record_bytes);
    if (!failure.ok()) break;
  }
  adopt_capacity(index, std::min(index.capacity, index.capacity_from_files()));
  return failure;
}

}  // namespace

Status Store::persist() {
  TARNIX_RETURN_IF_ERROR(usable());
  // The writer role is held throughout: the snapshot is written outside the gate, and no
  // other store may log a change that it would miss before the log is emptied.
  WriterTurn turn(*gate_);
  TARNIX_RETURN_IF_ERROR(turn.status());
  {
    GateWriter inside(*gate_);
    TARNIX_RETURN_IF_ERROR(catch_up_as_writer());
    Status trimmed = sweep_and_trim();
    note_own_writes();
    TARNIX_RETURN_IF_ERROR(trimmed);
  }
  Status s = checkpoint(/*inside_gate=*/false);
  note_own_writes();
  return s;
}

Status Store::sweep_and_trim() {
  std::unique_lock<std::shared_mutex> core_lock(core_->mu);
  CoreIndex& index = *core_->index;
  {
    // Sweeping logs deletions; the log lock comes after the index's, as in every writer.
    std::unique_lock<std::shared_mutex> wal_lock(*wal_mu_);
    TARNIX_RETURN_IF_ERROR(sweep_expired(index));
  }
  index.ext_to_int.rehash(0);
  index.num_index.rehash(0);

  if (index.dim > 0 && index.capacity > 0) {
    std::optional<uint32_t> highest = index.valid_ids.maximum();
    uint32_t needed = std::max<uint32_t>(highest ? *highest + 1 : 0, 1);
    // Shrinking a file under another process's mapping would kill that process with
    // SIGBUS, so the trim waits for a persist made while no one else has the directory
    // open. Being alone also keeps anyone from mapping the files until it is done.
    if (worth_trimming(index.capacity, needed) && gate_->try_alone()) {
      // The cut takes the rows of items whose deletion may so far be only in the log's
      // unsynced tail. Were that tail lost in a power loss, the old snapshot would name
      // them again: the open drops them as lying past the files, but a replay that grows
      // the files puts other items in their slots, which the next open takes for theirs.
      Status trimmed;
      {
        std::unique_lock<std::shared_mutex> wal_lock(*wal_mu_);
        if (wal_->has_unsynced_records()) trimmed = wal_->sync().as_plain_os_error();
      }
      if (trimmed.ok()) trimmed = trim_tail(index, needed);
      gate_->share_presence();
      TARNIX_RETURN_IF_ERROR(trimmed);
    }
  }
  return Status();
}

Status Store::checkpoint(bool inside_gate) {
  const std::string snapshot_path = join_path(path_, kSnapshotFile);
  const std::string temp_path = join_path(path_, kSnapshotTempFile);
  {
    // The snapshot will point into the data files, so they reach the disk first.
    std::unique_lock<std::shared_mutex> core_lock(core_->mu);
    TARNIX_RETURN_IF_ERROR(core_->index->files.sync_all());
  }
  {
    // Searches keep running while the snapshot is written.
    std::shared_lock<std::shared_mutex> core_lock(core_->mu);
    TARNIX_RETURN_IF_ERROR(write_snapshot_file(*fs_, temp_path, *core_->index));
  }
  {
    // Another process opening the store reads the snapshot and then the log, inside the
    // gate; the new snapshot and the emptied log must reach it together, or it would take
    // the old snapshot with the empty log and miss every record in between. The log lock
    // comes first, as in remove().
    std::unique_lock<std::shared_mutex> wal_lock(*wal_mu_);
    std::optional<GateWriter> inside;
    if (!inside_gate) inside.emplace(*gate_);
    TARNIX_RETURN_IF_ERROR(fs_->rename(temp_path, snapshot_path));
    TARNIX_RETURN_IF_ERROR(sync_parent_dir(*fs_, snapshot_path));
    TARNIX_RETURN_IF_ERROR(wal_->truncate_and_sync(0));
  }
  uint64_t now;
  TARNIX_ASSIGN_OR_RETURN(now, unix_millis(*clock_));
  last_wal_sync_ms_ = now;
  return Status();
}

}  // namespace tarnix
