#include "vacuum/in_place.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "storage/format.h"
#include "storage/snapshot.h"
#include "vacuum/stop_hook.h"
#include "vacuum/vacuum_files.h"

namespace tarnix {
namespace {

std::string staging_path(const std::string& dir, const char* name) {
  return join_path(dir, std::string(name) + kIpvacSuffix);
}

Status stop_hook_if(bool enabled, const char* stage) {
  return enabled ? maybe_fail_test_in_place_vacuum(stage) : Status();
}

Status record_stage(const CoreIndex& index, VacuumJournal& journal, VacuumStage stage) {
  journal.stage = stage;
  return write_vacuum_journal(index.fs(), index.dir(), journal);
}

// Writes each surviving slot's record (a 32-bit length, then the bytes) into `blob`, in new
// slot order, through an 8 KiB buffer, noting its offset; syncs `blob`.
Status write_blob_copy(FileSystem& fs, const std::string& path,
                       const std::vector<std::string>& records, std::vector<uint64_t>& offsets) {
  File file;
  TARNIX_ASSIGN_OR_RETURN(file, File::open(fs, path, O_WRONLY | O_CREAT | O_TRUNC));
  BufferedFileWriter writer(file, kReadBuffer);
  Encoder e(writer);
  uint64_t position = 0;
  for (size_t slot = 0; slot < records.size(); ++slot) {
    const std::string& r = records[slot];
    offsets[slot] = position;
    e.u32(static_cast<uint32_t>(r.size()));
    writer.append(r.data(), r.size());
    position += 4 + r.size();
  }
  TARNIX_RETURN_IF_ERROR(writer.flush());
  return file.sync();
}

Status write_offsets_copy(FileSystem& fs, const std::string& path,
                          const std::vector<uint64_t>& offsets) {
  File file;
  TARNIX_ASSIGN_OR_RETURN(file, File::open(fs, path, O_WRONLY | O_CREAT | O_TRUNC));
  BufferedFileWriter writer(file, kReadBuffer);
  Encoder e(writer);
  for (uint64_t offset : offsets) e.u64(offset);
  TARNIX_RETURN_IF_ERROR(writer.flush());
  return file.sync();
}

// The surviving slots' ids and metadata texts, indexed by new slot (every slot below the
// desired capacity gets one). A blob file that cannot be mapped is an error: its records
// would otherwise be copied as missing.
Status collect_records(const CoreIndex& index, const SlotMap& move_map, uint32_t desired,
                       std::vector<std::string>* ids, std::vector<std::string>* metas) {
  ids->assign(desired, std::string());
  metas->assign(desired, std::string("{}"));
  Status inner;
  Status outer = index.files.ids.with_checked_view([&](const BlobView& id_view) {
    inner = index.files.metadata.with_checked_view([&](const BlobView& meta_view) {
      index.valid_ids.for_each([&](uint32_t u) {
        if (u >= move_map.size() || move_map[u] >= desired) return;
        (*ids)[move_map[u]] = index.get_external_id_from_mmap(u, id_view);
        (*metas)[move_map[u]] = index.get_metadata_from_mmap(u, meta_view);
      });
    });
  });
  TARNIX_RETURN_IF_ERROR(outer);
  return inner;
}

}  // namespace

std::vector<SlotMove> build_in_place_vacuum_plan(const CoreIndex& index) {
  const uint32_t live = static_cast<uint32_t>(index.valid_ids.cardinality());
  // Not "the deleted slots below L": a slot that is neither live nor deleted (never used,
  // against the slot invariant) would leave a mover without a hole, and its item behind.
  std::vector<uint32_t> holes = (Bitmap::range(0, live) - index.valid_ids).to_vector();
  std::vector<uint32_t> movers;
  index.valid_ids.for_each([&](uint32_t s) {
    if (s >= live) movers.push_back(s);
  });
  std::reverse(movers.begin(), movers.end());
  std::vector<SlotMove> moves;
  for (size_t i = 0; i < std::min(holes.size(), movers.size()); ++i) {
    moves.emplace_back(movers[i], holes[i]);
  }
  return moves;
}

SlotMap build_move_map_for_plan(const CoreIndex& index, uint32_t desired,
                                const std::vector<SlotMove>& moves, uint32_t target) {
  SlotMap map(std::max(desired, target), kEmptyEntry);
  index.valid_ids.for_each([&](uint32_t u) {
    if (u >= desired) return false;
    map[u] = u;
    return true;
  });
  for (const auto& [from, to] : moves) {
    if (from < map.size()) map[from] = to;
  }
  return map;
}

Status apply_in_place_slot_compaction(CoreIndex& index, VacuumJournal& journal,
                                      const SlotMap& move_map) {
  const uint64_t dim = index.dim;
  uint8_t* vectors = index.files.vectors.data();
  const uint64_t vectors_length = index.files.vectors.length();
  index.code_norms.clear();
  for (const auto& [from, to] : journal.moves) {
    if (from == to || dim == 0) continue;
    uint64_t source = from * dim;
    uint64_t target = to * dim;
    if (source + dim > vectors_length || target + dim > vectors_length) {
      return Status::invalid_data("slot copy would exceed buffer bounds");
    }
    std::memcpy(vectors + target, vectors + source, dim);
  }
  // Slots below the live count are renumbered in place before any mover's row lands in a
  // hole, and holes are never live, so no row is overwritten before it has been read.
  const uint64_t rows = index.files.graph.length() / kRowBytes;
  auto row = [&](uint32_t slot) {
    return reinterpret_cast<uint32_t*>(index.files.graph.data() + uint64_t{slot} * kRowBytes);
  };
  Status bounds;
  index.valid_ids.for_each([&](uint32_t u) {
    if (u >= move_map.size() || move_map[u] == kEmptyEntry) return true;
    const uint32_t v = move_map[u];
    if (u >= rows || v >= rows) {
      bounds = Status::invalid_data("graph row rewrite would exceed graph buffer bounds");
      return false;
    }
    renumber_row(row(u), row(v), move_map, journal.desired_capacity);
    return true;
  });
  TARNIX_RETURN_IF_ERROR(bounds);
  TARNIX_RETURN_IF_ERROR(index.files.vectors.flush());
  TARNIX_RETURN_IF_ERROR(index.files.graph.flush());
  TARNIX_RETURN_IF_ERROR(record_stage(index, journal, VacuumStage::kSlotsCompacted));
  return shorten_slot_files(index, journal.desired_capacity);
}

Status shorten_slot_files(CoreIndex& index, uint32_t rows) {
  for (auto [file, record_bytes] : {std::pair{&index.files.vectors, index.dim},
                                    std::pair{&index.files.graph, uint64_t{kRowBytes}}}) {
    const uint64_t length = uint64_t{rows} * record_bytes;
    if (file->length() > length) TARNIX_RETURN_IF_ERROR(file->set_length(length));
  }
  index.capacity = rows;
  index.incoming_edges.reset();
  return Status();
}

Status finalize_in_place_blob_compaction(CoreIndex& index, VacuumJournal& journal,
                                         const SlotMap& move_map) {
  FileSystem& fs = index.fs();
  const std::string& dir = index.dir();
  const uint32_t desired = journal.desired_capacity;
  std::vector<std::string> ids, metas;
  TARNIX_RETURN_IF_ERROR(collect_records(index, move_map, desired, &ids, &metas));
  std::vector<uint64_t> id_offsets(desired, 0), meta_offsets(desired, 0);
  TARNIX_RETURN_IF_ERROR(write_blob_copy(fs, staging_path(dir, kIdsFile), ids, id_offsets));
  TARNIX_RETURN_IF_ERROR(
      write_blob_copy(fs, staging_path(dir, kMetadataFile), metas, meta_offsets));
  TARNIX_RETURN_IF_ERROR(write_offsets_copy(fs, staging_path(dir, kIdOffsetsFile), id_offsets));
  TARNIX_RETURN_IF_ERROR(write_offsets_copy(fs, staging_path(dir, kMetaOffsetsFile), meta_offsets));
  TARNIX_RETURN_IF_ERROR(sync_parent_dir(fs, staging_path(dir, kIdsFile)));
  TARNIX_RETURN_IF_ERROR(maybe_fail_test_in_place_vacuum("blob_temp_files_built"));

  TARNIX_RETURN_IF_ERROR(write_marker(fs, join_path(dir, kInPlaceIntentFile), kInPlaceIntentText));
  TARNIX_RETURN_IF_ERROR(maybe_fail_test_in_place_vacuum("blob_intent_written"));

  // Nothing may refer to a live blob file while it is replaced.
  const std::string dummy = join_path(dir, kBlobDummyFile);
  TARNIX_RETURN_IF_ERROR(create_empty_file(fs, dummy));
  index.files.id_offsets = SlotFile();
  index.files.meta_offsets = SlotFile();
  index.files.ids = BlobFile();
  index.files.metadata = BlobFile();
  for (const char* name : kBlobPhaseFiles) {
    TARNIX_RETURN_IF_ERROR(
        rename_with_retries(fs, index.clock(), staging_path(dir, name), join_path(dir, name)));
  }
  TARNIX_RETURN_IF_ERROR(sync_parent_dir(fs, join_path(dir, kMetadataFile)));
  TARNIX_ASSIGN_OR_RETURN(index.files.id_offsets,
                          SlotFile::open(fs, join_path(dir, kIdOffsetsFile), 0, false));
  TARNIX_ASSIGN_OR_RETURN(index.files.meta_offsets,
                          SlotFile::open(fs, join_path(dir, kMetaOffsetsFile), 0, false));
  TARNIX_ASSIGN_OR_RETURN(index.files.ids,
                          BlobFile::open(fs, join_path(dir, kIdsFile), false));
  TARNIX_ASSIGN_OR_RETURN(index.files.metadata,
                          BlobFile::open(fs, join_path(dir, kMetadataFile), false));
  Status ignored = remove_if_exists(fs, dummy);
  (void)ignored;
  TARNIX_RETURN_IF_ERROR(maybe_fail_test_in_place_vacuum("blob_files_replaced"));

  TARNIX_RETURN_IF_ERROR(record_stage(index, journal, VacuumStage::kCommitted));
  TARNIX_RETURN_IF_ERROR(maybe_fail_test_in_place_vacuum("commit_ready"));
  TARNIX_RETURN_IF_ERROR(clear_in_place_blob_intent(fs, dir));
  return maybe_fail_test_in_place_vacuum("intent_cleared");
}

void rebuild_state_from_move_map(CoreIndex& index, uint32_t desired, const SlotMap& move_map) {
  apply_snapshot(index, renumber_saved_fields(index, move_map));
  index.capacity = desired;
  index.rebuild_runtime_state();
}

Status write_snapshot_and_reset_wal(CoreIndex& index, bool stop_hooks) {
  FileSystem& fs = index.fs();
  const std::string snapshot = join_path(index.dir(), kSnapshotFile);
  const std::string temp = join_path(index.dir(), kSnapshotTempFile);
  TARNIX_RETURN_IF_ERROR(write_snapshot_file(fs, temp, index));
  TARNIX_RETURN_IF_ERROR(stop_hook_if(stop_hooks, "snapshot_temp_written"));
  TARNIX_RETURN_IF_ERROR(fs.rename(temp, snapshot));
  TARNIX_RETURN_IF_ERROR(sync_parent_dir(fs, snapshot));
  TARNIX_RETURN_IF_ERROR(stop_hook_if(stop_hooks, "snapshot_replaced"));
  const std::string wal = join_path(index.dir(), kWalFile);
  {
    File file;
    TARNIX_ASSIGN_OR_RETURN(file, File::open(fs, wal, O_WRONLY | O_CREAT));
    TARNIX_RETURN_IF_ERROR(file.truncate(0));
    TARNIX_RETURN_IF_ERROR(file.sync());
  }
  TARNIX_RETURN_IF_ERROR(sync_parent_dir(fs, wal));
  return stop_hook_if(stop_hooks, "wal_reset");
}

Status vacuum_in_place(CoreIndex& index, bool* must_reopen) {
  *must_reopen = false;
  TARNIX_RETURN_IF_ERROR(index.files.sync_all());
  TARNIX_RETURN_IF_ERROR(write_snapshot_and_reset_wal(index, false));

  const uint32_t live = static_cast<uint32_t>(index.valid_ids.cardinality());
  VacuumJournal journal;
  journal.mode = VacuumMode::kInPlace;
  TARNIX_ASSIGN_OR_RETURN(journal.created_at_ms, unix_millis(index.clock()));
  journal.original_capacity = index.capacity;
  journal.live_count = journal.desired_capacity = live;
  journal.moves = build_in_place_vacuum_plan(index);
  // From the moment the journal may exist, the next open finishes this run from its plan.
  *must_reopen = true;
  if (Status s = record_stage(index, journal, VacuumStage::kPrepare); !s.ok()) {
    *must_reopen = may_exist(index.fs(), join_path(index.dir(), kVacuumJournalFile));
    return s;
  }
  TARNIX_RETURN_IF_ERROR(maybe_fail_test_in_place_vacuum("prepare"));

  SlotMap move_map = build_move_map_for_plan(index, live, journal.moves, index.capacity);
  TARNIX_RETURN_IF_ERROR(apply_in_place_slot_compaction(index, journal, move_map));
  TARNIX_RETURN_IF_ERROR(maybe_fail_test_in_place_vacuum("slots_compacted"));
  TARNIX_RETURN_IF_ERROR(finalize_in_place_blob_compaction(index, journal, move_map));
  rebuild_state_from_move_map(index, live, move_map);
  TARNIX_RETURN_IF_ERROR(write_snapshot_and_reset_wal(index, true));
  TARNIX_RETURN_IF_ERROR(clear_vacuum_journal(index.fs(), index.dir()));
  *must_reopen = false;
  return Status();
}

}  // namespace tarnix
