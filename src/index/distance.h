// The distance between two vector codes: the sum of squared byte differences, accumulated in
// a 32-bit unsigned integer. Every comparison between distances is an unsigned comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnix {

// Portable version: eight components per step, the remainder one by one.
uint32_t distance_scalar(const uint8_t* a, const uint8_t* b, size_t n);

// The fastest version this CPU supports (chosen once, at first use). Same integers as
// distance_scalar for every input.
using DistanceFn = uint32_t (*)(const uint8_t*, const uint8_t*, size_t);
DistanceFn best_distance_fn();

// One query against several codes at once: out[j] = distance(query, code j, n). The query is
// loaded once per step for all of them and the horizontal sums are taken together, which is
// what lets a scan run at the speed its bytes arrive.
//
// A run: `count` codes stored back to back (stride n) from `first`, as in vectors.bin.
using DistanceRunFn = void (*)(const uint8_t* query, const uint8_t* first, size_t count, size_t n,
                               uint32_t* out);
// A gather: `count` codes wherever they are, such as the neighbours of one graph row.
using DistanceGatherFn = void (*)(const uint8_t* query, const uint8_t* const* codes, size_t count,
                                  size_t n, uint32_t* out);

// A run for a scan that keeps the k best: out[j] is the exact distance whenever that is
// below `bound`, and otherwise any value at or above it (a code known to be too far may
// have the rest of its bytes skipped). Returns false only if every code is at or above the
// bound, so that a scan can pass over a block in which nothing can enter its results.
using DistanceRunBoundedFn = bool (*)(const uint8_t* query, const uint8_t* first, size_t count,
                                      size_t n, uint64_t bound, uint32_t* out);

// A run with each code's own term given: norms[j] = code_norm(code j, n). The distance is
// then one byte dot product per 32 bytes, where it takes three without the term. out[j] is
// the exact distance whenever the norms are right; returns false only if every code is at
// or above the bound. Only for n a multiple of 32.
using DistanceRunNormedFn = bool (*)(const uint8_t* query, const uint8_t* first,
                                     const uint32_t* norms, size_t count, size_t n,
                                     uint64_t bound, uint32_t* out);

// The part of a distance that depends on the code alone: sum v (v - 256), modulo 2^32. For
// any query, distance = sum q^2 + code_norm(v) - 2 sum v (q - 128), modulo 2^32.
uint32_t code_norm(const uint8_t* code, size_t n);

// The references: distance_scalar code by code.
void distance_run_scalar(const uint8_t* query, const uint8_t* first, size_t count, size_t n,
                         uint32_t* out);
void distance_gather_scalar(const uint8_t* query, const uint8_t* const* codes, size_t count,
                            size_t n, uint32_t* out);
// The fastest versions this CPU supports; the same integers as the references.
DistanceRunFn best_distance_run_fn();
DistanceGatherFn best_distance_gather_fn();
DistanceRunBoundedFn best_distance_run_bounded_fn();
// Null where the CPU has no byte dot-product instruction: there the term buys nothing.
DistanceRunNormedFn best_distance_run_normed_fn();
// Every version this CPU can run, the references first (for the tests).
std::vector<DistanceRunFn> available_distance_run_fns();
std::vector<DistanceGatherFn> available_distance_gather_fns();
std::vector<DistanceRunBoundedFn> available_distance_run_bounded_fns();

// Asks for the first cache lines of a vector code, so that a batch of neighbours' codes is
// on its way from memory before their distances are computed.
inline void prefetch_code(const uint8_t* code, size_t n) {
  for (size_t off = 0; off < n && off < 256; off += 64) __builtin_prefetch(code + off);
}

inline uint32_t distance(const uint8_t* a, const uint8_t* b, size_t n) {
  static const DistanceFn fn = best_distance_fn();
  return fn(a, b, n);
}

inline void distance_run(const uint8_t* query, const uint8_t* first, size_t count, size_t n,
                         uint32_t* out) {
  static const DistanceRunFn fn = best_distance_run_fn();
  fn(query, first, count, n, out);
}

inline bool distance_run_bounded(const uint8_t* query, const uint8_t* first, size_t count, size_t n,
                                 uint64_t bound, uint32_t* out) {
  static const DistanceRunBoundedFn fn = best_distance_run_bounded_fn();
  return fn(query, first, count, n, bound, out);
}

inline bool distance_run_normed(const uint8_t* query, const uint8_t* first, const uint32_t* norms,
                                size_t count, size_t n, uint64_t bound, uint32_t* out) {
  static const DistanceRunNormedFn fn = best_distance_run_normed_fn();
  return fn(query, first, norms, count, n, bound, out);
}

inline void distance_gather(const uint8_t* query, const uint8_t* const* codes, size_t count,
                            size_t n, uint32_t* out) {
  static const DistanceGatherFn fn = best_distance_gather_fn();
  fn(query, codes, count, n, out);
}

}  // namespace tarnix
