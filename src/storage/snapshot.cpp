#include "storage/snapshot.h"

#include <fcntl.h>

#include <cstdio>

#include "storage/codec.h"
#include "storage/format.h"

namespace tarnix {

void print_warning(const std::string& text) {
  std::string line = "Tarnix Warning: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

namespace {

// The live index and a decoded or freshly built SnapshotData have the same eight fields.
template <class Saved>
void encode_saved_fields(Encoder& e, const Saved& saved) {
  e.u64(saved.dim);
  e.optional_tag(saved.enter_point.has_value());
  if (saved.enter_point) e.u32(*saved.enter_point);
  e.count(saved.str_index.size());
  for (const auto& [field, values] : saved.str_index) {
    e.string(field);
    e.count(values.size());
    for (const auto& [text, slots] : values) {
      e.string(text);
      e.bitmap(slots);
    }
  }
  e.count(saved.num_index.size());
  for (const auto& [field, bsi] : saved.num_index) {
    e.string(field);
    bsi.encode(e);
  }
  e.bitmap(saved.valid_ids);
  e.bitmap(saved.deleted);
  e.count(saved.ext_to_int.size());
  for (const auto& [hash, slot] : saved.ext_to_int) {
    e.u64(hash);
    e.u32(slot);
  }
  e.count(saved.expiration_index.size());
  for (const auto& [second, slots] : saved.expiration_index) {
    e.u32(second);
    e.count(slots.size());
    for (uint32_t slot : slots) e.u32(slot);
  }
}

template <class Saved>
Status write_saved_fields(FileSystem& fs, const std::string& path, const Saved& saved) {
  File file;
  TARNIX_ASSIGN_OR_RETURN(file, File::open(fs, path, O_WRONLY | O_CREAT | O_TRUNC));
  BufferedFileWriter writer(file, kSnapshotWriteBuffer);
  Encoder e(writer);
  encode_saved_fields(e, saved);
  TARNIX_RETURN_IF_ERROR(writer.flush());
  return file.sync();
}

}  // namespace

void encode_snapshot(Encoder& e, const CoreIndex& index) { encode_saved_fields(e, index); }
void encode_snapshot(Encoder& e, const SnapshotData& data) { encode_saved_fields(e, data); }

SnapshotData decode_snapshot(Decoder& d) {
  SnapshotData s;
  s.dim = d.size_value();
  if (d.optional_tag()) s.enter_point = d.u32();
  uint64_t fields = d.count(16);
  for (uint64_t i = 0; i < fields && d.ok(); ++i) {
    std::string field = d.string();
    uint64_t values = d.count(16);
    StringMap<Bitmap>& map = s.str_index[field];
    for (uint64_t j = 0; j < values && d.ok(); ++j) {
      std::string text = d.string();
      map[text] = d.bitmap();
    }
  }
  uint64_t numeric = d.count(8);
  for (uint64_t i = 0; i < numeric && d.ok(); ++i) {
    std::string field = d.string();
    NumericBsiIndex bsi = NumericBsiIndex::decode(d);
    if (d.ok()) s.num_index[field] = std::move(bsi);
  }
  s.valid_ids = d.bitmap();
  s.deleted = d.bitmap();
  uint64_t ids = d.count(12);
  if (d.ok()) s.ext_to_int.reserve(ids);
  for (uint64_t i = 0; i < ids && d.ok(); ++i) {
    uint64_t hash = d.u64();
    s.ext_to_int[hash] = d.u32();
  }
  uint64_t buckets = d.count(12);
  for (uint64_t i = 0; i < buckets && d.ok(); ++i) {
    uint32_t second = d.u32();
    uint64_t n = d.count(4);
    std::vector<uint32_t>& slots = s.expiration_index[second];
    slots.reserve(n);
    for (uint64_t j = 0; j < n && d.ok(); ++j) slots.push_back(d.u32());
  }
  return s;
}

Status write_snapshot_file(FileSystem& fs, const std::string& path, const CoreIndex& index) {
  return write_saved_fields(fs, path, index);
}

Status write_snapshot_file(FileSystem& fs, const std::string& path, const SnapshotData& data) {
  return write_saved_fields(fs, path, data);
}

Result<std::optional<SnapshotData>> load_snapshot(FileSystem& fs, const std::string& dir) {
  std::string path = join_path(dir, kSnapshotFile);
  bool present;
  TARNIX_ASSIGN_OR_RETURN(present, fs.exists(path));
  if (!present) return std::optional<SnapshotData>();
  File file;
  TARNIX_ASSIGN_OR_RETURN(file, File::open(fs, path, O_RDONLY));
  uint64_t length;
  TARNIX_ASSIGN_OR_RETURN(length, file.size());
  BufferedFileReader reader(file, length, kReadBuffer);
  Decoder d(reader, length + kSnapshotLimitSlack);
  SnapshotData data = decode_snapshot(d);
  // A failed read is the disk's fault, not the snapshot's.
  if (d.status().code() == StatusCode::kIoError) return d.status();
  if (!d.ok()) {
    print_warning("snapshot.bin is corrupt or incompatible (" + d.status().message() +
                  "). Ignoring and rebuilding from WAL.");
    return std::optional<SnapshotData>();
  }
  return std::optional<SnapshotData>(std::move(data));
}

void apply_snapshot(CoreIndex& index, SnapshotData&& data) {
  index.dim = data.dim;
  index.enter_point = data.enter_point;
  index.str_index = std::move(data.str_index);
  index.num_index = std::move(data.num_index);
  index.valid_ids = std::move(data.valid_ids);
  index.deleted = std::move(data.deleted);
  index.ext_to_int = std::move(data.ext_to_int);
  index.expiration_index = std::move(data.expiration_index);
  if (index.dim > 0) index.capacity = index.capacity_from_files();
}

}  // namespace tarnix
