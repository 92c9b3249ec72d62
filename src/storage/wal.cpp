#include "storage/wal.h"

#include <errno.h>
#include <fcntl.h>

#include "index/core_index.h"
#include "storage/format.h"
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

Result<ReplayOutcome> replay_wal(FileSystem& fs, const std::string& path, CoreIndex& index) {
  ReplayOutcome outcome;
  // A log that is there but cannot be read is an error, not an empty log: opening without
  // its records would hide acknowledged writes, and the next persist would drop them.
  Result<File> file = File::open(fs, path, O_RDONLY);
  if (!file.ok()) {
    if (file.status().os_errno() == ENOENT) return outcome;
    return file.take_status();
  }
  TARNIX_ASSIGN_OR_RETURN(outcome.file_length, file->size());
  BufferedFileReader reader(*file, outcome.file_length, kReadBuffer);
  while (reader.remaining() > 0) {
    Decoder d(reader);
    WalEntry entry = decode_wal_entry(d);
    // A failed read is not a torn tail: the records after it must not be cut away.
    if (d.status().code() == StatusCode::kIoError) return d.status();
    if (!d.ok()) break;
    if (auto* del = std::get_if<WalDelete>(&entry)) {
      index.delete_in_mem(del->id);
    } else {
      auto& ins = std::get<WalInsert>(entry);
      Result<Json> meta = parse_json_object(ins.meta_json);
      Json object = meta.ok() ? std::move(meta).value() : Json::object();
      std::span<const std::string> skip;
      if (ins.skip_index) skip = *ins.skip_index;
      TARNIX_RETURN_IF_ERROR(index.insert_in_mem(ins.id, ins.vec, object, skip, ins.ttl));
    }
    ++outcome.records;
    outcome.good_end = reader.consumed();
  }
  return outcome;
}

}  // namespace tarnix
