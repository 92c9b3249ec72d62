// SearchContext: the per-thread scratch of graph and exact searches.
//
// Visit marks are generation stamps, so starting a search costs one increment instead of a
// clear; the heaps keep their storage between searches. One context per thread, borrowed
// for a whole search.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "index/best_first_queue.h"
#include "index/candidate.h"

namespace tarnix {

// A binary heap over a vector whose storage is kept by clear().
template <class Compare>
class CandidateHeap {
 public:
  void reserve(size_t n) { items_.reserve(n); }
  void clear() { items_.clear(); }
  bool empty() const { return items_.empty(); }
  size_t size() const { return items_.size(); }
  const Candidate& top() const { return items_.front(); }
  void push(Candidate c) {
    items_.push_back(c);
    std::push_heap(items_.begin(), items_.end(), Compare());
  }
  Candidate pop() {
    std::pop_heap(items_.begin(), items_.end(), Compare());
    Candidate c = items_.back();
    items_.pop_back();
    return c;
  }
  // Pushes c and then pops while more than `limit` entries are held, with one sift instead
  // of two once the heap is full.
  void push_bounded(Candidate c, size_t limit) {
    if (items_.size() < limit) {
      push(c);
    } else if (limit > 0 && Compare()(c, items_.front())) {
      replace_top(c);
    }
  }
  // The entries in no particular order.
  std::vector<Candidate>& items() { return items_; }

 private:
  // Puts c in the top's place and sifts it down (a hole moves down, c is written once).
  void replace_top(Candidate c) {
    const size_t n = items_.size();
    Candidate* heap = items_.data();
    size_t hole = 0;
    for (size_t child = 1; child < n; child = 2 * hole + 1) {
      if (child + 1 < n && Compare()(heap[child], heap[child + 1])) ++child;
      if (!Compare()(c, heap[child])) break;
      heap[hole] = heap[child];
      hole = child;
    }
    heap[hole] = c;
  }

  std::vector<Candidate> items_;
};

// Top is the nearest (std heaps are max-heaps, so compare with >).
using MinCandidateHeap = CandidateHeap<std::greater<Candidate>>;
// Top is the farthest, the larger slot first among equal distances.
using MaxCandidateHeap = CandidateHeap<std::less<Candidate>>;

class SearchContext {
 public:
  SearchContext();

  // Prepares for a search over `slots` slots of `dim` bytes (see the .cpp for the rules).
  void reset(uint32_t slots, size_t dim);

  bool is_visited(uint32_t slot) const {
    return slot < visited.size() && visited[slot] == generation;
  }
  // Marks the slot; returns false if it was already marked. Slots past the stamp array are
  // never marked and count as unvisited each time.
  bool visit(uint32_t slot) {
    if (slot >= visited.size()) return true;
    if (visited[slot] == generation) return false;
    visited[slot] = generation;
    return true;
  }

  std::vector<uint32_t> visited;
  MinCandidateHeap candidates;
  MaxCandidateHeap results;
  BestFirstQueue nearest;  // the construction search's
  std::vector<Candidate> top_k;
  std::vector<uint8_t> query;
  uint32_t generation = 0;

  // The calling thread's context.
  static SearchContext& for_this_thread();
};

}  // namespace tarnix
