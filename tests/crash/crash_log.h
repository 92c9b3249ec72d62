// What a recorded workload did to its storage directory, and the directory states that a
// crash could leave behind at any point of it.
//
// The model is the one a crash-consistency checker needs, and no more:
// - a file is an inode with bytes; names in the directory point at inodes, so a file that is
//   renamed or unlinked while open keeps receiving its writes;
// - a process crash keeps every operation before the point (the kernel has them all);
// - a power loss keeps a file's data up to its last fsync/fdatasync, the directory's names
//   up to its last directory sync, and the directory itself once its parent was synced
//   after it was made. Of the rest, any subset of data operations may have reached the disk
//   (the page cache writes back dirty pages, mapped or not, in any order), the names as a
//   prefix in order (directory changes go through the file system's journal in order), and
//   the last write may be torn at a 512-byte sector boundary. A page written back through a
//   mapping never lengthens a file: past a length that did not survive, it is not seen.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/status.h"

namespace tarnix::crash {

inline constexpr uint64_t kPageBytes = 4096;
inline constexpr uint64_t kSectorBytes = 512;

// A file's bytes: its length and its pages; a missing page reads as zeros.
struct FileData {
  uint64_t size = 0;
  std::map<uint64_t, std::string> pages;  // page index -> kPageBytes bytes

  void write(uint64_t offset, std::string_view bytes);
  void resize(uint64_t length);
  std::string read(uint64_t offset, uint64_t length) const;
};

// A storage directory as a crash left it; `exists` is false when the directory itself is
// gone (it was made, but never became durable in its parent).
struct CrashImage {
  bool exists = true;
  std::map<std::string, FileData> files;

  uint64_t hash() const;
  // Replaces whatever is at `dir` with this image (files stay sparse).
  Status materialize(const std::string& dir) const;
};

enum class OpKind : uint8_t {
  kMkdir,       // the storage directory was made
  kCreate,      // `name` now names the new empty `inode`
  kRename,      // `name` -> `to`
  kUnlink,      // `name`
  kDirSync,     // the storage directory's names are durable
  kParentSync,  // the storage directory's own entry is durable
  kWrite,       // `bytes` at `offset` of `inode`
  kResize,      // `inode` is `offset` bytes long
  kSync,        // `inode`'s data and length are durable
};

const char* op_kind_name(OpKind kind);

struct CrashOp {
  OpKind kind = OpKind::kWrite;
  uint32_t inode = 0;
  std::string name;
  std::string to;
  uint64_t offset = 0;
  std::string bytes;
  // A store through a shared writable mapping, seen when the workload reached a seam call.
  bool mapped = false;
  // No crash point lies between this operation and the one before it: the pages that one
  // seam call found dirty form one group, as the stores happened in an order nobody saw.
  bool joined = false;
  int64_t clock_ns = 0;
};

// Which of the operations that were not durable at a point a power loss kept.
struct PowerChoice {
  std::vector<bool> keep_data;  // per pending data operation, in order
  size_t names_kept = 0;        // how many pending name operations, in order
  bool keep_mkdir = false;
  // The last write through a descriptor, when kept, ends at this file offset instead.
  std::optional<uint64_t> torn_end;
};

// The operations that no sync had made durable by a point.
struct Pending {
  std::vector<size_t> data;   // kWrite and kResize
  std::vector<size_t> names;  // kCreate, kRename, kUnlink
  std::optional<size_t> mkdir;
  // Among `data`, the last write through a descriptor, which a power loss may tear.
  std::optional<size_t> last_write;
};

class CrashLog {
 public:
  // `base` is the durable directory before the first operation; a directory that does not
  // exist yet is an image with `exists` false. Its files get the inodes 1, 2, ... in name
  // order.
  explicit CrashLog(CrashImage base = CrashImage{false, {}});

  const CrashImage& base() const { return base_; }
  const std::map<std::string, uint32_t>& base_inodes() const { return base_inodes_; }
  uint32_t first_free_inode() const { return static_cast<uint32_t>(base_inodes_.size()) + 1; }

  std::vector<CrashOp> ops;
  // Where the log file (the inode then named wal.bin) was synced.
  std::vector<size_t> log_syncs;

  // Whether a crash may cut the workload after the first `point` operations.
  bool is_point(size_t point) const {
    return point == ops.size() || (point < ops.size() && !ops[point].joined);
  }
  // The last log sync before `point`, if any.
  std::optional<size_t> last_log_sync_before(size_t point) const;

  CrashImage process_state(size_t point) const;
  Pending pending(size_t point) const;
  CrashImage power_state(size_t point, const Pending& pending, const PowerChoice& choice) const;

 private:
  CrashImage apply(size_t point, const std::vector<bool>& keep, std::optional<size_t> torn_op,
                   uint64_t torn_end) const;

  CrashImage base_;
  std::map<std::string, uint32_t> base_inodes_;
};

}  // namespace tarnix::crash
