// CoreIndex: the whole in-memory state of one store.
//
// Slots (32-bit internal ids) index four fixed-stride, memory-mapped files: the quantized
// vector, the graph row of 12 neighbours, and the offsets of the slot's external id and
// metadata records. The id map, the live and deleted sets, the secondary indexes and the
// expiry index are saved in the snapshot; the rest is rebuilt at open.
//
// Thread safety: the store's `core` lock guards the whole object. Every mutation holds it
// exclusively; reads (searches, filters, listings) hold it shared and may run in parallel.
// The blob files' read mappings are caches guarded by their own mutexes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <queue>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/code_norms.h"
#include "index/search.h"
#include "index/search_context.h"
#include "meta/filter.h"
#include "meta/secondary_index.h"
#include "storage/data_files.h"
#include "storage/format.h"
#include "storage/fs.h"
#include "util/bitmap.h"
#include "util/json.h"
#include "util/status.h"

namespace tarnix {

using ExtToInt = std::unordered_map<uint64_t, uint32_t>;
// Expiry second -> slots that expire then, in the order they were added.
using ExpirationIndex = std::map<uint32_t, std::vector<uint32_t>>;
// Deleted slots offered for reuse, smallest first; may hold stale entries.
using FreeSlots = std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<uint32_t>>;

class CoreIndex {
 public:
  struct Options {
    std::shared_ptr<FileSystem> fs = posix_file_system();
    std::shared_ptr<Clock> clock = system_clock();
  };

  // Opens (creating) the data files of `dir` and builds an empty index over them: capacity
  // 200,000, dimension 0, no entry point.
  static Result<std::unique_ptr<CoreIndex>> open(const std::string& dir, Options options);
  // The same over the files as they are, creating and extending nothing: for a store that
  // reloads what another store has written.
  static Result<std::unique_ptr<CoreIndex>> open_existing(const std::string& dir,
                                                          Options options);

  CoreIndex(const CoreIndex&) = delete;
  CoreIndex& operator=(const CoreIndex&) = delete;

  // ---- Saved in the snapshot, in the snapshot's order. ----
  uint64_t dim = 0;
  std::optional<uint32_t> enter_point;
  StrIndex str_index;
  NumIndex num_index;
  Bitmap valid_ids;
  Bitmap deleted;
  ExtToInt ext_to_int;
  ExpirationIndex expiration_index;

  // ---- Rebuilt at open. ----
  uint32_t capacity = kDefaultCapacity;
  uint32_t next_slot = 0;
  FreeSlots free_slots;
  // Per slot, the slots whose rows contain it; absent until first needed.
  std::optional<std::vector<std::vector<uint32_t>>> incoming_edges;
  uint32_t last_expiration_check = 0;
  // Slots deleted since the store last knew its log to be durable. Reusing one overwrites
  // its rows in place, and the kernel may write those pages back before the log: the store
  // syncs the log first, or a power loss would bring the deleted item back over them.
  Bitmap recently_freed;
  // Per slot, the code's own term of a distance, for the exact scan (code_norms.h).
  CodeNorms code_norms;

  DataFiles files;

  FileSystem& fs() const { return *fs_; }
  Options options() const { return Options{fs_, clock_}; }
  const Clock& clock() const { return *clock_; }
  const std::string& dir() const { return dir_; }

  // ---- Slots and capacity (slots.cpp). ----

  // Makes sure slot `required - 1` fits: grows the four slot files unless required is below
  // capacity. On failure capacity and the mappings still agree with the files.
  Status ensure_capacity(uint64_t required);
  // Fixes the dimension with the first vector: sizes vectors.bin to capacity * dim and maps
  // it. On failure the dimension is 0 again.
  Status set_dimension(uint64_t new_dim);
  // The smallest of the four slot files' mapped lengths divided by their record sizes.
  uint32_t capacity_from_files() const;
  // Recomputes next_slot and free_slots from the two bitmaps and each numeric index's code
  // array from its slices, and drops incoming_edges and the code norms.
  void rebuild_runtime_state();
  // After a load and replay: fits the index to the files. Slots beyond the capacity the
  // files give leave every set and index; id-map entries, expiry entries and index bitmaps
  // that name no live slot are dropped; an index without a dimension is made empty.
  // Returns how many live or deleted slots were cut off, which the snapshot still names.
  uint64_t reconcile_with_files();

  // Log replay runs over the snapshot while the data files may already hold later writes:
  // a slot live in the snapshot may have been reused since, so deleting its snapshot item
  // reads the newer item's metadata and misses the snapshot item's string values. Between
  // these two calls such slots are tracked, and their string entries are rebuilt at the end.
  // `track_all`: the files may hold later writes in any slot, not only in those live in the
  // snapshot (a store following another store's log).
  void begin_replay(bool track_all = false);
  void finish_replay();
  // Reserves disk blocks for the slot's records in all four files.
  Status reserve_slot(uint32_t slot);

  // The slot's code bytes or graph row, or null when they lie beyond the mapping. Inline:
  // searches and inserts ask for them once per node they pass.
  const uint8_t* vector_at(uint32_t slot) const {
    if (dim == 0 || (uint64_t{slot} + 1) * dim > files.vectors.length()) return nullptr;
    return files.vectors.data() + uint64_t{slot} * dim;
  }
  uint8_t* mutable_vector_at(uint32_t slot);
  const uint32_t* row_at(uint32_t slot) const {
    if ((uint64_t{slot} + 1) * kRowBytes > files.graph.length()) return nullptr;
    return reinterpret_cast<const uint32_t*>(files.graph.data() + uint64_t{slot} * kRowBytes);
  }
  uint32_t* mutable_row_at(uint32_t slot);

  // The live slot of an external id.
  std::optional<uint32_t> live_slot_of(std::string_view id) const;

  // Where the slot's record starts, as its entry in an offset file says; nothing when the
  // entry lies past the file's end.
  static std::optional<uint64_t> record_offset(const SlotFile& offsets, uint32_t slot);
  // The slot's entry in an offset file, or null past the file's end.
  static const uint8_t* offset_entry(const SlotFile& offsets, uint32_t slot);
  // Starts the reads of the id records (and, with `metadata`, the metadata records) of
  // these slots: each record sits behind its offset entry, so reading them one by one
  // queues two cache misses per record behind each other, where asking first lets them
  // overlap.
  void prefetch_records(std::span<const Candidate> found, const BlobView& ids,
                        const BlobView* metadata) const;
  // The slot's record in a blob file, when the record lies wholly in the file, is at most
  // max_length bytes long and is valid UTF-8.
  static std::optional<std::string> read_record(const SlotFile& offsets, uint32_t slot,
                                                const BlobView& blob, uint32_t max_length);

  // The external id text of a slot; "" when it cannot be read.
  std::string get_external_id(uint32_t slot) const;
  std::string get_external_id_from_mmap(uint32_t slot, const BlobView& ids) const;
  // Runs f(ids) with the id file's read mapping held.
  template <class F>
  auto with_ids_mmap(F&& f) const {
    return files.ids.with_view(std::forward<F>(f));
  }
  // Runs f(ids, metadata) with both read mappings held.
  template <class F>
  auto with_ids_and_metadata_mmap(F&& f) const {
    return files.ids.with_view([&](const BlobView& ids) {
      return files.metadata.with_view([&](const BlobView& meta) { return f(ids, meta); });
    });
  }

  // ---- Metadata records (meta/metadata.cpp). ----

  // The slot's metadata text, or "{}" when it cannot be read.
  std::string get_metadata(uint32_t slot) const;
  // The slot's metadata text, or nothing when the record cannot be read (damaged, or the
  // file cannot be mapped right now).
  std::optional<std::string> read_metadata(uint32_t slot) const;
  std::string get_metadata_from_mmap(uint32_t slot, const BlobView& metadata) const;
  template <class F>
  auto with_metadata_mmap(F&& f) const {
    return files.metadata.with_view(std::forward<F>(f));
  }

  // ---- Secondary indexes and filters. ----

  void index_metadata_value(std::string_view field, const Json& value, uint32_t slot) {
    tarnix::index_metadata_value(str_index, num_index, field, value, slot);
  }
  void deindex_metadata_value(std::string_view field, const Json& value, uint32_t slot) {
    tarnix::deindex_metadata_value(str_index, num_index, field, value, slot);
  }
  FilterContext filter_context() const {
    return FilterContext{str_index, num_index, valid_ids, ext_to_int};
  }
  Bitmap evaluate_filter(const Json& filter) const {
    return tarnix::evaluate_filter(filter_context(), filter);
  }

  // ---- Insertion (insert.cpp). ----

  // Places one item: replaces an item with the same id, chooses a slot, appends the id and
  // metadata records, writes the code bytes, indexes the metadata (except "id", "_id" and
  // the skipped fields), records the expiry and links the slot to its nearest neighbours.
  // A vector of the wrong length (or an empty first vector) is dropped without any change.
  // Every fallible step (growth, block reservation, appends) runs before the first change
  // to the index, so an I/O error leaves the index as it was.
  Status insert_in_mem(std::string_view id, std::span<const float> vector, const Json& metadata,
                       std::span<const std::string> skip_index, std::optional<uint32_t> ttl);
  // Whether inserting the items `ids` (after an expiry sweep, when `sweeping`) may write
  // into a slot of recently_freed or into the slot of an item it replaces.
  bool may_overwrite_freed_slot(std::span<const std::string_view> ids, bool sweeping) const;
  // Adds the edge a -> b to row a (evicting a pseudo-random entry of a full row), keeping
  // incoming_edges in step.
  void add_neighbor(uint32_t a, uint32_t b);
  // The same on a bare graph buffer, without checks or incoming-edge bookkeeping.
  static void add_neighbor_static(uint8_t* graph, uint32_t a, uint32_t b);
  // Links `slot`, whose row is empty, into a bare graph of `count` rows as an insert would:
  // a construction search from `entry`, then edges both ways to the nearest it found.
  static void link_slot_static(const uint8_t* vectors, uint8_t* graph, uint32_t count,
                               size_t dim, uint32_t entry, uint32_t slot);
  // Links slots 0..count-1 of freshly written, empty rows from their codes, in slot order.
  // Returns the entry point (slot 0), or nothing when count is 0.
  static std::optional<uint32_t> rebuild_graph_links(const uint8_t* vectors, uint8_t* graph,
                                                     uint32_t count, size_t dim);

  // ---- Deletion (delete.cpp). ----

  void delete_in_mem(std::string_view id);
  // Tombstones a live slot; returns false (changing nothing) when it was not live.
  bool delete_internal_id_with_options(uint32_t slot, bool drop_expiry);
  // The tombstone without the graph: the slot leaves the id map (found by `id_hash_known`
  // when the caller knows it), the live set, the secondary indexes and (with drop_expiry)
  // the expiry index, and is offered for reuse. Its row is not touched.
  bool untrack_slot(uint32_t slot, bool drop_expiry, std::optional<uint64_t> id_hash_known);
  // Empties the slot's row and, when incoming_edges exists, every edge that points at it.
  void detach_node_graph(uint32_t slot);
  void ensure_incoming_edges();

  // ---- Following another store's writes (follow.cpp). ----

  // Applies a logged change that another store made to the shared files: the in-memory state
  // takes it on, while the slot's rows, records and offsets are already in the files, so
  // nothing is written and nothing is linked. An insert is found in the slot the writer chose
  // (the one this index would choose, or else the newest free slot holding exactly the item).
  // `superseded`: a later record of the same log takes the same id again (the files then
  // show that record's outcome, not this one's). Returns whether the item is now live.
  Result<bool> follow_insert(std::string_view id, std::span<const float> vector,
                             const Json& metadata, std::span<const std::string> skip_index,
                             std::optional<uint32_t> ttl, bool superseded);
  void follow_delete(std::string_view id);
  // Catches the mappings, the append positions and the capacity up with files that another
  // store has grown.
  Status refresh_files();

  // ---- Expiry (meta/expiry.cpp). ----

  // Deletes every live item whose expiry second has come; at most once per second.
  Status check_expiration();
  // The same sweep for a given second, and the live slots it would delete (none when a
  // sweep already ran in that second).
  void check_expiration_at(uint32_t now);
  std::vector<uint32_t> due_for_sweep(uint32_t now) const;
  // The live slots whose expiry second has come.
  Result<Bitmap> get_lazy_expired_ids() const;
  // The expired live slots, or nothing when nothing can be expired yet (the cheap check).
  Result<std::optional<Bitmap>> expired_if_due() const;

  // ---- Search (search.cpp). ----

  // The k candidates nearest to the context's quantized query, ascending. Deleted, expired
  // and filtered-out slots are walked through but never returned. `ef` is the unfiltered
  // width; a filtered walk derives its own (search.h). `forced` overrides the plan's choice
  // (for benchmarks and tests that compare the two plans).
  std::vector<Candidate> search_core(uint32_t k, uint32_t ef, const Bitmap* filter,
                                     const Bitmap* expired, SearchContext& context,
                                     std::optional<SearchPlan> forced = std::nullopt) const;

  // ---- Checks. ----

  // The structural promises tests and fuzzers rely on: valid_ids and deleted disjoint, every
  // id-map slot live, graph entries empty or below capacity, the entry point live or unset,
  // index and expiry sets within valid_ids.
  Status check_invariants() const;

 private:
  CoreIndex(std::string dir, Options options);

  // Construction linking of a new slot (insert.cpp).
  void link_new_slot(uint32_t slot);
  // What an insert and a followed insert first settle (insert.cpp): whether the vector can
  // be stored at all (the first one sets the dimension), the live slot the item's id already
  // holds, and the item's expiry second for `ttl`.
  bool storable(std::span<const float> vector) const;
  std::optional<uint32_t> live_slot_of(uint64_t hash) const;
  Result<std::optional<uint32_t>> expiry_after(std::optional<uint32_t> ttl) const;
  // Slot allocation (insert.cpp): the slot the next insert would take, without taking it,
  // given that `freed` (the replaced item's slot) becomes free first.
  // `reuse` says whether deleted slots are offered (decided once per insert).
  bool reuse_enabled(bool a_slot_is_freed) const;
  uint32_t peek_slot(bool reuse, std::optional<uint32_t> freed);
  uint32_t take_slot(bool reuse);

  // Where the slot's id or metadata record goes: the record the slot already names when a
  // replay finds it there with exactly these bytes (the write it repeats reached the file),
  // so that every open of an unpersisted log does not append the whole log's records again;
  // otherwise a new record appended to `blob`.
  Result<uint64_t> store_record(BlobFile& blob, const SlotFile& offsets, uint32_t slot,
                                const std::optional<Mapping>& before, std::string_view bytes);

  struct ReplayRepair {
    bool track_all = false;
    // The blob files as the replay found them (kept apart from their own read mappings,
    // which each append drops).
    std::optional<Mapping> ids_before;
    std::optional<Mapping> metadata_before;
    Bitmap snapshot_live;
    // Snapshot slots deleted during the replay.
    Bitmap touched;
    // What was indexed for a touched slot since its last deletion.
    std::unordered_map<uint32_t, std::vector<std::pair<std::string, Json>>> indexed;
  };

  std::string dir_;
  std::shared_ptr<FileSystem> fs_;
  std::shared_ptr<Clock> clock_;
  std::unique_ptr<ReplayRepair> replay_repair_;
};

}  // namespace tarnix
