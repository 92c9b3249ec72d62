// Store: one open storage directory, the facade that every host method calls.
//
// It owns the index behind the reader-writer lock `core`, the log writer behind `wal`, the
// cross-process gate and the projection runtime, and it takes them in order: the writer
// role (writing calls), the gate, the index's follow lock, core, then wal. Inputs arrive as
// the host gave them (JSON texts unparsed) and are checked before any lock is taken.
//
// Several stores (in several processes, or in one) may have a directory open. Each call
// first catches up with what the others wrote since its view; writing calls take turns,
// one store at a time, through the writer role.
//
// Thread safety: the host serialises every method except search, which may run on any
// number of threads at once and alongside one other method.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/core_index.h"
#include "index/shared_index.h"
#include "projection/pca_runtime.h"
#include "projection/pca_stream.h"
#include "storage/follow.h"
#include "storage/fs.h"
#include "storage/process_gate.h"
#include "storage/wal.h"
#include "util/status.h"

namespace tarnix {

struct StoreOptions {
  std::shared_ptr<FileSystem> fs = posix_file_system();
  std::shared_ptr<Clock> clock = system_clock();
  bool pca_enabled = true;
};

struct PcaStreamRequest {
  uint32_t batch_size = 512;
  bool wait_for_latest = false;
  uint64_t timeout_ms = 0;
  bool force_refresh = false;
  std::optional<std::string> filter_json;
};

struct SearchHit {
  std::string id;
  float score;
  std::string metadata;
};

// Marks every deleted slot of `index` as possibly freed by a record that is not durable yet
// when the log may hold unsynced records (see CoreIndex::recently_freed), else none.
void note_unsynced_frees(CoreIndex& index, const WalWriter& wal);

class Store {
 public:
  // Opens or creates the store in `path`, recovering whatever a crash left behind.
  static Result<std::unique_ptr<Store>> open(std::string path, StoreOptions options);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // ---- Writes. ----
  Status add(std::string_view id, std::span<const float> vector, std::string_view metadata,
             const std::optional<std::vector<std::string>>& skip_index,
             std::optional<uint32_t> ttl);
  Status add_batch(std::span<const std::string> ids, std::span<const std::vector<float>> vectors,
                   std::span<const std::string> metadatas,
                   const std::optional<std::vector<std::string>>& skip_index,
                   std::optional<uint32_t> ttl);
  Status remove(std::string_view id);
  Result<uint64_t> delete_by_filter(std::string_view filter_json);
  Result<bool> prewarm_delete_path();
  Status persist();
  // Compacts the store: live items are renumbered 0..n-1 and everything deleted is dropped
  // from the files (in place when TARNIX_VACUUM_IN_PLACE is set and no other process has the
  // directory open; by rewriting into fresh files otherwise). Every failure is an OSError.
  Status vacuum();

  // ---- Reads. ----
  Result<uint64_t> count();
  Result<bool> exists(std::string_view filter_json);
  Result<std::vector<std::string>> get_all_items(std::string_view filter_json);
  Result<std::string> get_all_items_json(std::string_view filter_json);
  Result<std::string> aggregate_unique(std::string_view filter_json, std::string_view group_by,
                                       std::string_view sort_by,
                                       std::span<const std::string> output_fields,
                                       bool descending);

  // A search runs in steps so that the host can parse the filter and enter the gate while
  // it still holds its interpreter lock, and release that lock for the search itself: the
  // caller parses with parse_filter_argument, enters gate() as a reader, then searches.
  ProcessGate& gate() { return *gate_; }
  Result<std::vector<SearchHit>> search(std::span<const float> query, uint32_t k,
                                        const Json* filter, bool load_metadata);
  Result<std::string> search_json(std::span<const float> query, uint32_t k, const Json* filter);

  // Parses filter text; the error is "Invalid Filter: {detail}".
  static Result<Json> parse_filter_argument(std::string_view text);

  // ---- Projection. ----

  // A stream over the published points: optionally queues a full sync first, waits for the
  // worker to catch up (calling pause() between checks; pause returns false to give up,
  // which fails the call), and narrows the points by a filter. The filter is parsed only
  // after the refresh was queued and the wait ended.
  Result<std::unique_ptr<PcaStream>> stream_pca_3d(
      const PcaStreamRequest& request,
      const std::function<bool()>& pause = PcaRuntime::sleep_pause);
  // Queues the complete live content of the store for the projection, when projection is
  // enabled. Takes `core` shared: the caller may be inside the gate but must not hold
  // `core`.
  void enqueue_pca_snapshot_sync();

  // ---- For the projection stream and tests. ----
  const std::shared_ptr<SharedIndex>& shared_index() const { return core_; }
  const std::shared_ptr<ProcessGate>& shared_gate() const { return gate_; }
  const std::shared_ptr<PcaRuntime>& pca_runtime() const { return pca_; }
  bool pca_enabled() const { return pca_enabled_; }
  const std::string& path() const { return path_; }

 private:
  Store(std::string path, StoreOptions options);

  // Builds the index from the files inside the gate as a writer, finishing or discarding
  // what an interrupted vacuum left first; `mode` says how the log is applied.
  static Result<LoadedIndex> recover_index(const std::string& dir, const StoreOptions& options,
                                           ReplayMode mode, bool create);
  // The start of a reading call, inside the gate as a reader: when another store changed
  // the directory since this index's view, take it on.
  Status follow();
  // The same for the calls that need no gate while nothing changed (count, exists).
  Status follow_outside_gate();
  // The frame of every writing call: the writer role, the gate as a writer, the index
  // caught up with the directory (finishing a vacuum another store left unfinished), then
  // write(), then the view moved past this call's own records.
  template <class F>
  auto write_call(F&& write) -> decltype(write());
  Status catch_up_as_writer();
  void note_own_writes();
  // delete_by_filter's and persist's work, inside their writing calls.
  Result<uint64_t> delete_matching(const Json& filter);
  Status sweep_and_trim();
  // Projection events for what another store changed.
  void take_on(const Followed& followed);
  // The error every call gets once a vacuum failed past the point of no return.
  Status usable() const {
    return needs_reopen_.load(std::memory_order_acquire) ? must_reopen_ : Status();
  }
  // From now on this store object only refuses calls: its index no longer describes the
  // files, and the next open finishes what the vacuum began. It lets go of its files and
  // stops following the directory, so that nothing reads half-moved rows.
  void require_reopen(const Status& cause);
  // Makes the index durable: syncs the data files, writes the snapshot through a temporary
  // file and empties the log. `inside_gate`: the caller is in the gate as a writer already.
  Status checkpoint(bool inside_gate);
  // Appends the records that `encode` writes, flushes them, and syncs when due.
  template <class F>
  Status log(F&& encode);
  Status maybe_sync_wal();
  // Syncs the log when inserting `ids` may overwrite a slot whose deletion (or replacement)
  // is in the log but not yet durable; see CoreIndex::recently_freed. Called after the
  // call's records are committed and before its sweep and inserts change the index, so a
  // failed sync undoes the whole call.
  Status sync_before_reuse(CoreIndex& index, std::span<const std::string_view> ids, bool sweeping);
  // An expiry sweep about to run: its second, and the ids of the items it will delete.
  // They are logged ahead of it like any deletion: replay does not sweep, so without the
  // records it would hand out slots differently from the run it repeats, and read records
  // that the later items in those slots have overwritten.
  struct PendingSweep {
    uint32_t now = 0;
    std::vector<std::string> ids;
  };
  Result<PendingSweep> plan_sweep(const CoreIndex& index) const;
  // Logs the sweep's deletions (when there are any), then sweeps.
  Status sweep_expired(CoreIndex& index);
  // The listing methods' common frame: parses the filter, enters the gate as a reader,
  // holds `core` shared and calls read(index, matches) with the visible slots it selects.
  template <class Read>
  auto read_matches(std::string_view filter_json, Read&& read)
      -> decltype(read(std::declval<const CoreIndex&>(), std::declval<Bitmap&>()));
  // Validates and parses metadata texts before anything is locked.
  Result<Json> parse_metadata(std::string_view text) const;
  Status check_vector(std::span<const float> vector, uint64_t dim) const;
  uint64_t current_dim();
  // Queues a projection event when projection is enabled.
  void enqueue(PcaEventKind kind);

  std::string path_;
  std::shared_ptr<FileSystem> fs_;
  std::shared_ptr<Clock> clock_;
  bool pca_enabled_;
  std::atomic<uint64_t> last_wal_sync_ms_{0};
  std::shared_ptr<SharedIndex> core_;
  std::shared_ptr<std::shared_mutex> wal_mu_;
  std::unique_ptr<WalWriter> wal_;
  std::shared_ptr<ProcessGate> gate_;
  std::shared_ptr<PcaRuntime> pca_;
  // A snapshot is written (and the log emptied) at the start of the next writing call: the
  // open cut off slots that the snapshot still names (until a new snapshot says otherwise,
  // a later open would bring them back), or it replayed a long log while another process
  // had the directory open.
  bool checkpoint_due_ = false;
  // Set once a vacuum failed after it could no longer be undone (the status first, then
  // the flag; searches read them without the interpreter lock).
  std::atomic<bool> needs_reopen_{false};
  Status must_reopen_;
};

template <class F>
auto Store::write_call(F&& write) -> decltype(write()) {
  WriterTurn turn(*gate_);
  TARNIX_RETURN_IF_ERROR(turn.status());
  GateWriter inside(*gate_);
  TARNIX_RETURN_IF_ERROR(catch_up_as_writer());
  auto result = write();
  note_own_writes();
  return result;
}

}  // namespace tarnix
