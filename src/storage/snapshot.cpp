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

void encode_snapshot(Encoder& e, const CoreIndex& index) {
  e.u64(index.dim);
  e.optional_tag(index.enter_point.has_value());
  if (index.enter_point) e.u32(*index.enter_point);
  e.count(index.str_index.size());
  for (const auto& [field, values] : index.str_index) {
    e.string(field);
    e.count(values.size());
    for (const auto& [text, slots] : values) {
      e.string(text);
      e.bitmap(slots);
    }
  }
  e.count(index.num_index.size());
  for (const auto& [field, bsi] : index.num_index) {
    e.string(field);
    bsi.encode(e);
  }
  e.bitmap(index.valid_ids);
  e.bitmap(index.deleted);
  e.count(index.ext_to_int.size());
  for (const auto& [hash, slot] : index.ext_to_int) {
    e.u64(hash);
    e.u32(slot);
  }
  e.count(index.expiration_index.size());
  for (const auto& [second, slots] : index.expiration_index) {
    e.u32(second);
    e.count(slots.size());
    for (uint32_t slot : slots) e.u32(slot);
  }
}

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
  File file;
  TARNIX_ASSIGN_OR_RETURN(file, File::open(fs, path, O_WRONLY | O_CREAT | O_TRUNC));
  BufferedFileWriter writer(file, kSnapshotWriteBuffer);
  Encoder e(writer);
  encode_snapshot(e, index);
  TARNIX_RETURN_IF_ERROR(writer.flush());
  return file.sync();
}

std::optional<SnapshotData> load_snapshot(FileSystem& fs, const std::string& dir) {
  std::string path = join_path(dir, kSnapshotFile);
  Result<bool> present = fs.exists(path);
  if (present.ok() && !*present) return std::nullopt;
  Result<File> file = File::open(fs, path, O_RDONLY);
  if (!file.ok()) {
    print_warning("Could not open snapshot.bin: " + file.status().message());
    return std::nullopt;
  }
  Result<uint64_t> length = file->size();
  uint64_t limit = length.ok() ? *length + kSnapshotLimitSlack : kSnapshotLimitSlack - 1;
  BufferedFileReader reader(*file, length.ok() ? *length : 0, kReadBuffer);
  Decoder d(reader, limit);
  SnapshotData data = decode_snapshot(d);
  if (!d.ok()) {
    print_warning("snapshot.bin is corrupt or incompatible (" + d.status().message() +
                  "). Ignoring and rebuilding from WAL.");
    return std::nullopt;
  }
  return data;
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
