// The write-ahead log: every change since the last snapshot, as a plain concatenation of
// WalEntry records (no header, no checksum). Opening a store replays it onto the snapshot.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "storage/codec.h"
#include "storage/fs.h"

namespace tarnix {

class CoreIndex;

struct WalInsert {
  std::string id;
  std::vector<float> vec;
  std::string meta_json;  // the metadata text exactly as the caller gave it
  std::optional<std::vector<std::string>> skip_index;
  std::optional<uint32_t> ttl;
};

struct WalDelete {
  std::string id;
};

using WalEntry = std::variant<WalInsert, WalDelete>;

// Variant 0: id, vec, meta_json, skip_index, ttl.
void encode_wal_insert(Encoder& e, std::string_view id, std::span<const float> vec,
                       std::string_view meta_json,
                       const std::optional<std::vector<std::string>>& skip_index,
                       std::optional<uint32_t> ttl);
// Variant 1: the id.
void encode_wal_delete(Encoder& e, std::string_view id);
WalEntry decode_wal_entry(Decoder& d);

// Appends records to wal.bin through a 1 MiB buffer.
//
// A call's records are staged and then committed: commit() writes what is still buffered,
// and if any write of the call failed it cuts the file back to where the call began, so a
// failed call never leaves a torn record that would hide later ones from replay. If even
// that cut fails, the writer refuses every later append until the store is reopened.
class WalWriter final : public ByteSink {
 public:
  WalWriter() = default;
  WalWriter(WalWriter&&) = default;
  WalWriter& operator=(WalWriter&&) = default;

  // Opens wal.bin for appending (created with mode 0666).
  static Result<WalWriter> open(FileSystem& fs, const std::string& path);

  // Starts a call's records; fails if an earlier failure could not be undone.
  Status begin();
  void append(const void* data, size_t n) override;
  // Writes the call's records; on failure undoes them and returns the error.
  Status commit();
  // Syncs the file's data; on failure undoes the last committed call.
  Status sync_last_commit();
  // Syncs the file's data, undoing nothing on failure (for callers that did not just append).
  Status sync();
  // Truncates the log to `length` bytes and syncs it.
  Status truncate_and_sync(uint64_t length);
  // Takes the file's length as the end of committed records: other stores append to the
  // same log between this store's calls.
  Status resync();

  uint64_t length() const { return committed_; }
  // Whether the file may hold records that no sync has made durable yet (a log found at
  // open counts as such: the process that wrote it may not have synced it).
  bool has_unsynced_records() const { return unsynced_; }
  // The identity of the file this writer appends to (a vacuum may replace wal.bin).
  uint64_t inode() const { return inode_; }
  File& file() { return file_; }

 private:
  Status undo(Status cause);

  File file_;
  std::string buffer_;
  uint64_t inode_ = 0;
  uint64_t committed_ = 0;    // bytes of whole, committed records
  uint64_t call_start_ = 0;   // where the current or last call began
  uint64_t written_ = 0;      // bytes of the current call already written
  Status write_error_;
  Status broken_;
  bool unsynced_ = false;
};

// How a replay applies records. kRecover repeats every call as it was made, writing the data
// files: the open of a store alone on its directory, where the files may lack what a crash
// kept from the disk. kFollow takes on changes whose rows and records another store that has
// the directory open already wrote: nothing is written and nothing is linked.
enum class ReplayMode { kRecover, kFollow };

// A change a followed record made, for the projection: an id inserted (when the insert took
// effect) or deleted.
struct LoggedChange {
  std::string id;
  bool inserted;
};

struct ReplayOutcome {
  uint64_t records = 0;
  // The end of the last record that decoded; the log is torn past it when it is shorter
  // than the file.
  uint64_t good_end = 0;
  uint64_t file_length = 0;
  std::vector<LoggedChange> changes;  // kFollow only
};

// Applies the records of wal.bin from byte `from` on to the index, stopping silently at the
// first record that does not decode. A missing log replays nothing. Fails when the log
// cannot be opened or read, or when applying a record fails (an I/O error writing the data
// files).
Result<ReplayOutcome> replay_wal(FileSystem& fs, const std::string& path, CoreIndex& index,
                                 ReplayMode mode = ReplayMode::kRecover, uint64_t from = 0);

}  // namespace tarnix
