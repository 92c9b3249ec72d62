// Names, sizes and limits of the storage directory's files, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnix {

// Data files.
inline constexpr const char* kVectorsFile = "vectors.bin";
inline constexpr const char* kGraphFile = "graph.bin";
inline constexpr const char* kIdOffsetsFile = "offsets.bin";
inline constexpr const char* kIdsFile = "ids.bin";
inline constexpr const char* kMetaOffsetsFile = "meta_offsets.bin";
inline constexpr const char* kMetadataFile = "metadata.bin";
// Index state and log.
inline constexpr const char* kSnapshotFile = "snapshot.bin";
inline constexpr const char* kSnapshotTempFile = "snapshot.bin.tmp";
inline constexpr const char* kWalFile = "wal.bin";
inline constexpr const char* kProcLockFile = ".proc_lock";

// Rewrite vacuum: every file gets a fresh copy with this suffix, committed by the marker.
inline constexpr const char* kVacSuffix = ".vac";
inline constexpr const char* kVacuumIntentFile = "vacuum.intent";
inline constexpr const char* kVacuumIntentText = "commit-vacuum";
inline constexpr const char* kVacuumDummyFile = "vacuum_dummy.tmp";
// In-place vacuum: the journal, and the blob files' copies committed by their own marker.
inline constexpr const char* kVacuumJournalFile = "vacuum.journal";
inline constexpr const char* kVacuumJournalTempFile = "vacuum.journal.tmp";
inline constexpr const char* kIpvacSuffix = ".ipvac";
inline constexpr const char* kInPlaceIntentFile = "vacuum.inplace.intent";
inline constexpr const char* kInPlaceIntentText = "commit-in-place-blob-vacuum";
inline constexpr const char* kBlobDummyFile = "vacuum_blob_dummy.tmp";

// The files a rewrite vacuum replaces, in the order it renames them (and an open finishes).
inline constexpr const char* kRewriteFiles[] = {kVectorsFile,      kGraphFile,   kIdOffsetsFile,
                                                kIdsFile,          kMetaOffsetsFile,
                                                kMetadataFile,     kSnapshotFile, kWalFile};
// The files the blob phase of an in-place vacuum replaces, in the order it renames them.
inline constexpr const char* kBlobPhaseFiles[] = {kIdOffsetsFile, kIdsFile, kMetaOffsetsFile,
                                                  kMetadataFile};

// Graph rows: 12 little-endian 32-bit slots; 0xFFFFFFFF marks an empty entry.
inline constexpr size_t kRowNeighbors = 12;
inline constexpr size_t kRowBytes = kRowNeighbors * 4;
inline constexpr uint32_t kEmptyEntry = 0xFFFFFFFF;
// Offset files: one 64-bit offset per slot.
inline constexpr size_t kOffsetBytes = 8;

// A new store has room for this many slots; the graph and offset files are created at least
// this large.
inline constexpr uint32_t kDefaultCapacity = 200'000;
inline constexpr uint64_t kInitialGraphBytes = uint64_t{kDefaultCapacity} * kRowBytes;
inline constexpr uint64_t kInitialOffsetsBytes = uint64_t{kDefaultCapacity} * kOffsetBytes;

// A metadata record longer than this reads as missing; a longer metadata text is refused.
inline constexpr uint32_t kMaxMetadataBytes = 10'000'000;

// Distances are 32-bit sums of squares of byte differences, which cannot wrap up to
// 66,051 components (255^2 * 66,051 < 2^32).
inline constexpr size_t kMaxDimension = 66'051;

// I/O buffer sizes.
inline constexpr size_t kWalWriteBuffer = 1 << 20;
inline constexpr size_t kSnapshotWriteBuffer = 1 << 20;
inline constexpr size_t kReadBuffer = 8192;
inline constexpr size_t kJournalBuffer = 8192;
// The snapshot decoder may read this many bytes past the file's length before it fails.
inline constexpr uint64_t kSnapshotLimitSlack = 1024;

// .proc_lock: writer_flag at byte 0, reader_count at byte 8. Record locks on bytes past the
// gate words mark the processes that have the directory open (kPresenceByte) and the one
// process that may write (kWriterRoleByte); the file itself stays 16 bytes long.
inline constexpr size_t kGateBytes = 16;
inline constexpr uint64_t kWriterRoleByte = 16;
inline constexpr uint64_t kPresenceByte = 17;
// Held (exclusively by the writer, shared by readers) while inside the gate, so that a
// waiter can tell a word left set by a process that died inside from a live one.
inline constexpr uint64_t kWriterInsideByte = 18;
inline constexpr uint64_t kReadersInsideByte = 19;

// Blocks of the slot files are reserved this far ahead of the highest slot written, so that
// a full disk is reported by a call instead of killing the process through its mapping.
inline constexpr uint64_t kReserveAheadBytes = 4 << 20;

}  // namespace tarnix
