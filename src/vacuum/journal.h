// vacuum.journal: what a vacuum under way has planned and how far it got, so that the next
// open can finish it. Written whole through a staging file and a rename, never in place, so
// a reader sees either the previous record or the new one.
//
// The record is 40 bytes plus 8 per move: version, mode, stage, created_at_ms,
// original_capacity, live_count, desired_capacity, then the moves as a counted list of
// (from, to) slot pairs. No header, no checksum; bytes after the record are ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "storage/codec.h"
#include "storage/fs.h"

namespace tarnix {

enum class VacuumMode : uint32_t { kRewrite = 0, kInPlace = 1 };

// For an in-place vacuum, what is durable: nothing moved yet; vector and graph rows moved;
// every data file compacted. A rewrite goes from kPrepare to kCommitted with its marker.
enum class VacuumStage : uint32_t { kPrepare = 0, kSlotsCompacted = 1, kCommitted = 2 };

using SlotMove = std::pair<uint32_t, uint32_t>;  // (from, to)

struct VacuumJournal {
  uint32_t version = 1;
  VacuumMode mode = VacuumMode::kRewrite;
  VacuumStage stage = VacuumStage::kPrepare;
  uint64_t created_at_ms = 0;
  uint32_t original_capacity = 0;
  uint32_t live_count = 0;
  uint32_t desired_capacity = 0;
  std::vector<SlotMove> moves;

  bool operator==(const VacuumJournal&) const = default;
};

void encode_vacuum_journal(Encoder& e, const VacuumJournal& journal);
// An unknown mode or stage, or input that ends inside the record, is a decoding error.
VacuumJournal decode_vacuum_journal(Decoder& d);

// Durably replaces vacuum.journal in `dir` with the record.
Status write_vacuum_journal(FileSystem& fs, const std::string& dir, const VacuumJournal& journal);
// Nothing when vacuum.journal does not exist; invalid_data with the decoder's text when it
// does not decode; the operating system's error when it cannot be read.
Result<std::optional<VacuumJournal>> load_vacuum_journal(FileSystem& fs, const std::string& dir);
// Removes the journal (then syncs the directory) and any staging file it left.
Status clear_vacuum_journal(FileSystem& fs, const std::string& dir);

// The blob phase of an in-place vacuum: its commit marker and its four staging files.
Status clear_in_place_blob_intent(FileSystem& fs, const std::string& dir);
Result<bool> has_in_place_temp_artifacts(FileSystem& fs, const std::string& dir);
// vacuum.inplace.intent exists, or one of the staging files does.
Result<bool> has_in_place_markers(FileSystem& fs, const std::string& dir);

}  // namespace tarnix
