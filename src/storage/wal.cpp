#include "storage/wal.h"

#include <errno.h>
#include <fcntl.h>

#include <cstring>
#include <unordered_map>

#include "index/core_index.h"
#include "storage/format.h"
#include "storage/wal_record.h"
#include "util/fnv.h"
#include "util/json.h"

namespace tarnix {

void encode_wal_insert(Encoder& e, std::string_view id, std::span<const float> vec,
                       std::string_view meta_json,
                       const std::optional<std::vector<std::string>>& skip_index,
                       std::optional<uint32_t> ttl) {
  e.variant(0);
  e.string(id);
  e.count(vec.size());
  e.f32_elements(vec);
  e.string(meta_json);
  e.optional_tag(skip_index.has_value());
  if (skip_index) {
    e.count(skip_index->size());
    for (const std::string& name : *skip_index) e.string(name);
  }
  e.optional_tag(ttl.has_value());
  if (ttl) e.u32(*ttl);
}

void encode_wal_delete(Encoder& e, std::string_view id) {
  e.variant(1);
  e.string(id);
}

WalEntry decode_wal_entry(Decoder& d) {
  uint32_t variant = d.variant(2, "WalEntry");
  if (!d.ok()) return WalDelete{};
  if (variant == 1) return WalDelete{d.string()};
  WalInsert insert;
  insert.id = d.string();
  uint64_t n = d.count(4);
  insert.vec.reserve(n);
  for (uint64_t i = 0; i < n && d.ok(); ++i) insert.vec.push_back(d.f32());
  insert.meta_json = d.string();
  if (d.optional_tag()) {
    uint64_t names = d.count(8);
    insert.skip_index.emplace();
    insert.skip_index->reserve(names);
    for (uint64_t i = 0; i < names && d.ok(); ++i) insert.skip_index->push_back(d.string());
  }
  if (d.optional_tag()) insert.ttl = d.u32();
  return insert;
}

Result<WalWriter> WalWriter::open(FileSystem& fs, const std::string& path) {
  WalWriter w;
  TARNIX_ASSIGN_OR_RETURN(w.file_, File::open(fs, path, O_WRONLY | O_APPEND | O_CREAT));
  TARNIX_ASSIGN_OR_RETURN(w.committed_, w.file_.size());
  FileStamp stamp;
  TARNIX_ASSIGN_OR_RETURN(stamp, fs.stat(path));
  w.inode_ = stamp.inode;
  w.call_start_ = w.committed_;
  w.unsynced_ = w.committed_ > 0;
  w.buffer_.reserve(kWalWriteBuffer);
  return w;
}

Status WalWriter::begin() {
  if (!broken_.ok()) return broken_;
  buffer_.clear();
  call_start_ = committed_;
  written_ = 0;
  write_error_ = Status();
  return Status();
}

void WalWriter::append(const void* data, size_t n) {
  if (!write_error_.ok()) return;
  if (buffer_.size() + n > kWalWriteBuffer && !buffer_.empty()) {
    write_error_ = file_.write_all(buffer_.data(), buffer_.size());
    written_ += buffer_.size();
    buffer_.clear();
    if (!write_error_.ok()) return;
  }
  if (n > kWalWriteBuffer) {
    write_error_ = file_.write_all(data, n);
    written_ += n;
    return;
  }
  buffer_.append(static_cast<const char*>(data), n);
}

Status WalWriter::commit() {
  if (write_error_.ok() && !buffer_.empty()) {
    write_error_ = file_.write_all(buffer_.data(), buffer_.size());
    written_ += buffer_.size();
  }
  buffer_.clear();
  if (!write_error_.ok()) return undo(write_error_);
  committed_ = call_start_ + written_;
  unsynced_ |= written_ > 0;
  return Status();
}

Status WalWriter::sync_last_commit() {
  Status s = file_.datasync();
  if (!s.ok()) return undo(s);
  unsynced_ = false;
  return Status();
}

Status WalWriter::sync() {
  TARNIX_RETURN_IF_ERROR(file_.datasync());
  unsynced_ = false;
  return Status();
}

Status WalWriter::undo(Status cause) {
  // A partial write may have reached the file; cut it away so the next record starts on a
  // record boundary.
  Status cut = file_.truncate(call_start_);
  if (!cut.ok()) broken_ = cause;
  committed_ = call_start_;
  written_ = 0;
  write_error_ = Status();
  return cause;
}

Status WalWriter::truncate_and_sync(uint64_t length) {
  TARNIX_RETURN_IF_ERROR(file_.truncate(length));
  TARNIX_RETURN_IF_ERROR(file_.datasync());
  committed_ = call_start_ = length;
  broken_ = Status();
  unsynced_ = false;
  return Status();
}

Status WalWriter::resync() {
  uint64_t before = committed_;
  TARNIX_ASSIGN_OR_RETURN(committed_, file_.size());
  // Records another store appended may not be synced yet: this store cannot know.
  unsynced_ |= committed_ != before;
  call_start_ = committed_;
  return Status();
}

namespace {

// Calls f(record) for each record of the log from byte `from` on, and stops silently at the
// first record that does not decode; returns where the last whole record ends.
template <class F>
Result<uint64_t> read_records(File& file, uint64_t from, uint64_t length, F&& f) {
  WalBlockReader reader(file, from, length, kWalReadBlock);
  WalRecordView record;
  for (;;) {
    bool more;
    // A failed read is not a torn tail: the records after it must not be cut away.
    TARNIX_ASSIGN_OR_RETURN(more, reader.next(record));
    if (!more) break;
    TARNIX_RETURN_IF_ERROR(f(record));
  }
  return reader.good_end();
}

// The fields of an insert record in the forms the index takes, in storage reused from one
// record to the next.
struct InsertArguments {
  std::vector<float> vec;
  std::vector<std::string> skip;

  void take(const WalRecordView& record) {
    vec.resize(record.vec_count);
    if (!vec.empty()) std::memcpy(vec.data(), record.vec_bytes, vec.size() * sizeof(float));
    skip.resize(record.skip_index.size());
    for (size_t i = 0; i < skip.size(); ++i) skip[i].assign(record.skip_index[i]);
  }
};

}  // namespace

Result<ReplayOutcome> replay_wal(FileSystem& fs, const std::string& path, CoreIndex& index,
                                 ReplayMode mode, uint64_t from) {
  ReplayOutcome outcome;
  outcome.good_end = from;
  // A log that is there but cannot be read is an error, not an empty log: opening without
  // its records would hide acknowledged writes, and the next persist would drop them.
  Result<File> file = File::open(fs, path, O_RDONLY);
  if (!file.ok()) {
    if (file.status().os_errno() == ENOENT) return outcome;
    return file.take_status();
  }
  TARNIX_ASSIGN_OR_RETURN(outcome.file_length, file->size());
  if (from >= outcome.file_length) return outcome;

  // Following, an insert whose slot no longer holds its item needs to know whether a later
  // record takes the same id again: a first pass notes, per record, whether one does.
  std::vector<bool> superseded;
  if (mode == ReplayMode::kFollow) {
    std::unordered_map<uint64_t, size_t> last_record_of;
    TARNIX_RETURN_IF_ERROR(
        read_records(*file, from, outcome.file_length, [&](const WalRecordView& r) {
          auto [it, fresh] = last_record_of.try_emplace(id_hash(r.id), superseded.size());
          if (!fresh) superseded[std::exchange(it->second, superseded.size())] = true;
          superseded.push_back(false);
          return Status();
        }).status());
  }

  InsertArguments args;
  Result<uint64_t> good_end =
      read_records(*file, from, outcome.file_length, [&](const WalRecordView& r) -> Status {
        const size_t record = outcome.records++;
        if (r.is_delete) {
          if (mode == ReplayMode::kRecover) {
            index.delete_in_mem(r.id);
          } else {
            index.follow_delete(r.id);
            outcome.changes.push_back({std::string(r.id), false});
          }
          return Status();
        }
        args.take(r);
        Result<Json> meta = parse_json_object(r.meta_json);
        Json object = meta.ok() ? std::move(meta).value() : Json::object();
        std::span<const std::string> skip = args.skip;
        if (mode == ReplayMode::kRecover) {
          return index.insert_in_mem(r.id, args.vec, object, skip, r.ttl);
        }
        bool live;
        TARNIX_ASSIGN_OR_RETURN(
            live, index.follow_insert(r.id, args.vec, object, skip, r.ttl, superseded[record]));
        if (live) outcome.changes.push_back({std::string(r.id), true});
        return Status();
      });
  if (!good_end.ok()) return good_end.take_status();
  outcome.good_end = *good_end;
  return outcome;
}

}  // namespace tarnix
