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

// The slots a walk starts from: every slot with a value, or those within `within`.
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

Bitmap NumericBsiIndex::equal_to(float x, const Bitmap* within) const {
  if (std::isnan(x)) return Bitmap();
  uint32_t c = encode_order(x);
  // No stored code has a bit above max_bit.
  if (highest_bit(c) > max_bit) return Bitmap();
  Bitmap eq = starting_set(existence, within);
  for (int i = 0; i <= max_bit && !eq.empty(); ++i) {
    if (bit_set(c, i)) {
      eq &= slices[i];
    } else {
      eq -= slices[i];
    }
  }
  return eq;
}

// Both comparisons walk down from the highest bit where stored codes can differ: `eq` holds
// the slots whose code agrees with the query on every bit seen so far, and a slot leaves it
// for the result at the first bit where it differs in the wanted direction.
//
// Every stored code lies in [min_code, max_code], and so does a query that reaches the walk,
// so all of them share the bits above the highest bit where min_code and max_code differ:
// those bits move nothing and are skipped. The sets only ever shrink or grow in place (no
// temporary bitmap per bit): moving eq's leavers into the result is "result |= eq, eq op=
// slice, result -= eq", which is right because the result never holds a slot of eq.

namespace {

int first_differing_bit(uint32_t min_code, uint32_t max_code) {
  return highest_bit(min_code ^ max_code);
}

}  // namespace

Bitmap NumericBsiIndex::less_than_encoded(uint32_t code, const Bitmap* within) const {
  if (code <= min_code) return Bitmap();
  if (code > max_code) return starting_set(existence, within);
  Bitmap lt;
  Bitmap eq = starting_set(existence, within);
  for (int i = first_differing_bit(min_code, max_code); i >= 0 && !eq.empty(); --i) {
    if (bit_set(code, i)) {
      // Slots with a 0 here are below the code.
      lt |= eq;
      eq &= slices[i];
      lt -= eq;
    } else {
      eq -= slices[i];
    }
  }
  return lt;
}

Bitmap NumericBsiIndex::greater_than_encoded(uint32_t code, const Bitmap* within) const {
  if (code >= max_code) return Bitmap();
  if (code < min_code) return starting_set(existence, within);
  Bitmap gt;
  Bitmap eq = starting_set(existence, within);
  for (int i = first_differing_bit(min_code, max_code); i >= 0 && !eq.empty(); --i) {
    if (bit_set(code, i)) {
      eq &= slices[i];
    } else {
      // Slots with a 1 here are above the code.
      gt |= eq;
      eq -= slices[i];
      gt -= eq;
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
