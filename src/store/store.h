// Store: one open storage directory, the facade that every host method calls.
//
// It owns the index behind the reader-writer lock `core`, the log writer behind `wal`, the
// cross-process gate and the projection runtime, and it takes them in the documented order:
// gate, then core, then wal (`remove` alone takes wal before the gate). Inputs arrive as the
// host gave them (JSON texts unparsed) and are checked before any lock is taken.
//
// Thread safety: the host serialises every method except search, which may run on any
// number of threads at once and alongside one other method.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/core_index.h"
#include "projection/pca_runtime.h"
#include "storage/fs.h"
#include "storage/process_gate.h"
#include "storage/wal.h"
#include "util/status.h"

namespace tarnix {

// The index and its lock, shared with the projection worker and with streams, which may
// outlive the store.
struct SharedIndex {
  std::shared_mutex mu;
  std::unique_ptr<CoreIndex> index;
};

struct StoreOptions {
  std::shared_ptr<FileSystem> fs = posix_file_system();
  std::shared_ptr<Clock> clock = system_clock();
  bool pca_enabled = true;
};

struct SearchHit {
  std::string id;
  float score;
  std::string metadata;
};

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

  // ---- For the projection stream and tests. ----
  const std::shared_ptr<SharedIndex>& shared_index() const { return core_; }
  const std::shared_ptr<ProcessGate>& shared_gate() const { return gate_; }
  const std::shared_ptr<PcaRuntime>& pca_runtime() const { return pca_; }
  bool pca_enabled() const { return pca_enabled_; }
  const std::string& path() const { return path_; }

 private:
  Store(std::string path, StoreOptions options);

  // Claims the writer role; a store whose view may be stale or private reloads first.
  Status become_writer();
  // The error every call gets once a vacuum failed past the point of no return.
  const Status& usable() const { return must_reopen_; }
  // From now on this store object only refuses calls: its index no longer describes the
  // files, and the next open finishes what the vacuum began. It lets go of its files and of
  // the writer role, so that nothing reads half-moved rows and a new store can take over.
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
  // Queues the complete live content of the store for the projection.
  void enqueue_snapshot_sync();

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
  // The index was built while another process may have been writing: its files are mapped
  // privately and it must be rebuilt before this store writes.
  bool private_view_ = false;
  // What the durable state looked like when the index was built; a change means another
  // process has written since.
  std::string opened_stamp_;
  // Where the log's last good record ends, when its tail is torn and could not be cut yet.
  std::optional<uint64_t> torn_log_end_;
  // The writer role is held and the index is known to match the files.
  bool writer_ready_ = false;
  // The open cut off slots that the snapshot still names; until a new snapshot says
  // otherwise, a later open would bring them back, so one is written before any write.
  bool checkpoint_due_ = false;
  // Set once a vacuum failed after it could no longer be undone.
  Status must_reopen_;
};

}  // namespace tarnix
