// NumericBsiIndex: a bit-sliced index of 32-bit float values per slot.
//
// Values are stored under an order-preserving 32-bit code (unsigned order of codes equals the
// numeric order of the floats), one bitmap per code bit. Equality and range questions cost at
// most 32 bitmap operations, whatever the number of slots.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "storage/codec.h"
#include "util/bitmap.h"

namespace tarnix {

// Sign bit 0: flip the sign bit; sign bit 1: invert all bits. -0.0 sorts just below +0.0.
uint32_t encode_order(float x);
float decode_order(uint32_t code);

struct NumericBsiIndex {
  // slices[i] holds the slots whose code has bit i set.
  std::array<Bitmap, 32> slices;
  // The slots that hold a value.
  Bitmap existence;
  // Bounds over every code ever inserted; remove() never narrows them.
  uint32_t min_code = 0xFFFFFFFF;
  uint32_t max_code = 0;
  uint8_t max_bit = 0;

  // Records x for the slot (overwriting an earlier value); NaN is ignored.
  void insert(uint32_t slot, float x);
  void remove(uint32_t slot);
  std::optional<float> get_value(uint32_t slot) const;

  // With `within`, the answer is intersected with it, and the walk over the slices starts
  // from the slots within it only, which is cheaper the smaller it is.
  Bitmap equal_to(float x, const Bitmap* within = nullptr) const;
  // Slots whose code is strictly below / above `code`.
  Bitmap less_than_encoded(uint32_t code, const Bitmap* within = nullptr) const;
  Bitmap greater_than_encoded(uint32_t code, const Bitmap* within = nullptr) const;

  // The snapshot record: 32 slices (no count), existence, min_code, max_code, max_bit.
  void encode(Encoder& e) const;
  static NumericBsiIndex decode(Decoder& d);
};

}  // namespace tarnix
