#include "meta/numeric_bsi.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "meta/code_compare.h"

namespace tarnix {
namespace {

// Position of the highest set bit; 0 for a code of 0.
int highest_bit(uint32_t code) {
  return code == 0 ? 0 : std::bit_width(code) - 1;
}

bool bit_set(uint32_t code, int i) {
  return (code >> i) & 1u;
}

// Afterwards bit i of m[j] is what bit j of m[i] was: the halves, quarters, ... of the
// matrix swap places across its diagonal, six rounds of 32 word pairs.
void transpose_bits(uint64_t m[64]) {
  uint64_t mask = 0x00000000FFFFFFFFull;
  for (int j = 32; j != 0; j >>= 1, mask ^= mask << j) {
    for (int k = 0; k < 64; k = ((k | j) + 1) & ~j) {
      uint64_t t = ((m[k] >> j) ^ m[k | j]) & mask;
      m[k] ^= t << j;
      m[k | j] ^= t;
    }
  }
}

// A field holds its code array while it has a value on at least an eighth of the slots up
// to its last one, so that the array costs at most 32 bytes per value, about what the
// slices cost; it lets go of the array only below a sixteenth, so that a field near the
// line does not build and drop it in turn.
constexpr uint64_t kBuildShare = 8;
constexpr uint64_t kDropShare = 16;

bool dense_enough(const Bitmap& existence, uint64_t share) {
  std::optional<uint32_t> last = existence.maximum();
  return last && existence.cardinality() * share >= uint64_t{*last} + 1;
}

// The slots a question is about: every slot with a value, or those within `within`.
Bitmap starting_set(const Bitmap& existence, const Bitmap* within) {
  return within ? existence & *within : existence;
}

}  // namespace

uint32_t encode_order(float x) {
  uint32_t b = std::bit_cast<uint32_t>(x);
  return (b & 0x80000000u) ? ~b : b ^ 0x80000000u;
}

float decode_order(uint32_t code) {
  uint32_t b = (code & 0x80000000u) ? code ^ 0x80000000u : ~code;
  return std::bit_cast<float>(b);
}

void NumericBsiIndex::insert(uint32_t slot, float x) {
  if (std::isnan(x)) return;
  existence.add(slot);
  uint32_t c = encode_order(x);
  min_code = std::min(min_code, c);
  max_code = std::max(max_code, c);
  max_bit = static_cast<uint8_t>(std::max<int>(max_bit, highest_bit(c)));
  // Every position is written so that a new value replaces the slot's old one.
  for (int i = 0; i < 32; ++i) {
    if (bit_set(c, i)) {
      slices[i].add(slot);
    } else {
      slices[i].remove(slot);
    }
  }
  // The last slot with a value is at least this one, which settles most density questions
  // without looking for it: finding a bitset container's last member scans its words.
  const uint64_t at_least = uint64_t{slot} + 1;
  if (!has_codes()) {
    if (existence.cardinality() * kBuildShare >= at_least &&
        dense_enough(existence, kBuildShare)) {
      rebuild_codes();
    }
    return;
  }
  if (slot >= codes.size()) {
    // This slot is the new last one.
    if (existence.cardinality() * kDropShare < at_least) {
      codes = std::vector<uint32_t>();
      return;
    }
    codes.resize(size_t{slot} + 1);
  }
  codes[slot] = c;
}

void NumericBsiIndex::remove(uint32_t slot) {
  existence.remove(slot);
  for (Bitmap& slice : slices) slice.remove(slot);
}

std::optional<float> NumericBsiIndex::get_value(uint32_t slot) const {
  if (!existence.contains(slot)) return std::nullopt;
  if (has_codes()) return decode_order(codes[slot]);
  uint32_t c = 0;
  for (int i = 0; i < 32; ++i) {
    if (slices[i].contains(slot)) c |= 1u << i;
  }
  return decode_order(c);
}

bool NumericBsiIndex::codes_cover_existence() const {
  std::optional<uint32_t> last = existence.maximum();
  return !last || *last < codes.size();
}

void NumericBsiIndex::rebuild_codes() {
  if (!dense_enough(existence, kBuildShare)) {
    codes = std::vector<uint32_t>();
    return;
  }
  const size_t size = size_t{*existence.maximum()} + 1;
  // The slices as plain bit words, then 64 slots at a time as one bit-matrix transpose:
  // visiting each slice member in turn would update codes all over the array, 16 times per
  // slot on average.
  const size_t words = (size + 63) / 64;
  std::vector<uint64_t> bits(words * 32, 0);
  for (int i = 0; i < 32; ++i) slices[i].to_words(bits.data() + i * words, words);
  // Whole blocks; members outside `existence` (only in a damaged record) mean nothing.
  codes.assign(words * 64, 0);
  uint64_t matrix[64];
  for (size_t w = 0; w < words; ++w) {
    for (int i = 0; i < 32; ++i) matrix[i] = bits[i * words + w];
    std::fill(matrix + 32, matrix + 64, 0);
    transpose_bits(matrix);
    for (int j = 0; j < 64; ++j) codes[w * 64 + j] = static_cast<uint32_t>(matrix[j]);
  }
  codes.resize(size);
}

namespace {

// Below this share of the field's slots, a restriction is answered slot by slot: a look up
// and a compare cost about as much as sixteen codes of the vectorised pass.
constexpr uint64_t kSparseShare = 16;
static_assert(kSparseShare <= kDropShare, "a field with codes is never sparse on its own");

Bitmap select_codes(const NumericBsiIndex& bsi, CodeOrder order, uint32_t code,
                    const Bitmap* within) {
  const std::vector<uint32_t>& codes = bsi.codes;
  // Without a restriction the pass is always the cheaper: a field with codes holds a value
  // on at least a sixteenth of them, and its whole existence set needs no copy.
  std::optional<Bitmap> start;
  if (within) {
    start = bsi.existence & *within;
    const uint64_t candidates = start->cardinality();
    if (candidates * kSparseShare < codes.size()) {
      // Every candidate is written and the count moves by the comparison's outcome, with no
      // branch on it.
      std::vector<uint32_t> kept(candidates);
      size_t count = 0;
      start->for_each([&](uint32_t slot) {
        kept[count] = slot;
        count += holds(order, codes[slot], code);
      });
      Bitmap out;
      out.add_many(kept.data(), count);
      return out;
    }
  }
  std::vector<uint64_t> words((codes.size() + 63) / 64);
  compare_codes(codes.data(), codes.size(), code, order, words.data());
  Bitmap out = Bitmap::from_words(words.data(), words.size());
  out &= start ? *start : bsi.existence;
  return out;
}

// A field without its code array walks its slices, from the highest bit where stored codes
// can differ down: `eq` holds the slots whose code agrees with the query on every bit seen
// so far, and a slot leaves it for the result at the first bit where it differs in the
// wanted direction. Every stored code lies in [min_code, max_code], and so does a query
// that reaches the walk, so the bits above the highest one where the two bounds differ move
// nothing and are skipped. Moving eq's leavers into the result in place is "result |= eq,
// eq op= slice, result -= eq", right because the result never holds a slot of eq.
Bitmap walk_slices(const NumericBsiIndex& bsi, CodeOrder order, uint32_t code,
                   const Bitmap* within) {
  Bitmap found;
  Bitmap eq = starting_set(bsi.existence, within);
  for (int i = highest_bit(bsi.min_code ^ bsi.max_code); i >= 0 && !eq.empty(); --i) {
    const bool query_bit = bit_set(code, i);
    // Below the code: the slots with a 0 where it has a 1; above it: a 1 where it has a 0.
    const bool leavers_found = order == CodeOrder::kBelow   ? query_bit
                               : order == CodeOrder::kAbove ? !query_bit
                                                            : false;
    if (leavers_found) found |= eq;
    if (query_bit) {
      eq &= bsi.slices[i];
    } else {
      eq -= bsi.slices[i];
    }
    if (leavers_found) found -= eq;
  }
  return order == CodeOrder::kEqual ? eq : found;
}

Bitmap select(const NumericBsiIndex& bsi, CodeOrder order, uint32_t code, const Bitmap* within) {
  return bsi.has_codes() ? select_codes(bsi, order, code, within)
                         : walk_slices(bsi, order, code, within);
}

}  // namespace

Bitmap NumericBsiIndex::equal_to(float x, const Bitmap* within) const {
  if (std::isnan(x)) return Bitmap();
  uint32_t c = encode_order(x);
  if (c < min_code || c > max_code) return Bitmap();
  return select(*this, CodeOrder::kEqual, c, within);
}

Bitmap NumericBsiIndex::less_than_encoded(uint32_t code, const Bitmap* within) const {
  if (code <= min_code) return Bitmap();
  if (code > max_code) return starting_set(existence, within);
  return select(*this, CodeOrder::kBelow, code, within);
}

Bitmap NumericBsiIndex::greater_than_encoded(uint32_t code, const Bitmap* within) const {
  if (code >= max_code) return Bitmap();
  if (code < min_code) return starting_set(existence, within);
  return select(*this, CodeOrder::kAbove, code, within);
}

void NumericBsiIndex::encode(Encoder& e) const {
  for (const Bitmap& slice : slices) e.bitmap(slice);
  e.bitmap(existence);
  e.u32(min_code);
  e.u32(max_code);
  e.u8(max_bit);
}

NumericBsiIndex NumericBsiIndex::decode(Decoder& d) {
  NumericBsiIndex bsi;
  for (Bitmap& slice : bsi.slices) slice = d.bitmap();
  bsi.existence = d.bitmap();
  bsi.min_code = d.u32();
  bsi.max_code = d.u32();
  bsi.max_bit = d.u8();
  // No code has a bit beyond 31: a larger value can only come from a damaged record.
  if (d.ok() && bsi.max_bit > 31) {
    d.fail("max_bit " + std::to_string(bsi.max_bit) + " of NumericBsiIndex is beyond bit 31");
  }
  return bsi;
}

}  // namespace tarnix
