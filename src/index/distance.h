// The distance between two vector codes: the sum of squared byte differences, accumulated in
// a 32-bit unsigned integer. Every comparison between distances is an unsigned comparison.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnix {

// Portable version: eight components per step, the remainder one by one.
uint32_t distance_scalar(const uint8_t* a, const uint8_t* b, size_t n);

// The fastest version this CPU supports (chosen once, at first use). Same integers as
// distance_scalar for every input.
using DistanceFn = uint32_t (*)(const uint8_t*, const uint8_t*, size_t);
DistanceFn best_distance_fn();

// Asks for the first cache lines of a vector code, so that a batch of neighbours' codes is
// on its way from memory before their distances are computed.
inline void prefetch_code(const uint8_t* code, size_t n) {
  for (size_t off = 0; off < n && off < 256; off += 64) __builtin_prefetch(code + off);
}

inline uint32_t distance(const uint8_t* a, const uint8_t* b, size_t n) {
  static const DistanceFn fn = best_distance_fn();
  return fn(a, b, n);
}

}  // namespace tarnix
