// Compiled with -ffp-contract=off (CMakeLists.txt): a fused multiply-add rounds once where
// the written expression rounds twice, which would make the projection machine-dependent.
#include "projection/pca_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "util/fnv.h"

namespace tarnix {
namespace {

constexpr uint32_t kErased = UINT32_MAX - 1;
// Removed points are compacted away once there are more of them than live ones.
constexpr size_t kMinRemovedForCompaction = 64;
constexpr size_t kMinIdBlock = 4096;
constexpr size_t kMaxIdBlock = size_t{1} << 20;
// A cancelled sync is noticed within this many points.
constexpr size_t kCancelCheckEvery = 1024;

// Code byte b stands for b / 127.5 - 1.
struct DecodeTable {
  float v[256];
  DecodeTable() {
    for (int b = 0; b < 256; ++b) v[b] = static_cast<float>(b) / 127.5f - 1.0f;
  }
};
const DecodeTable kDecode;

float dot(const float* a, const float* b, size_t n) {
  float s = 0.0f;
  for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

float divisor(const std::vector<float>& v) {
  float norm = std::sqrt(dot(v.data(), v.data(), v.size()));
  return std::isfinite(norm) && norm > 1e-12f ? norm : 1.0f;
}

void divide(std::vector<float>& v, float d) {
  for (float& x : v) x = x / d;
}

uint32_t hash_of(std::string_view id) {
  return static_cast<uint32_t>((id_hash(id) * 0x9E3779B97F4A7C15ULL) >> 32);
}

void fit_scratch(std::vector<float>& scratch, size_t dim) {
  if (scratch.size() < dim) scratch.resize(dim, 0.0f);
}

}  // namespace

// ---- PcaUpsertList. ----

void PcaUpsertList::add(std::string_view id, const uint8_t* code) {
  if (size_ % kBlockItems == 0) {
    blocks_.emplace_back();
    blocks_.back().id_ends.reserve(kBlockItems);
    blocks_.back().codes.reserve(kBlockItems * code_length_);
  }
  Block& b = blocks_.back();
  b.id_bytes.append(id);
  b.id_ends.push_back(b.id_bytes.size());
  b.codes.insert(b.codes.end(), code, code + code_length_);
  ++size_;
}

std::string_view PcaUpsertList::id(size_t i) const {
  const Block& b = blocks_[i / kBlockItems];
  size_t k = i % kBlockItems;
  size_t begin = k == 0 ? 0 : b.id_ends[k - 1];
  return std::string_view(b.id_bytes).substr(begin, b.id_ends[k] - begin);
}

std::span<const uint8_t> PcaUpsertList::code(size_t i) const {
  const Block& b = blocks_[i / kBlockItems];
  return {b.codes.data() + (i % kBlockItems) * code_length_, code_length_};
}

void PcaUpsertList::release_before(size_t i) {
  for (size_t block = 0; block < i / kBlockItems && block < blocks_.size(); ++block) {
    blocks_[block] = Block();
  }
}

// ---- IdStore. ----

const char* PcaModel::IdStore::add(std::string_view id) {
  static const char kEmpty[1] = "";
  if (id.empty()) return kEmpty;
  if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < id.size()) {
    size_t capacity = blocks_.empty() ? kMinIdBlock : std::min(kMaxIdBlock, 2 * blocks_.back().capacity);
    capacity = std::max(capacity, id.size());
    // Not zero-filled: only the bytes written are ever read.
    blocks_.push_back(Block{std::shared_ptr<char[]>(new char[capacity]), capacity, 0});
  }
  Block& b = blocks_.back();
  char* out = b.bytes.get() + b.used;
  std::memcpy(out, id.data(), id.size());
  b.used += id.size();
  return out;
}

void PcaModel::IdStore::clear() { blocks_.clear(); }

std::vector<std::shared_ptr<const void>> PcaModel::IdStore::blocks() const {
  std::vector<std::shared_ptr<const void>> out;
  out.reserve(blocks_.size());
  for (const Block& b : blocks_) out.push_back(b.bytes);
  return out;
}

// ---- The model. ----

PcaModel::PcaModel() = default;

void PcaModel::ensure_pca_model_dim(uint32_t d) {
  if (d == dim_) return;
  point_count_ = 0;
  update_count_ = 0;
  dim_ = d;
  mean_.assign(d, 0.0f);
  // A fixed generator, restarted on every reset, so a dimension always gets the same
  // starting components.
  uint32_t state = 0x9E3779B9u;
  for (std::vector<float>& c : components_) {
    c.resize(d);
    for (float& v : c) {
      state = state * 1664525u + 1013904223u;
      v = static_cast<float>(state & 0xFFFFu) * (1.0f / 32768.0f) - 1.0f;
    }
  }
  orthonormalize3(components_);
  entries_.clear();
  entries_.shrink_to_fit();
  codes_.clear();
  codes_.shrink_to_fit();
  order_.clear();
  order_.shrink_to_fit();
  table_.clear();
  table_.shrink_to_fit();
  free_head_ = kNone;
  live_ = 0;
  table_used_ = 0;
  ids_.clear();
  cursor_ = 0;
  cursor_hint_ = 0;
}

void PcaModel::orthonormalize3(std::array<std::vector<float>, 3>& components) {
  auto& [c0, c1, c2] = components;
  const size_t n = c0.size();
  divide(c0, divisor(c0));

  float p = dot(c1.data(), c0.data(), n);
  for (size_t i = 0; i < n; ++i) c1[i] = c1[i] - p * c0[i];
  divide(c1, divisor(c1));

  // Classical Gram-Schmidt: both projections come from c2 as it was.
  float a = dot(c2.data(), c0.data(), n);
  float b = dot(c2.data(), c1.data(), n);
  for (size_t i = 0; i < n; ++i) c2[i] = c2[i] - (b * c1[i] + a * c0[i]);
  divide(c2, divisor(c2));
}

void PcaModel::centre(const uint8_t* code, float* u) const {
  for (uint32_t i = 0; i < dim_; ++i) u[i] = kDecode.v[code[i]] - mean_[i];
}

void PcaModel::project(uint32_t entry, const float* u) {
  Entry& e = entries_[entry];
  e.x = dot(u, components_[0].data(), dim_);
  e.y = dot(u, components_[1].data(), dim_);
  e.z = dot(u, components_[2].data(), dim_);
}

void PcaModel::apply_upsert_internal(std::string_view id, std::span<const uint8_t> code,
                                     std::vector<float>& scratch) {
  ensure_pca_model_dim(static_cast<uint32_t>(code.size()));
  if (dim_ == 0) return;
  fit_scratch(scratch, dim_);
  float* u = scratch.data();
  const uint32_t hash = hash_of(id);
  const char* stored_id;
  uint32_t existing = find(id, hash);
  if (existing != kNone) {
    // The re-learnt point keeps the id bytes it had.
    stored_id = entries_[existing].id;
    remove_and_unlearn(existing, scratch);
  } else {
    stored_id = ids_.add(id);
  }

  if (point_count_ > 0) {
    float n1 = static_cast<float>(point_count_ + 1);
    for (uint32_t i = 0; i < dim_; ++i) {
      mean_[i] = mean_[i] + (kDecode.v[code[i]] - mean_[i]) / n1;
    }
  } else {
    for (uint32_t i = 0; i < dim_; ++i) mean_[i] = kDecode.v[code[i]];
  }
  ++point_count_;
  ++update_count_;
  centre(code.data(), u);
  float lr = 0.1f / (1.0f + static_cast<float>(update_count_) * 0.0006f);
  for (std::vector<float>& c : components_) {
    float y = dot(u, c.data(), dim_);
    float step = lr * y;
    for (uint32_t i = 0; i < dim_; ++i) c[i] = c[i] + step * (u[i] - y * c[i]);
  }
  if (update_count_ % 64 == 0) orthonormalize();

  // The mean has not moved since u was taken, so u is the re-centred point.
  uint32_t entry = new_entry(stored_id, static_cast<uint32_t>(id.size()), hash);
  std::memcpy(codes_.data() + size_t{entry} * dim_, code.data(), dim_);
  project(entry, u);
  table_insert(entry);
  append_to_order(entry);
  maybe_compact();
}

void PcaModel::apply_delete_internal(std::string_view id, std::vector<float>& scratch) {
  uint32_t entry = find(id, hash_of(id));
  if (entry == kNone) return;
  remove_and_unlearn(entry, scratch);
  maybe_compact();
}

void PcaModel::remove_and_unlearn(uint32_t entry, std::vector<float>& scratch) {
  table_erase(entry);
  size_t position = entries_[entry].link;
  order_[position] = kNone;
  --live_;
  // The cursor counts live points and is not moved, so a removal before it shifts the next
  // point to refresh one further on.
  if (cursor_hint_ && position < *cursor_hint_) {
    size_t j = *cursor_hint_;
    while (j < order_.size() && order_[j] == kNone) ++j;
    if (j == order_.size()) {
      cursor_hint_.reset();
    } else {
      cursor_hint_ = j + 1;
    }
  }

  const uint8_t* code = code_of(entry);
  if (point_count_ > 1) {
    fit_scratch(scratch, dim_);
    float* u = scratch.data();
    float n = static_cast<float>(point_count_);
    for (uint32_t i = 0; i < dim_; ++i) {
      mean_[i] = (mean_[i] * n - kDecode.v[code[i]]) / (n - 1.0f);
    }
    --point_count_;
    ++update_count_;
    centre(code, u);
    float lr = 0.03f / (1.0f + static_cast<float>(update_count_) * 0.0004f);
    for (std::vector<float>& c : components_) {
      float y = dot(u, c.data(), dim_);
      float step = lr * y;
      for (uint32_t i = 0; i < dim_; ++i) c[i] = c[i] - step * (u[i] - y * c[i]);
    }
    if (update_count_ % 64 == 0) orthonormalize();
  } else {
    point_count_ = 0;
    std::fill(mean_.begin(), mean_.end(), 0.0f);
  }

  Entry& e = entries_[entry];
  e.id = nullptr;
  e.link = free_head_;
  free_head_ = entry;
}

uint32_t PcaModel::new_entry(const char* id, uint32_t id_length, uint32_t hash) {
  uint32_t entry;
  if (free_head_ != kNone) {
    entry = free_head_;
    free_head_ = entries_[entry].link;
  } else {
    entry = static_cast<uint32_t>(entries_.size());
    entries_.emplace_back();
    codes_.resize(codes_.size() + dim_);
  }
  Entry& e = entries_[entry];
  e.id = id;
  e.id_length = id_length;
  e.hash = hash;
  return entry;
}

void PcaModel::append_to_order(uint32_t entry) {
  entries_[entry].link = static_cast<uint32_t>(order_.size());
  order_.push_back(entry);
  ++live_;
}

size_t PcaModel::cursor_position() {
  if (!cursor_hint_) {
    size_t seen = 0, j = 0;
    for (; j < order_.size(); ++j) {
      if (order_[j] == kNone) continue;
      if (seen == cursor_) break;
      ++seen;
    }
    cursor_hint_ = j;
  }
  size_t j = *cursor_hint_;
  while (order_[j] == kNone) ++j;
  return j;
}

void PcaModel::reproject_some(uint64_t budget, std::vector<float>& scratch) {
  if (live_ == 0) return;
  fit_scratch(scratch, dim_);
  float* u = scratch.data();
  uint64_t steps = budget;
  std::optional<uint32_t> final_cursor;
  if (budget > live_) {
    // Refreshing a point twice in one call gives the same values twice (nothing else
    // changes meanwhile), so one turn over every point does the work; only where the
    // cursor stops depends on the whole budget.
    uint64_t start = cursor_ >= live_ ? 0 : cursor_;
    final_cursor = static_cast<uint32_t>((start + budget - 1) % live_ + 1);
    steps = live_;
  }
  for (uint64_t s = 0; s < steps; ++s) {
    if (cursor_ >= live_) {
      cursor_ = 0;
      cursor_hint_ = 0;
    }
    size_t j = cursor_position();
    centre(code_of(order_[j]), u);
    project(order_[j], u);
    ++cursor_;
    cursor_hint_ = j + 1;
  }
  if (final_cursor) {
    cursor_ = *final_cursor;
    cursor_hint_.reset();
  }
}

PcaCache PcaModel::build_cache_from_model() const {
  PcaCache cache;
  cache.points.reserve(live_);
  for (uint32_t entry : order_) {
    if (entry == kNone) continue;
    const Entry& e = entries_[entry];
    cache.points.push_back(PcaPoint{e.id, e.id_length, e.x, e.y, e.z});
  }
  cache.id_storage = ids_.blocks();
  return cache;
}

bool PcaModel::reconcile_snapshot_incremental(PcaUpsertList& upserts,
                                              std::vector<float>& scratch,
                                              const std::atomic<bool>* cancel) {
  if (upserts.empty()) return true;
  auto cancelled = [&](size_t i) {
    return cancel && i % kCancelCheckEvery == 0 && cancel->load(std::memory_order_relaxed);
  };
  ensure_pca_model_dim(upserts.code_length());
  std::vector<bool> listed(entries_.size());
  size_t fresh = 0;
  for (size_t i = 0; i < upserts.size(); ++i) {
    if (cancelled(i)) return false;
    std::string_view id = upserts.id(i);
    uint32_t entry = find(id, hash_of(id));
    if (entry != kNone) {
      listed[entry] = true;
    } else {
      ++fresh;
    }
  }
  // Room for the new points at once: growing by doubling would leave up to twice the
  // codes allocated.
  entries_.reserve(entries_.size() + fresh);
  codes_.reserve((entries_.size() + fresh) * size_t{dim_});
  order_.reserve(order_.size() + upserts.size());
  std::vector<uint32_t> gone;
  for (uint32_t entry : order_) {
    if (entry != kNone && !listed[entry]) gone.push_back(entry);
  }
  // Entry numbers stay put until the compaction below.
  for (size_t i = 0; i < gone.size(); ++i) {
    if (cancelled(i)) return false;
    remove_and_unlearn(gone[i], scratch);
  }
  maybe_compact();
  for (size_t i = 0; i < upserts.size(); ++i) {
    if (cancelled(i)) return false;
    if (i % kCancelCheckEvery == 0) upserts.release_before(i);
    apply_upsert_internal(upserts.id(i), upserts.code(i), scratch);
  }
  upserts = PcaUpsertList();
  return true;
}

// ---- The id table. ----

uint32_t PcaModel::find(std::string_view id, uint32_t hash) const {
  if (table_.empty()) return kNone;
  const size_t mask = table_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    uint32_t t = table_[i];
    if (t == kNone) return kNone;
    if (t != kErased && entries_[t].hash == hash && id_of(entries_[t]) == id) return t;
  }
}

void PcaModel::table_insert(uint32_t entry) {
  if ((table_used_ + 1) * 2 > table_.size()) table_rebuild(live_ + 1);
  const size_t mask = table_.size() - 1;
  size_t i = entries_[entry].hash & mask;
  while (table_[i] != kNone && table_[i] != kErased) i = (i + 1) & mask;
  if (table_[i] == kNone) ++table_used_;
  table_[i] = entry;
}

void PcaModel::table_erase(uint32_t entry) {
  const size_t mask = table_.size() - 1;
  size_t i = entries_[entry].hash & mask;
  while (table_[i] != entry) i = (i + 1) & mask;
  table_[i] = kErased;
}

void PcaModel::table_rebuild(size_t expected) {
  size_t capacity = 16;
  while (capacity < 2 * expected + 2) capacity *= 2;
  table_.assign(capacity, kNone);
  table_used_ = 0;
  const size_t mask = capacity - 1;
  for (uint32_t entry : order_) {
    if (entry == kNone) continue;
    size_t i = entries_[entry].hash & mask;
    while (table_[i] != kNone) i = (i + 1) & mask;
    table_[i] = entry;
    ++table_used_;
  }
}

void PcaModel::maybe_compact() {
  size_t removed = order_.size() - live_;
  if (removed < kMinRemovedForCompaction || removed <= live_) return;
  std::vector<Entry> entries;
  entries.reserve(live_);
  std::vector<uint8_t> codes(live_ * dim_);
  IdStore ids;
  for (uint32_t old : order_) {
    if (old == kNone) continue;
    Entry e = entries_[old];
    e.id = ids.add(id_of(entries_[old]));
    e.link = static_cast<uint32_t>(entries.size());
    std::memcpy(codes.data() + entries.size() * dim_, code_of(old), dim_);
    entries.push_back(e);
  }
  entries_ = std::move(entries);
  codes_ = std::move(codes);
  ids_ = std::move(ids);
  order_.resize(live_);
  for (size_t i = 0; i < live_; ++i) order_[i] = static_cast<uint32_t>(i);
  order_.shrink_to_fit();
  free_head_ = kNone;
  if (cursor_ <= live_) {
    cursor_hint_ = cursor_;
  } else {
    cursor_hint_.reset();
  }
  table_rebuild(live_);
}

// ---- Observers. ----

std::vector<std::string> PcaModel::order() const {
  std::vector<std::string> out;
  out.reserve(live_);
  for (uint32_t entry : order_) {
    if (entry != kNone) out.emplace_back(id_of(entries_[entry]));
  }
  return out;
}

std::optional<std::array<float, 3>> PcaModel::coordinates(std::string_view id) const {
  uint32_t entry = find(id, hash_of(id));
  if (entry == kNone) return std::nullopt;
  const Entry& e = entries_[entry];
  return std::array<float, 3>{e.x, e.y, e.z};
}

}  // namespace tarnix
