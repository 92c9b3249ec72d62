// Reading the log in large blocks, one record at a time, without copying its fields.
//
// A replay reads every record of a log that may hold millions of them; decoding each one into
// owned strings and vectors costs several allocations and copies per record. Here a record is
// parsed where it lies in the block, and its fields are views into that block, valid until
// the next record is read. It accepts exactly what decode_wal_entry accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "storage/fs.h"
#include "util/status.h"

namespace tarnix {

struct WalRecordView {
  bool is_delete = false;
  std::string_view id;
  // The vector's components as the record holds them: little-endian floats, not aligned.
  const char* vec_bytes = nullptr;
  uint64_t vec_count = 0;
  std::string_view meta_json;
  bool has_skip_index = false;
  std::vector<std::string_view> skip_index;
  std::optional<uint32_t> ttl;
};

enum class WalParse {
  kRecord,  // a whole record; its size is returned
  kShort,   // the record goes on past the bytes given, and the log has more
  kBad,     // the record does not decode (bad bytes, or the log ends inside it)
};

// Parses the record at the start of `bytes`. `log_left` is the number of bytes of the log
// from that record's start to its end (at least bytes.size()): a length beyond it fails the
// record, as the decoder refuses it, while one beyond `bytes` only asks for more.
WalParse parse_wal_record(std::string_view bytes, uint64_t log_left, WalRecordView& out,
                          size_t& size);

// Reads the records of a log file from `from` up to `length` through a buffer of
// `block_bytes` (grown for a record larger than that).
class WalBlockReader {
 public:
  WalBlockReader(File& file, uint64_t from, uint64_t length, size_t block_bytes);

  // Fills `out` with the next record; false at the end of the log or at the first record
  // that does not decode. A failed read of the file is an error.
  Result<bool> next(WalRecordView& out);
  // Where the last record returned ends.
  uint64_t good_end() const { return from_ + taken_; }

 private:
  // Moves what is left of the block to its start and reads more after it.
  Status refill();

  File& file_;
  uint64_t from_;
  uint64_t length_;
  std::vector<char> block_;
  size_t begin_ = 0;    // the next record's start in block_
  size_t end_ = 0;      // the end of the bytes read into block_
  uint64_t read_ = 0;   // bytes read from `from_` on
  uint64_t taken_ = 0;  // bytes of the records returned
  bool seeked_ = false;
};

}  // namespace tarnix
