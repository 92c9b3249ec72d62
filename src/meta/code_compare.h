// One comparison of an array of 32-bit order codes with a single code, written as a bitset:
// the pass that answers a numeric condition over every slot of a field at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnix {

enum class CodeOrder { kBelow, kEqual, kAbove };

// Whether `value` is below (equal to, above) `code`.
inline bool holds(CodeOrder order, uint32_t value, uint32_t code) {
  switch (order) {
    case CodeOrder::kBelow:
      return value < code;
    case CodeOrder::kEqual:
      return value == code;
    case CodeOrder::kAbove:
      return value > code;
  }
  return false;
}

// Sets bit j % 64 of words[j / 64] exactly when codes[j] is below (equal to, above) `code`,
// for j < n; the bits of the last word past n are zero. `words` holds (n + 63) / 64 words.
void compare_codes(const uint32_t* codes, size_t n, uint32_t code, CodeOrder order,
                   uint64_t* words);

}  // namespace tarnix
