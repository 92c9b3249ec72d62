#include "util/bitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace tarnix {
namespace {

roaring_bitmap_t* checked(roaring_bitmap_t* r) {
  if (!r) throw std::bad_alloc();
  return r;
}

// The portable serialized format: the cookies of its two forms (with a bit per container
// telling run containers apart, or without run containers), and its containers of 65536
// values, each a bitset of 1024 words above 4096 members and a sorted list of 16-bit low
// halves otherwise.
constexpr uint32_t kCookieWithoutRuns = 12346;
constexpr uint32_t kCookieWithRuns = 12347;
constexpr size_t kChunkWords = 65536 / 64;
constexpr uint32_t kArrayMaxCardinality = 4096;

}  // namespace

const roaring_bitmap_t* Bitmap::empty_bitmap() {
  static const roaring_bitmap_t* const kEmpty = checked(roaring_bitmap_create());
  return kEmpty;
}

roaring_bitmap_t* Bitmap::mut() {
  if (!r_) r_ = checked(roaring_bitmap_create());
  return r_;
}

Bitmap::Bitmap(const Bitmap& other)
    : r_(other.r_ ? checked(roaring_bitmap_copy(other.r_)) : nullptr) {}

Bitmap& Bitmap::operator=(const Bitmap& other) {
  if (this != &other) {
    Bitmap copy(other);
    std::swap(r_, copy.r_);
  }
  return *this;
}

Bitmap Bitmap::of(std::initializer_list<uint32_t> values) {
  Bitmap b;
  b.add_many(values.begin(), values.size());
  return b;
}

Bitmap Bitmap::range(uint64_t lo, uint64_t hi) {
  if (hi <= lo) return Bitmap();
  return Bitmap(checked(roaring_bitmap_from_range(lo, hi, 1)));
}

Bitmap Bitmap::from_words(const uint64_t* words, size_t count) {
  // Written in the portable serialized format without run containers, which the library
  // reads chunk by chunk: a chunk of more than 4096 values as its 8 KiB bitset, a smaller one
  // as its sorted 16-bit low halves. The buffer is made here, so it needs none of the checks
  // that portable_deserialize applies to stored bytes.
  struct Chunk {
    uint32_t key, cardinality;
  };
  std::vector<Chunk> chunks;
  size_t body = 0;
  for (size_t first = 0; first < count; first += kChunkWords) {
    size_t end = std::min(count, first + kChunkWords);
    uint32_t cardinality = 0;
    for (size_t i = first; i < end; ++i) cardinality += std::popcount(words[i]);
    if (cardinality == 0) continue;
    chunks.push_back({static_cast<uint32_t>(first / kChunkWords), cardinality});
    body += cardinality > kArrayMaxCardinality ? kChunkWords * 8 : cardinality * 2;
  }
  if (chunks.empty()) return Bitmap();

  std::string buffer(8 + chunks.size() * 8 + body, '\0');
  char* out = buffer.data();
  auto put = [](char* at, auto value) { std::memcpy(at, &value, sizeof value); };
  put(out, kCookieWithoutRuns);
  put(out + 4, static_cast<uint32_t>(chunks.size()));
  char* header = out + 8;
  char* offsets = header + chunks.size() * 4;
  char* data = offsets + chunks.size() * 4;
  for (const Chunk& chunk : chunks) {
    put(header, static_cast<uint16_t>(chunk.key));
    put(header + 2, static_cast<uint16_t>(chunk.cardinality - 1));
    header += 4;
    put(offsets, static_cast<uint32_t>(data - out));
    offsets += 4;
    size_t first = chunk.key * kChunkWords;
    size_t end = std::min(count, first + kChunkWords);
    if (chunk.cardinality > kArrayMaxCardinality) {
      // The words past `count` stay zero.
      std::memcpy(data, words + first, (end - first) * 8);
      data += kChunkWords * 8;
      continue;
    }
    for (size_t i = first; i < end; ++i) {
      for (uint64_t w = words[i]; w != 0; w &= w - 1) {
        put(data, static_cast<uint16_t>((i - first) * 64 + std::countr_zero(w)));
        data += 2;
      }
    }
  }
  return Bitmap(checked(roaring_bitmap_portable_deserialize_safe(buffer.data(), buffer.size())));
}

void Bitmap::remove_from(uint64_t bound) {
  if (r_ && bound <= UINT32_MAX) roaring_bitmap_remove_range(r_, bound, uint64_t{1} << 32);
}

std::optional<uint32_t> Bitmap::minimum() const {
  if (empty()) return std::nullopt;
  return roaring_bitmap_minimum(r_);
}

std::optional<uint32_t> Bitmap::maximum() const {
  if (empty()) return std::nullopt;
  return roaring_bitmap_maximum(r_);
}

Bitmap& Bitmap::operator&=(const Bitmap& o) {
  if (r_) roaring_bitmap_and_inplace(r_, o.get());
  return *this;
}

Bitmap& Bitmap::operator|=(const Bitmap& o) {
  if (!o.empty()) roaring_bitmap_or_inplace(mut(), o.r_);
  return *this;
}

Bitmap& Bitmap::operator-=(const Bitmap& o) {
  if (r_ && !o.empty()) roaring_bitmap_andnot_inplace(r_, o.r_);
  return *this;
}

Bitmap operator&(const Bitmap& a, const Bitmap& b) {
  if (a.empty() || b.empty()) return Bitmap();
  return Bitmap(checked(roaring_bitmap_and(a.r_, b.r_)));
}

Bitmap operator|(const Bitmap& a, const Bitmap& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return Bitmap(checked(roaring_bitmap_or(a.r_, b.r_)));
}

Bitmap operator-(const Bitmap& a, const Bitmap& b) {
  if (a.empty()) return Bitmap();
  if (b.empty()) return a;
  return Bitmap(checked(roaring_bitmap_andnot(a.r_, b.r_)));
}

Bitmap Bitmap::union_of(std::span<const Bitmap* const> sets) {
  if (sets.empty()) return Bitmap();
  std::vector<const roaring_bitmap_t*> handles;
  handles.reserve(sets.size());
  for (const Bitmap* set : sets) handles.push_back(set->get());
  return Bitmap(checked(roaring_bitmap_or_many(handles.size(), handles.data())));
}

uint64_t Bitmap::and_cardinality(const Bitmap& o) const {
  if (empty() || o.empty()) return 0;
  return roaring_bitmap_and_cardinality(r_, o.r_);
}

bool Bitmap::intersects(const Bitmap& o) const {
  return !empty() && !o.empty() && roaring_bitmap_intersect(r_, o.r_);
}

bool Bitmap::operator==(const Bitmap& o) const {
  return roaring_bitmap_equals(get(), o.get());
}

std::vector<uint32_t> Bitmap::to_vector() const {
  std::vector<uint32_t> out(cardinality());
  if (!out.empty()) roaring_bitmap_to_uint32_array(r_, out.data());
  return out;
}

void Bitmap::to_words(uint64_t* words, size_t count) const {
  if (empty() || count == 0) return;
  // Read back from the library's portable serialization: a header (with a bit per container
  // telling run containers apart, in the format that has them), then each container as
  // runs, as an 8 KiB bitset (more than 4096 values) or as sorted 16-bit low halves.
  std::string bytes;
  portable_serialize(bytes);
  const char* data = bytes.data();
  auto u16 = [&](size_t at) {
    uint16_t v;
    std::memcpy(&v, data + at, 2);
    return v;
  };
  const uint64_t limit = uint64_t{count} * 64;
  auto set = [&](uint64_t value) {
    if (value < limit) words[value / 64] |= uint64_t{1} << (value % 64);
  };
  // The values [first, last], a word at a time.
  auto set_run = [&](uint64_t first, uint64_t last) {
    last = std::min(last, limit - 1);
    for (uint64_t w = first / 64; first <= last; ++w, first = w * 64) {
      const uint64_t top = std::min(last, w * 64 + 63);
      const uint64_t width = top - first + 1;
      const uint64_t ones = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
      words[w] |= ones << (first % 64);
    }
  };
  constexpr size_t kOffsetsFrom = 4;  // containers from which the run format has offsets
  uint32_t cookie;
  std::memcpy(&cookie, data, 4);
  size_t containers, at;
  const uint8_t* runs = nullptr;
  if ((cookie & 0xFFFF) == kCookieWithRuns) {
    containers = (cookie >> 16) + 1;
    runs = reinterpret_cast<const uint8_t*>(data + 4);
    at = 4 + (containers + 7) / 8;
  } else {
    uint32_t n;
    std::memcpy(&n, data + 4, 4);
    containers = n;
    at = 8;
  }
  const size_t header = at;
  at += containers * 4;
  if (!runs || containers >= kOffsetsFrom) at += containers * 4;
  for (size_t c = 0; c < containers; ++c) {
    const uint64_t base = uint64_t{u16(header + c * 4)} << 16;
    const uint32_t cardinality = uint32_t{u16(header + c * 4 + 2)} + 1;
    if (runs && (runs[c / 8] >> (c % 8)) & 1) {
      const uint16_t n = u16(at);
      at += 2;
      for (uint16_t r = 0; r < n; ++r, at += 4) {
        const uint64_t first = base + u16(at);
        set_run(first, first + u16(at + 2));
      }
    } else if (cardinality > kArrayMaxCardinality) {
      const size_t word0 = static_cast<size_t>(base / 64);
      for (size_t i = 0; i < kChunkWords && word0 + i < count; ++i) {
        uint64_t w;
        std::memcpy(&w, data + at + i * 8, 8);
        words[word0 + i] |= w;
      }
      at += kChunkWords * 8;
    } else {
      for (uint32_t i = 0; i < cardinality; ++i) set(base + u16(at + i * 2));
      at += size_t{cardinality} * 2;
    }
  }
}

size_t Bitmap::portable_size() const { return roaring_bitmap_portable_size_in_bytes(get()); }

void Bitmap::portable_serialize(std::string& out) const {
  size_t at = out.size();
  out.resize(at + portable_size());
  roaring_bitmap_portable_serialize(get(), out.data() + at);
}

Result<Bitmap> Bitmap::portable_deserialize(const char* data, size_t size) {
  // There is one container per distinct high 16 bits, so never more than 65536. The library's
  // size probe lets a container count with the top bit set through, and its decoder then
  // sizes arrays by that count (a product that wraps on 32-bit machines), so the count of
  // the format without run containers is checked here first. The other format cannot state
  // more than 65536.
  uint32_t cookie = 0;
  if (size >= 8) std::memcpy(&cookie, data, 4);
  if (cookie == kCookieWithoutRuns) {
    uint32_t containers;
    std::memcpy(&containers, data + 4, 4);
    if (containers > 65536) {
      return Status::invalid_data("roaring bitmap claims " + std::to_string(containers) +
                                  " containers");
    }
  }
  // The size probe walks the header without trusting it; a blob that claims more bytes than
  // it has is refused here, before the decoder allocates anything.
  size_t needed = roaring_bitmap_portable_deserialize_size(data, size);
  if (needed == 0 || needed != size) {
    return Status::invalid_data("invalid roaring bitmap of " + std::to_string(size) + " bytes");
  }
  roaring_bitmap_t* r = roaring_bitmap_portable_deserialize_safe(data, size);
  if (!r) return Status::invalid_data("invalid roaring bitmap");
  Bitmap decoded(r);
  // The portable decoder does not check that containers hold sorted, distinct values, that
  // runs stay inside their container, or that stated cardinalities are true; set operations
  // assume all of that. So the values are read back, checked, and rebuilt into a bitmap whose
  // structure we made ourselves.
  std::vector<uint32_t> values;
  values.reserve(std::min<uint64_t>(decoded.cardinality(), size * 8));
  int64_t previous = -1;
  bool sorted = decoded.for_each([&](uint32_t v) {
    if (static_cast<int64_t>(v) <= previous) return false;
    previous = v;
    values.push_back(v);
    return true;
  });
  if (!sorted || values.size() != decoded.cardinality()) {
    return Status::invalid_data("roaring bitmap holds unsorted or duplicate values");
  }
  Bitmap rebuilt;
  rebuilt.add_many(values.data(), values.size());
  return rebuilt;
}

}  // namespace tarnix
