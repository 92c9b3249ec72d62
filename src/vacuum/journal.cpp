#include "vacuum/journal.h"

#include <fcntl.h>

#include "storage/format.h"
#include "vacuum/vacuum_files.h"

namespace tarnix {

void encode_vacuum_journal(Encoder& e, const VacuumJournal& journal) {
  e.u32(journal.version);
  e.variant(static_cast<uint32_t>(journal.mode));
  e.variant(static_cast<uint32_t>(journal.stage));
  e.u64(journal.created_at_ms);
  e.u32(journal.original_capacity);
  e.u32(journal.live_count);
  e.u32(journal.desired_capacity);
  e.count(journal.moves.size());
  for (const auto& [from, to] : journal.moves) {
    e.u32(from);
    e.u32(to);
  }
}

VacuumJournal decode_vacuum_journal(Decoder& d) {
  VacuumJournal j;
  j.version = d.u32();
  j.mode = static_cast<VacuumMode>(d.variant(2, "VacuumMode"));
  j.stage = static_cast<VacuumStage>(d.variant(3, "VacuumStage"));
  j.created_at_ms = d.u64();
  j.original_capacity = d.u32();
  j.live_count = d.u32();
  j.desired_capacity = d.u32();
  uint64_t moves = d.count(8);
  if (d.ok()) j.moves.reserve(moves);
  for (uint64_t i = 0; i < moves && d.ok(); ++i) {
    uint32_t from = d.u32();
    uint32_t to = d.u32();
    j.moves.emplace_back(from, to);
  }
  return j;
}

Status write_vacuum_journal(FileSystem& fs, const std::string& dir, const VacuumJournal& journal) {
  const std::string temp = join_path(dir, kVacuumJournalTempFile);
  const std::string path = join_path(dir, kVacuumJournalFile);
  {
    File file;
    TARNIX_ASSIGN_OR_RETURN(file, File::open(fs, temp, O_WRONLY | O_CREAT | O_TRUNC));
    BufferedFileWriter writer(file, kJournalBuffer);
    Encoder e(writer);
    encode_vacuum_journal(e, journal);
    TARNIX_RETURN_IF_ERROR(writer.flush());
    TARNIX_RETURN_IF_ERROR(file.sync());
  }
  TARNIX_RETURN_IF_ERROR(fs.rename(temp, path));
  return sync_parent_dir(fs, path);
}

Result<std::optional<VacuumJournal>> load_vacuum_journal(FileSystem& fs, const std::string& dir) {
  const std::string path = join_path(dir, kVacuumJournalFile);
  // Only a journal that is not there counts as none: one that cannot be read right now may
  // hold a vacuum that must be finished before anything else touches the files.
  FileStamp stamp;
  TARNIX_ASSIGN_OR_RETURN(stamp, fs.stat(path));
  if (!stamp.exists) return std::optional<VacuumJournal>();
  File file;
  TARNIX_ASSIGN_OR_RETURN(file, File::open(fs, path, O_RDONLY));
  uint64_t length;
  TARNIX_ASSIGN_OR_RETURN(length, file.size());
  BufferedFileReader reader(file, length, kJournalBuffer);
  Decoder d(reader);
  VacuumJournal journal = decode_vacuum_journal(d);
  if (d.status().code() == StatusCode::kIoError) return d.status();
  if (!d.ok()) return Status::invalid_data(d.status().message());
  return std::optional<VacuumJournal>(std::move(journal));
}

Status clear_vacuum_journal(FileSystem& fs, const std::string& dir) {
  const std::string path = join_path(dir, kVacuumJournalFile);
  bool present;
  TARNIX_ASSIGN_OR_RETURN(present, fs.exists(path));
  if (present) {
    TARNIX_RETURN_IF_ERROR(fs.unlink(path));
    TARNIX_RETURN_IF_ERROR(sync_parent_dir(fs, path));
  }
  Status ignored = remove_if_exists(fs, join_path(dir, kVacuumJournalTempFile));
  (void)ignored;
  return Status();
}

Status clear_in_place_blob_intent(FileSystem& fs, const std::string& dir) {
  const std::string path = join_path(dir, kInPlaceIntentFile);
  bool present;
  TARNIX_ASSIGN_OR_RETURN(present, fs.exists(path));
  if (!present) return Status();
  TARNIX_RETURN_IF_ERROR(fs.unlink(path));
  return sync_parent_dir(fs, path);
}

Result<bool> has_in_place_temp_artifacts(FileSystem& fs, const std::string& dir) {
  for (const char* name : kBlobPhaseFiles) {
    bool present;
    TARNIX_ASSIGN_OR_RETURN(present, fs.exists(join_path(dir, std::string(name) + kIpvacSuffix)));
    if (present) return true;
  }
  return false;
}

Result<bool> has_in_place_markers(FileSystem& fs, const std::string& dir) {
  bool intent;
  TARNIX_ASSIGN_OR_RETURN(intent, fs.exists(join_path(dir, kInPlaceIntentFile)));
  if (intent) return true;
  return has_in_place_temp_artifacts(fs, dir);
}

}  // namespace tarnix
