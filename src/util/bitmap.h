// Bitmap: an owning RAII handle over a CRoaring bitmap of 32-bit values.
//
// The C API is used rather than the C++ header because it is the same across CRoaring
// releases. An empty bitmap holds no allocation: the handle is null until the first insert,
// which keeps the 33 bitmaps of every numeric index cheap while they are empty.
// Const operations are safe to run from several threads at once.
#pragma once

#include <roaring/roaring.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "util/status.h"

namespace tarnix {

class Bitmap {
 public:
  Bitmap() noexcept = default;
  ~Bitmap() {
    if (r_) roaring_bitmap_free(r_);
  }
  Bitmap(const Bitmap& other);
  Bitmap(Bitmap&& other) noexcept : r_(std::exchange(other.r_, nullptr)) {}
  Bitmap& operator=(const Bitmap& other);
  Bitmap& operator=(Bitmap&& other) noexcept {
    std::swap(r_, other.r_);
    return *this;
  }

  static Bitmap of(std::initializer_list<uint32_t> values);
  // All values in [lo, hi).
  static Bitmap range(uint64_t lo, uint64_t hi);
  // The values 64 i + j for every bit j set in words[i], i < count. A dense result is
  // handed over a chunk of 65536 values at a time, where adding its members one by one would
  // cost nanoseconds each.
  static Bitmap from_words(const uint64_t* words, size_t count);

  void add(uint32_t v) { roaring_bitmap_add(mut(), v); }
  void add_many(const uint32_t* values, size_t n) {
    if (n) roaring_bitmap_add_many(mut(), n, values);
  }
  void remove(uint32_t v) {
    if (r_) roaring_bitmap_remove(r_, v);
  }
  // Removes every value >= bound.
  void remove_from(uint64_t bound);
  void clear() {
    if (r_) roaring_bitmap_clear(r_);
  }
  bool contains(uint32_t v) const { return r_ && roaring_bitmap_contains(r_, v); }
  uint64_t cardinality() const { return r_ ? roaring_bitmap_get_cardinality(r_) : 0; }
  bool empty() const { return !r_ || roaring_bitmap_is_empty(r_); }
  std::optional<uint32_t> minimum() const;
  std::optional<uint32_t> maximum() const;

  Bitmap& operator&=(const Bitmap& o);
  Bitmap& operator|=(const Bitmap& o);
  Bitmap& operator-=(const Bitmap& o);
  friend Bitmap operator&(const Bitmap& a, const Bitmap& b);
  friend Bitmap operator|(const Bitmap& a, const Bitmap& b);
  friend Bitmap operator-(const Bitmap& a, const Bitmap& b);
  // The union of all the sets in one pass of the library's many-way union.
  static Bitmap union_of(std::span<const Bitmap* const> sets);
  uint64_t and_cardinality(const Bitmap& o) const;
  bool intersects(const Bitmap& o) const;
  bool operator==(const Bitmap& o) const;

  // Calls f(value) in ascending order; f may return false to stop early (then so does this).
  template <class F>
  bool for_each(F&& f) const;
  std::vector<uint32_t> to_vector() const;
  // Sets bit j of words[i] for every value 64 i + j with i < count; other bits are left as
  // they are. Whole chunks of the set are copied as the library holds them, where visiting
  // every member would cost nanoseconds each.
  void to_words(uint64_t* words, size_t count) const;

  // The published portable Roaring serialization.
  size_t portable_size() const;
  void portable_serialize(std::string& out) const;  // appends
  // Decodes exactly `size` bytes and checks that the values are strictly increasing and that
  // the stored cardinality is right, so a damaged blob is refused before any set operation.
  static Result<Bitmap> portable_deserialize(const char* data, size_t size);

  size_t shrink_to_fit() { return r_ ? roaring_bitmap_shrink_to_fit(r_) : 0; }

 private:
  explicit Bitmap(roaring_bitmap_t* owned) noexcept : r_(owned) {}
  static const roaring_bitmap_t* empty_bitmap();
  const roaring_bitmap_t* get() const { return r_ ? r_ : empty_bitmap(); }
  roaring_bitmap_t* mut();

  roaring_bitmap_t* r_ = nullptr;
};

template <class F>
bool Bitmap::for_each(F&& f) const {
  if (!r_) return true;
  roaring_uint32_iterator_t it;
  roaring_init_iterator(r_, &it);
  uint32_t buf[256];
  while (true) {
    uint32_t n = roaring_read_uint32_iterator(&it, buf, 256);
    if (n == 0) return true;
    for (uint32_t i = 0; i < n; ++i) {
      if constexpr (std::is_same_v<decltype(f(buf[i])), bool>) {
        if (!f(buf[i])) return false;
      } else {
        f(buf[i]);
      }
    }
  }
}

}  // namespace tarnix
