#include "meta/numeric_bsi.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

namespace tarnix {
namespace {

// Position of the highest set bit; 0 for a code of 0.
int highest_bit(uint32_t code) {
  return code == 0 ? 0 : std::bit_width(code) - 1;
}

bool bit_set(uint32_t code, int i) {
  return (code >> i) & 1u;
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
}

void NumericBsiIndex::remove(uint32_t slot) {
  existence.remove(slot);
  for (Bitmap& slice : slices) slice.remove(slot);
}

std::optional<float> NumericBsiIndex::get_value(uint32_t slot) const {
  if (!existence.contains(slot)) return std::nullopt;
  uint32_t c = 0;
  for (int i = 0; i < 32; ++i) {
    if (slices[i].contains(slot)) c |= 1u << i;
  }
  return decode_order(c);
}

Bitmap NumericBsiIndex::equal_to(float x) const {
  if (std::isnan(x)) return Bitmap();
  uint32_t c = encode_order(x);
  // No stored code has a bit above max_bit.
  if (highest_bit(c) > max_bit) return Bitmap();
  Bitmap eq = existence;
  for (int i = 0; i <= max_bit && !eq.empty(); ++i) {
    if (bit_set(c, i)) {
      eq &= slices[i];
    } else {
      eq -= slices[i];
    }
  }
  return eq;
}

// Both comparisons walk from the highest bit that any stored code or the query can have:
// `eq` holds the slots whose code agrees with the query on every bit seen so far, and a slot
// leaves it for the result at the first bit where it differs in the wanted direction.

Bitmap NumericBsiIndex::less_than_encoded(uint32_t code) const {
  if (code <= min_code) return Bitmap();
  if (code > max_code) return existence;
  Bitmap lt;
  Bitmap eq = existence;
  for (int i = std::max<int>(max_bit, highest_bit(code)); i >= 0 && !eq.empty(); --i) {
    if (bit_set(code, i)) {
      lt |= eq - slices[i];
      eq &= slices[i];
    } else {
      eq -= slices[i];
    }
  }
  return lt;
}

Bitmap NumericBsiIndex::greater_than_encoded(uint32_t code) const {
  if (code >= max_code) return Bitmap();
  if (code < min_code) return existence;
  Bitmap gt;
  Bitmap eq = existence;
  for (int i = std::max<int>(max_bit, highest_bit(code)); i >= 0 && !eq.empty(); --i) {
    if (bit_set(code, i)) {
      eq &= slices[i];
    } else {
      gt |= eq & slices[i];
      eq -= slices[i];
    }
  }
  return gt;
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
  // Scans index the slices from max_bit down, so a larger value must never reach them.
  if (d.ok() && bsi.max_bit > 31) {
    d.fail("max_bit " + std::to_string(bsi.max_bit) + " of NumericBsiIndex is beyond bit 31");
  }
  return bsi;
}

}  // namespace tarnix
