// PcaModel: an incremental three-component principal-component projection of the stored
// vectors. An upsert teaches the model with one step of Oja's rule, a delete un-teaches it
// with a smaller step of the opposite sign, and Gram-Schmidt keeps the components
// orthonormal at fixed points. Every point keeps its own coordinates, refreshed round-robin
// as the components drift.
//
// All arithmetic is in 32-bit floats with dot products summed in index order, and this
// translation unit is compiled without floating-point contraction, so results do not depend
// on the compiler or the machine.
//
// Thread safety: none. The model is pure arithmetic (no locks, no I/O); its owner serialises
// every call.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnix {

// An item's id and its vector codes, as the model learns them.
struct PcaUpsert {
  std::string id;
  std::vector<uint8_t> code;
};

// A list of upserts whose codes all have the same length, laid end to end in blocks: a full
// sync of a large store holds every item, and one buffer per item would cost an allocation
// each. The blocks already learnt can be released while a sync goes on, so the list and the
// model it fills do not both have to be held whole.
class PcaUpsertList {
 public:
  PcaUpsertList() = default;
  explicit PcaUpsertList(uint32_t code_length) : code_length_(code_length) {}

  // `code` must have code_length() bytes.
  void add(std::string_view id, const uint8_t* code);

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint32_t code_length() const { return code_length_; }
  // Items of a released block are gone.
  std::string_view id(size_t i) const;
  std::span<const uint8_t> code(size_t i) const;
  // Frees the blocks that hold only items before `i`.
  void release_before(size_t i);

 private:
  static constexpr size_t kBlockItems = 1 << 16;
  struct Block {
    std::string id_bytes;
    std::vector<size_t> id_ends;
    std::vector<uint8_t> codes;
  };
  uint32_t code_length_ = 0;
  size_t size_ = 0;
  std::vector<Block> blocks_;
};

// A published point. Its id points into storage that the PcaCache holding the point keeps
// alive.
struct PcaPoint {
  const char* id_data;
  uint32_t id_size;
  float x, y, z;
  std::string_view id() const { return {id_data, id_size}; }
};

// The published points, in the model's order. Immutable once built: streams share it.
struct PcaCache {
  std::vector<PcaPoint> points;
  // The blocks holding the ids that `points` refers to.
  std::vector<std::shared_ptr<const void>> id_storage;
};

class PcaModel {
 public:
  PcaModel();

  // Makes the model work in dimension d: a different d drops every point, zeroes the mean
  // and re-seeds the components (the same d always gives the same components).
  void ensure_pca_model_dim(uint32_t d);
  // Gram-Schmidt on c0, c1, c2 in place (classical for c2). A vector whose norm is not
  // finite or not above 1e-12 is divided by 1.0, so it keeps its values.
  static void orthonormalize3(std::array<std::vector<float>, 3>& components);
  void orthonormalize() { orthonormalize3(components_); }

  // Learns one point, or re-learns it (moving it to the end of the order) if its id is
  // present. A code of another length resets the model first; an empty one is ignored.
  // `scratch` is the caller's buffer, grown here when it is shorter than the dimension.
  void apply_upsert_internal(std::string_view id, std::span<const uint8_t> code,
                             std::vector<float>& scratch);
  // Un-learns and removes one point; an absent id changes nothing.
  void apply_delete_internal(std::string_view id, std::vector<float>& scratch);
  // Recomputes the coordinates of up to `budget` points round-robin, from where the last
  // call stopped.
  void reproject_some(uint64_t budget, std::vector<float>& scratch);
  // Every point in order, sharing the model's id storage.
  PcaCache build_cache_from_model() const;
  // Makes the model's membership the list's, then re-learns every listed point in list
  // order (an empty list changes nothing), releasing the list's blocks as they are learnt.
  // Returns false, leaving the model partly updated, when `cancel` was set on the way: the
  // caller is shutting down.
  bool reconcile_snapshot_incremental(PcaUpsertList& upserts, std::vector<float>& scratch,
                                      const std::atomic<bool>* cancel = nullptr);

  // ---- Observers. ----
  uint32_t dim() const { return dim_; }
  uint64_t point_count() const { return point_count_; }
  uint64_t update_count() const { return update_count_; }
  uint32_t reproject_cursor() const { return cursor_; }
  const std::array<std::vector<float>, 3>& components() const { return components_; }
  const std::vector<float>& mean() const { return mean_; }
  size_t size() const { return live_; }
  // The ids in order.
  std::vector<std::string> order() const;
  // A point's last computed coordinates.
  std::optional<std::array<float, 3>> coordinates(std::string_view id) const;

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  // One point. Entries live in one vector and are reused through a free list; their codes
  // live in one buffer at entry * dim.
  struct Entry {
    const char* id = nullptr;  // into an id block; null while the entry is free
    uint32_t id_length = 0;
    uint32_t hash = 0;
    // The entry's index in order_ while it is used; the next free entry while it is free.
    uint32_t link = kNone;
    float x = 0, y = 0, z = 0;
  };

  // Append-only blocks of id bytes, shared with the caches published from them.
  class IdStore {
   public:
    const char* add(std::string_view id);
    void clear();
    std::vector<std::shared_ptr<const void>> blocks() const;

   private:
    struct Block {
      std::shared_ptr<char[]> bytes;
      size_t capacity = 0;
      size_t used = 0;
    };
    std::vector<Block> blocks_;
  };

  std::string_view id_of(const Entry& e) const { return {e.id, e.id_length}; }
  const uint8_t* code_of(uint32_t entry) const { return codes_.data() + size_t{entry} * dim_; }
  // u = decoded code - mean, into scratch.
  void centre(const uint8_t* code, float* u) const;
  void project(uint32_t entry, const float* u);

  // The id table: open addressing over entry indices, so an id is stored once.
  uint32_t find(std::string_view id, uint32_t hash) const;
  void table_insert(uint32_t entry);
  void table_erase(uint32_t entry);
  void table_rebuild(size_t capacity);

  uint32_t new_entry(const char* id, uint32_t id_length, uint32_t hash);
  // Takes the entry out of the table and the order and frees it, then un-learns its code.
  void remove_and_unlearn(uint32_t entry, std::vector<float>& scratch);
  void append_to_order(uint32_t entry);
  // Rebuilds entries, codes, order, ids and table densely in order, once removed points
  // take up more room than the live ones.
  void maybe_compact();
  // The index in order_ of the point at logical position cursor_ (cursor_ < live_).
  size_t cursor_position();

  // ---- The model. ----
  uint32_t dim_ = 0;
  uint64_t point_count_ = 0;
  uint64_t update_count_ = 0;
  std::array<std::vector<float>, 3> components_;
  std::vector<float> mean_;

  // ---- The points. ----
  std::vector<Entry> entries_;
  std::vector<uint8_t> codes_;
  uint32_t free_head_ = kNone;
  // Entry indices in order; removed points leave kNone until the next compaction.
  std::vector<uint32_t> order_;
  size_t live_ = 0;
  std::vector<uint32_t> table_;
  size_t table_used_ = 0;  // entries plus erased markers
  IdStore ids_;

  // The round-robin position, counted in live points as if removed ones had closed up.
  // cursor_hint_, when known, is an index into order_ with exactly cursor_ live points
  // before it, so that finding the cursor's point does not take a walk from the start.
  uint32_t cursor_ = 0;
  std::optional<size_t> cursor_hint_ = 0;
};

}  // namespace tarnix
