// Candidate: a slot and its distance to the query, as searches rank them.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tarnix {

// (distance, slot), ordered by distance and then slot: the nearest candidate is the smallest.
struct Candidate {
  uint32_t distance;
  uint32_t slot;
  // Distance above slot in one word: one load and one comparison instead of two branches,
  // since searches compare on every step.
  uint64_t key() const {
    uint64_t word;
    std::memcpy(&word, this, sizeof word);
    return std::endian::native == std::endian::little ? std::rotr(word, 32) : word;
  }
  friend bool operator<(const Candidate& a, const Candidate& b) { return a.key() < b.key(); }
  friend bool operator>(const Candidate& a, const Candidate& b) { return b < a; }
  friend bool operator==(const Candidate&, const Candidate&) = default;
};
static_assert(sizeof(Candidate) == 8, "key() reads both fields as one word");

}  // namespace tarnix
