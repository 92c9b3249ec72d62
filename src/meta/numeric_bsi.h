// NumericBsiIndex: a bit-sliced index of 32-bit float values per slot.
//
// Values are stored under an order-preserving 32-bit code (unsigned order of codes equals the
// numeric order of the floats), one bitmap per code bit: the form the snapshot keeps. For a
// field that most slots hold, every slot's code is also kept in memory in a plain array, so
// that an equality or range question is one vectorised pass over 4 bytes a slot (or a look
// at each slot of a small restriction) instead of up to 32 passes of three bitmap
// operations each. A sparse field walks its slices, which are small.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

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
  // Empty, or codes[s] is the code of slot s for every s in `existence` (other entries mean
  // nothing): kept while the field is dense, never stored, derived from the slices.
  std::vector<uint32_t> codes;

  // Records x for the slot (overwriting an earlier value); NaN is ignored.
  void insert(uint32_t slot, float x);
  void remove(uint32_t slot);
  std::optional<float> get_value(uint32_t slot) const;
  // Makes the code array from the slices when the field is dense enough, and drops it
  // otherwise: after the slices and existence were set other than by insert().
  void rebuild_codes();
  bool has_codes() const { return !codes.empty(); }
  // Whether a code array there is covers every slot with a value (an invariant).
  bool codes_cover_existence() const;

  // With `within`, the answer is intersected with it; a restriction much smaller than the
  // field is answered by looking at its own slots only.
  Bitmap equal_to(float x, const Bitmap* within = nullptr) const;
  // Slots whose code is strictly below / above `code`.
  Bitmap less_than_encoded(uint32_t code, const Bitmap* within = nullptr) const;
  Bitmap greater_than_encoded(uint32_t code, const Bitmap* within = nullptr) const;

  // The snapshot record: 32 slices (no count), existence, min_code, max_code, max_bit.
  void encode(Encoder& e) const;
  // Leaves the code array empty (questions then walk the slices): a damaged record may name
  // slots near 2^32, so the array is made by rebuild_codes() once the slots are known to lie
  // within the store's capacity.
  static NumericBsiIndex decode(Decoder& d);
};

}  // namespace tarnix
