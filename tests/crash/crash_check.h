// Checking one crash state, and keeping one as a file for the regression suite.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "crash_log.h"
#include "verifier.h"

namespace tarnix::crash {

using Content = std::map<std::string, std::string>;  // id -> metadata text

struct CheckResult {
  bool ok = true;
  std::string message;
  Content content;
};

// Opens the store in `dir` at the clock time `clock_ns` and checks it: the open succeeds,
// the invariants hold, count() equals the listing, every item is one the expectation allows,
// with that write's vector and metadata both, exact search equals brute force, a second open
// gives the same content, and, when `reference` is given, the content is exactly it.
CheckResult check_store_dir(const std::string& dir, const testing::Expectation& expect,
                            int64_t clock_ns, const Content* reference);

// A crash state as a file: its directory image, the clock time, what it must hold, and a
// note saying where it came from.
struct SavedState {
  std::string note;
  int64_t clock_ns = 0;
  CrashImage image;
  testing::Expectation expect;
  std::optional<Content> reference;
};

std::string saved_state_to_json(const SavedState& state);
Result<SavedState> saved_state_from_json(const std::string& text);

}  // namespace tarnix::crash
