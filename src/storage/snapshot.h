// snapshot.bin: the index structures that are not kept in the data files, as one record.
// Written from the live index without copying it; read back at open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "index/core_index.h"
#include "storage/fs.h"

namespace tarnix {

// The eight saved fields, in their order on disk.
struct SnapshotData {
  uint64_t dim = 0;
  std::optional<uint32_t> enter_point;
  StrIndex str_index;
  NumIndex num_index;
  Bitmap valid_ids;
  Bitmap deleted;
  ExtToInt ext_to_int;
  ExpirationIndex expiration_index;
};

// Encodes the index's saved fields (the SnapshotView of the live index), or a set of saved
// fields built apart from any index (a vacuum's renumbered state).
void encode_snapshot(Encoder& e, const CoreIndex& index);
void encode_snapshot(Encoder& e, const SnapshotData& data);
SnapshotData decode_snapshot(Decoder& d);

// Writes the snapshot of `index` (or of `data`) to `path` through a 1 MiB buffer, then fully
// syncs it.
Status write_snapshot_file(FileSystem& fs, const std::string& path, const CoreIndex& index);
Status write_snapshot_file(FileSystem& fs, const std::string& path, const SnapshotData& data);

// Reads snapshot.bin from `dir`: nothing when it is missing (silently) or does not decode
// (with a warning on standard error). The decoder may read at most the file's length plus
// 1024 bytes. A snapshot that exists but cannot be opened or read is an error: going on
// without it would let the next writes overwrite the slots it names.
Result<std::optional<SnapshotData>> load_snapshot(FileSystem& fs, const std::string& dir);

// Moves the loaded fields into the index.
void apply_snapshot(CoreIndex& index, SnapshotData&& data);

// Prints "Tarnix Warning: <text>" and a newline on standard error.
void print_warning(const std::string& text);

}  // namespace tarnix
