#include "vacuum/rewrite.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "storage/format.h"
#include "storage/mapped_file.h"
#include "storage/snapshot.h"
#include "util/env.h"
#include "vacuum/renumber.h"
#include "vacuum/vacuum_files.h"

namespace tarnix {
namespace {

constexpr size_t kCopyBuffer = 1 << 20;

// The fresh files, in the order of kRewriteFiles.
enum Fresh { kVectors, kGraph, kIdOffsets, kIds, kMetaOffsets, kMetadata, kSnapshot, kWal };
constexpr size_t kFreshCount = std::size(kRewriteFiles);
// The order in which the fresh files reach the disk: the snapshot and the log first.
constexpr Fresh kSyncOrder[] = {kSnapshot,  kWal, kVectors,  kGraph,
                                kIdOffsets, kIds, kMetadata, kMetaOffsets};

std::string fresh_path(const std::string& dir, const char* name) {
  return join_path(dir, std::string(name) + kVacSuffix);
}

// Appends one blob record (a 32-bit length, then the bytes) and its offset entry.
void append_record(BufferedFileWriter& blob, BufferedFileWriter& offsets, uint64_t* position,
                   const std::string& bytes) {
  Encoder(offsets).u64(*position);
  Encoder(blob).u32(static_cast<uint32_t>(bytes.size()));
  blob.append(bytes.data(), bytes.size());
  *position += 4 + bytes.size();
}

struct CopiedRecords {
  SlotMap remap;
  uint32_t count = 0;
};

// Copies every live slot's vector, id and metadata records, in slot order, numbering the
// slots 0, 1, ... as they come. A blob file that cannot be mapped is an error: reading its
// records as missing would copy "{}" in place of real metadata.
Result<CopiedRecords> copy_live_records(const CoreIndex& index,
                                        std::array<File, kFreshCount>& out) {
  CopiedRecords copied;
  copied.remap.assign(index.capacity, kEmptyEntry);
  BufferedFileWriter vectors(out[kVectors], kCopyBuffer);
  BufferedFileWriter id_offsets(out[kIdOffsets], kCopyBuffer);
  BufferedFileWriter ids(out[kIds], kCopyBuffer);
  BufferedFileWriter meta_offsets(out[kMetaOffsets], kCopyBuffer);
  BufferedFileWriter metadata(out[kMetadata], kCopyBuffer);
  uint64_t id_pos = 0;
  uint64_t meta_pos = 0;
  Status damaged;
  Status inner;
  Status outer = index.files.ids.with_checked_view([&](const BlobView& id_view) {
    inner = index.files.metadata.with_checked_view([&](const BlobView& meta_view) {
      index.valid_ids.for_each([&](uint32_t slot) {
        const uint8_t* code = slot < index.capacity ? index.vector_at(slot) : nullptr;
        if (!code) {
          damaged = Status::invalid_data("live slot " + std::to_string(slot) +
                                         " lies beyond vectors.bin");
          return false;
        }
        copied.remap[slot] = copied.count++;
        vectors.append(code, index.dim);
        append_record(ids, id_offsets, &id_pos, index.get_external_id_from_mmap(slot, id_view));
        append_record(metadata, meta_offsets, &meta_pos,
                      index.get_metadata_from_mmap(slot, meta_view));
        return true;
      });
    });
  });
  TARNIX_RETURN_IF_ERROR(outer);
  TARNIX_RETURN_IF_ERROR(inner);
  TARNIX_RETURN_IF_ERROR(damaged);
  for (BufferedFileWriter* w : {&vectors, &id_offsets, &ids, &meta_offsets, &metadata}) {
    TARNIX_RETURN_IF_ERROR(w->flush());
  }
  return copied;
}

// A row whose every neighbour was dropped would be unreachable. Each is linked as an insert
// would link it, by a construction search from the entry point, rather than tied to the
// entry point alone: after a large deletion there are hundreds of such rows, and tying each
// to the entry both ways would evict every real edge from the entry's row, leaving searches
// that start there nothing but those rows. An entry point without edges of its own reaches
// nothing, so then the search starts from the first row that has edges.
void link_edgeless_rows(const uint8_t* vectors, uint8_t* graph, uint32_t n, size_t dim,
                        uint32_t entry) {
  auto has_edge = [&](uint32_t slot) {
    const uint32_t* r = reinterpret_cast<const uint32_t*>(graph + uint64_t{slot} * kRowBytes);
    return std::any_of(r, r + kRowNeighbors, [n](uint32_t e) { return e < n; });
  };
  uint32_t start = entry;
  for (uint32_t s = 0; s < n && !has_edge(start); ++s) {
    if (has_edge(s)) start = s;
  }
  for (uint32_t s = 0; s < n; ++s) {
    if (s != start && !has_edge(s)) CoreIndex::link_slot_static(vectors, graph, n, dim, start, s);
  }
}

// Writes the fresh graph: every live row carried over through the renumbering (edges to
// dropped slots become empty entries in place) with rows left without any edge linked in
// again, or, when TARNIX_VACUUM_REBUILD_GRAPH is set, every row linked afresh from the
// codes. Returns the entry point of the fresh graph.
Result<std::optional<uint32_t>> write_fresh_graph(const CoreIndex& index,
                                                  std::array<File, kFreshCount>& out,
                                                  const CopiedRecords& copied,
                                                  std::optional<uint32_t> entry) {
  FileSystem& fs = index.fs();
  const uint32_t n = copied.count;
  TARNIX_RETURN_IF_ERROR(out[kGraph].truncate(uint64_t{n} * kRowBytes));
  // The rows are written through the mapping, where a full disk would be SIGBUS instead of
  // an error: the blocks are had first.
  TARNIX_RETURN_IF_ERROR(out[kGraph].allocate(0, uint64_t{n} * kRowBytes));
  Mapping vectors, graph;
  TARNIX_ASSIGN_OR_RETURN(vectors,
                          Mapping::map(fs, out[kVectors].fd(), n * index.dim, false, true));
  TARNIX_ASSIGN_OR_RETURN(graph, Mapping::map(fs, out[kGraph].fd(), n * kRowBytes, true, true));
  if (n == 0) return std::optional<uint32_t>();
  std::memset(graph.data(), 0xFF, graph.size());
  auto row = [&](uint32_t slot) {
    return reinterpret_cast<uint32_t*>(graph.data() + uint64_t{slot} * kRowBytes);
  };
  if (env_flag_true("TARNIX_VACUUM_REBUILD_GRAPH")) {
    entry = CoreIndex::rebuild_graph_links(vectors.data(), graph.data(), n, index.dim);
  } else {
    index.valid_ids.for_each([&](uint32_t slot) {
      const uint32_t* old_row = slot < index.capacity ? index.row_at(slot) : nullptr;
      if (old_row && copied.remap[slot] != kEmptyEntry) {
        renumber_row(old_row, row(copied.remap[slot]), copied.remap, n);
      }
    });
    link_edgeless_rows(vectors.data(), graph.data(), n, index.dim, *entry);
  }
  TARNIX_RETURN_IF_ERROR(graph.flush());
  return entry;
}

Status write_journal_stage(FileSystem& fs, const std::string& dir, VacuumJournal& journal,
                           VacuumStage stage) {
  journal.stage = stage;
  return write_vacuum_journal(fs, dir, journal);
}

// Everything before the commit marker: the fresh files, complete and synced, and the state
// they describe. Changes nothing the store uses.
struct Prepared {
  SnapshotData fresh;
  uint32_t count = 0;
};

Result<Prepared> prepare_fresh_files(const CoreIndex& index) {
  FileSystem& fs = index.fs();
  const std::string& dir = index.dir();
  std::array<File, kFreshCount> out;
  for (size_t i = 0; i < kFreshCount; ++i) {
    TARNIX_ASSIGN_OR_RETURN(
        out[i], File::open(fs, fresh_path(dir, kRewriteFiles[i]), O_RDWR | O_CREAT | O_TRUNC));
  }
  CopiedRecords copied;
  TARNIX_ASSIGN_OR_RETURN(copied, copy_live_records(index, out));
  Prepared prepared;
  prepared.count = copied.count;
  prepared.fresh = renumber_saved_fields(index, copied.remap);
  TARNIX_ASSIGN_OR_RETURN(prepared.fresh.enter_point,
                          write_fresh_graph(index, out, copied, prepared.fresh.enter_point));
  {
    BufferedFileWriter snapshot(out[kSnapshot], kSnapshotWriteBuffer);
    Encoder e(snapshot);
    encode_snapshot(e, prepared.fresh);
    TARNIX_RETURN_IF_ERROR(snapshot.flush());
  }
  for (Fresh f : kSyncOrder) {
    TARNIX_RETURN_IF_ERROR(out[f].sync());
    out[f].close();
  }
  return prepared;
}

}  // namespace

Status vacuum_rewrite(CoreIndex& index, bool* must_reopen) {
  *must_reopen = false;
  if (index.dim == 0) return Status();
  FileSystem& fs = index.fs();
  const std::string& dir = index.dir();
  // A marker whose removal failed at the end of an earlier vacuum would make an open take
  // this run's unfinished copies for committed ones.
  const std::string intent = join_path(dir, kVacuumIntentFile);
  bool stale_intent;
  TARNIX_ASSIGN_OR_RETURN(stale_intent, fs.exists(intent));
  if (stale_intent) {
    TARNIX_RETURN_IF_ERROR(fs.unlink(intent));
    TARNIX_RETURN_IF_ERROR(sync_parent_dir(fs, intent));
  }

  VacuumJournal journal;
  journal.mode = VacuumMode::kRewrite;
  TARNIX_ASSIGN_OR_RETURN(journal.created_at_ms, unix_millis(index.clock()));
  journal.original_capacity = index.capacity;
  journal.live_count = journal.desired_capacity =
      static_cast<uint32_t>(index.valid_ids.cardinality());
  TARNIX_RETURN_IF_ERROR(write_journal_stage(fs, dir, journal, VacuumStage::kPrepare));

  Prepared prepared;
  TARNIX_ASSIGN_OR_RETURN(prepared, prepare_fresh_files(index));

  // From the moment the marker may exist, the next open completes this vacuum: whatever this
  // index did to the live files afterwards would be replaced.
  *must_reopen = true;
  if (Status s = write_marker(fs, intent, kVacuumIntentText); !s.ok()) {
    *must_reopen = may_exist(fs, intent);
    return s;
  }
  TARNIX_RETURN_IF_ERROR(write_journal_stage(fs, dir, journal, VacuumStage::kCommitted));

  // Nothing may refer to a live file while it is replaced.
  const std::string dummy = join_path(dir, kVacuumDummyFile);
  TARNIX_RETURN_IF_ERROR(create_empty_file(fs, dummy));
  index.files = DataFiles();
  for (const char* name : kRewriteFiles) {
    TARNIX_RETURN_IF_ERROR(
        rename_with_retries(fs, index.clock(), fresh_path(dir, name), join_path(dir, name)));
  }
  TARNIX_RETURN_IF_ERROR(sync_parent_dir(fs, join_path(dir, kVectorsFile)));
  // The renames are durable, so a marker left behind only makes an open rename nothing.
  Status ignored = remove_if_exists(fs, intent);
  TARNIX_RETURN_IF_ERROR(sync_parent_dir(fs, intent));
  ignored = clear_vacuum_journal(fs, dir);

  TARNIX_ASSIGN_OR_RETURN(index.files, DataFiles::open_existing(fs, dir));
  apply_snapshot(index, std::move(prepared.fresh));
  index.capacity = prepared.count;
  index.rebuild_runtime_state();
  ignored = remove_if_exists(fs, dummy);
  (void)ignored;
  *must_reopen = false;
  return Status();
}

Status complete_rewrite_vacuum(FileSystem& fs, const std::string& dir,
                               const std::optional<VacuumJournal>& journal) {
  const std::string intent = join_path(dir, kVacuumIntentFile);
  bool committed;
  TARNIX_ASSIGN_OR_RETURN(committed, fs.exists(intent));
  if (committed) {
    for (const char* name : kRewriteFiles) {
      const std::string fresh = fresh_path(dir, name);
      bool present;
      TARNIX_ASSIGN_OR_RETURN(present, fs.exists(fresh));
      // A missing copy was renamed before the interruption.
      if (present) TARNIX_RETURN_IF_ERROR(fs.rename(fresh, join_path(dir, name)));
    }
    TARNIX_RETURN_IF_ERROR(sync_parent_dir(fs, intent));
    TARNIX_RETURN_IF_ERROR(fs.unlink(intent));
    TARNIX_RETURN_IF_ERROR(sync_parent_dir(fs, intent));
    Status ignored = clear_vacuum_journal(fs, dir);
    (void)ignored;
  } else if (journal && journal->mode == VacuumMode::kRewrite) {
    // It never committed: the live files are untouched and stay in use.
    Status ignored = clear_vacuum_journal(fs, dir);
    (void)ignored;
  }
  return Status();
}

Status remove_rewrite_leftovers(FileSystem& fs, const std::string& dir) {
  for (const char* name : kRewriteFiles) {
    TARNIX_RETURN_IF_ERROR(remove_if_exists(fs, fresh_path(dir, name)));
  }
  return remove_if_exists(fs, join_path(dir, kVacuumDummyFile));
}

}  // namespace tarnix
