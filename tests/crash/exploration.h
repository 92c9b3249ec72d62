// Checking the crash states of a recording: at every crash point (or a seeded sample of
// them), the process-crash state, or the power-loss states (what was synced, fixed subsets
// of what was not, and seeded random subsets), each checked in a child process so that a
// store that crashes or hangs is a violation like any other. For a vacuum script, each state
// that passes is opened again under the recorder, and the crash points of that recovering
// open are checked too: an interrupted recovery must recover to the same content.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "crash_check.h"
#include "scripts.h"

namespace tarnix::crash {

struct ExploreOptions {
  // Check a seeded, bounded share of the states instead of all of them.
  bool sample = false;
  uint64_t seed = 1;
  // Where states are written for checking (a memory file system is fastest).
  std::string scratch;
  // Where violating states are saved as files, when set.
  std::string save_dir;
  // Let the children's standard error through (the store's warnings).
  bool verbose = false;
  // Full exploration: random power-loss subsets per point on top of the fixed ones.
  size_t random_choices = 4;
  // Sampling: crash points per recording and mode, power-loss states per point (the synced
  // state and others drawn from the full set), states whose recovery is explored, and crash
  // points per recovering open.
  size_t sample_points = 24;
  size_t sample_choices = 3;
  size_t sample_nested_states = 5;
  size_t sample_nested_points = 10;
};

struct Tally {
  uint64_t explored = 0;
  uint64_t violations = 0;
};

class Explorer {
 public:
  explicit Explorer(ExploreOptions options);

  // Checks the states a process crash (or, with `power`, a power loss) at the recording's
  // crash points may leave. States checked before (same files, same expectation) are not
  // checked again and not counted.
  Tally explore(const Recording& r, bool power);

  uint64_t explored() const { return explored_; }
  uint64_t violations() const { return violations_.size(); }
  // Where each violation was found and what was wrong.
  const std::vector<std::string>& violation_texts() const { return violations_; }

 private:
  std::vector<size_t> points_of(const CrashLog& log, size_t from, size_t limit);
  std::vector<std::pair<std::string, CrashImage>> states_at(const CrashLog& log, size_t point,
                                                            bool power);
  std::optional<CheckResult> check(const CrashImage& image, const Expectation& expect,
                                   int64_t clock_ns, const Content* reference);
  void violation(Tally& t, const std::string& where, const CheckResult& r, const CrashImage& image,
                 const Expectation& expect, int64_t clock_ns, const Content* reference);
  void explore_recovery(Tally& t, const std::string& where, const CrashImage& s1,
                        const Expectation& expect, int64_t clock_ns, bool power);

  ExploreOptions opt_;
  std::mt19937_64 rng_;
  std::unordered_set<uint64_t> seen_;
  uint64_t explored_ = 0;
  std::vector<std::string> violations_;
};

}  // namespace tarnix::crash
