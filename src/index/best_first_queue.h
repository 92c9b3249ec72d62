// BestFirstQueue: the working set of the construction search.
//
// A best-first search keeps a min-heap of candidates to expand and a max-heap of the `width`
// nearest slots found; every slot enters both at once. This queue keeps one sorted array of
// those nearest slots, each marked once expanded, and yields the same expansions in the same
// order with no heap sifts (their branches were most of the linking time):
// - a candidate still among the nearest is exactly a not yet expanded entry of the array;
// - a candidate that dropped out is expanded by the heap version only when every entry is
//   expanded and its distance still equals the farthest entry's (the search stops at the
//   first candidate strictly farther). Such ties are kept aside, nearest slot first, and
//   forgotten once the farthest distance falls below theirs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index/candidate.h"

namespace tarnix {

class BestFirstQueue {
 public:
  // Empties the queue for a search of the given width (at least 1: a width of 0 keeps one
  // entry, as pushing and then popping while over 0 entries left the heap version with one).
  void reset(size_t width) {
    width_ = std::max<size_t>(width, 1);
    if (items_.size() < width_ + 1) {
      items_.resize(width_ + 1);
      expanded_.resize(width_ + 1);
    }
    size_ = 0;
    cursor_ = 0;
    tied_.clear();
  }

  bool full() const { return size_ >= width_; }
  // The farthest entry; only called when the queue is not empty.
  const Candidate& farthest() const { return items_[size_ - 1]; }
  // The entry that next() would yield first, if any: for prefetching its row.
  std::optional<uint32_t> peek_slot() const {
    if (cursor_ < size_) return items_[cursor_].slot;
    return std::nullopt;
  }

  // Adds c when the queue is not full or c is nearer than the farthest entry, which then
  // drops out. Callers never offer the same slot twice.
  void admit(Candidate c) {
    std::optional<Candidate> dropped;
    if (full()) {
      if (!(c < farthest())) return;
      --size_;
      if (!expanded_[size_]) dropped = items_[size_];
    }
    // One insertion step: the farther entries move up until c's place is found, so the only
    // hard-to-predict branch is the loop's end.
    // Plain pointers: through the vectors, every flag byte stored would make the compiler
    // reload both arrays' addresses.
    Candidate* items = items_.data();
    uint8_t* expanded = expanded_.data();
    size_t at = size_;
    for (; at > 0 && c < items[at - 1]; --at) {
      items[at] = items[at - 1];
      expanded[at] = expanded[at - 1];
    }
    items[at] = c;
    expanded[at] = 0;
    ++size_;
    cursor_ = std::min(cursor_, at);
    if (dropped && dropped->distance == farthest().distance) tied_.push_back(*dropped);
  }

  // The next slot to expand, nearest first, or nothing when the search is over.
  std::optional<Candidate> next() {
    if (cursor_ < size_) {
      expanded_[cursor_] = 1;
      Candidate c = items_[cursor_];
      while (cursor_ < size_ && expanded_[cursor_]) ++cursor_;
      return c;
    }
    if (tied_.empty()) return std::nullopt;
    std::erase_if(tied_, [&](const Candidate& t) { return t.distance > farthest().distance; });
    if (tied_.empty()) return std::nullopt;
    auto nearest = std::min_element(tied_.begin(), tied_.end());
    Candidate c = *nearest;
    tied_.erase(nearest);
    return c;
  }

  // The entries, nearest first: all, or the first `count`.
  std::span<const Candidate> items() const { return {items_.data(), size_}; }
  std::span<const Candidate> nearest(size_t count) const {
    return {items_.data(), std::min(count, size_)};
  }

 private:
  size_t width_ = 1;
  std::vector<Candidate> items_;   // the first size_ are held, nearest first
  std::vector<uint8_t> expanded_;  // parallel to items_
  size_t size_ = 0;
  size_t cursor_ = 0;  // no entry before it is unexpanded
  std::vector<Candidate> tied_;
};

}  // namespace tarnix
