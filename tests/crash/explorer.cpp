// tarnix_crash_states: records every script, rebuilds the state a process crash or a power
// loss could leave at each crash point, and checks each state (see exploration.h).
//
//   tarnix_crash_states [--sample] [--seed N] [--script NAME]... [--save DIR] [--scratch DIR]
//                       [--verbose]
//   tarnix_crash_states --replay FILE
//
// --sample checks a seeded, bounded share of the states (for `make test`); without it every
// crash point is checked, with several power-loss subsets each. Each script runs twice: with
// the log synced at most every 250 ms (the default) and after every write. --save writes each
// violating state to DIR as a file that --replay checks again. The last line is
// "crash states: N explored, M violations"; the exit status is 1 when M > 0.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "exploration.h"

namespace tarnix::crash {
namespace {

constexpr uint64_t kIntervals[] = {250, 0};

int run(ExploreOptions options, const std::set<std::string>& only) {
  auto started = std::chrono::steady_clock::now();
  // Growth by a thousand slots (and its 25,000 of headroom) keeps every state small.
  setenv("TARNIX_CAPACITY_GROWTH", "1000", 1);
  Explorer explorer(options);
  uint64_t failed_scripts = 0;
  for (const ScriptInfo& script : scripts()) {
    if (!only.empty() && !only.contains(script.name)) continue;
    for (uint64_t interval : kIntervals) {
      std::string live = options.scratch + "/live";
      std::error_code ec;
      std::filesystem::remove_all(live, ec);
      std::filesystem::create_directories(live);
      Recording r = record_script(script.name, interval, live + "/store");
      std::string label =
          std::string(script.name) + ", log synced every " + std::to_string(interval) + " ms";
      if (!r.failure.empty()) {
        std::printf("%s: the script failed: %s\n", label.c_str(), r.failure.c_str());
        ++failed_scripts;
        continue;
      }
      for (bool power : {false, true}) {
        Tally t = explorer.explore(r, power);
        std::printf("%s, %s: %llu states, %llu violations\n", label.c_str(),
                    power ? "power loss" : "process crash",
                    static_cast<unsigned long long>(t.explored),
                    static_cast<unsigned long long>(t.violations));
        std::fflush(stdout);
      }
    }
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  uint64_t violations = explorer.violations() + failed_scripts;
  std::printf("explored in %.0f s\n", seconds);
  std::printf("crash states: %llu explored, %llu violations\n",
              static_cast<unsigned long long>(explorer.explored()),
              static_cast<unsigned long long>(violations));
  return violations > 0 ? 1 : 0;
}

// Checks a state saved by --save again, as it is.
int replay(const ExploreOptions& options, const std::string& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  Result<SavedState> state = saved_state_from_json(text.str());
  if (!state.ok()) {
    std::printf("%s: %s\n", file.c_str(), state.status().message().c_str());
    return 2;
  }
  std::printf("%s\n", state->note.c_str());
  const std::string dir = options.scratch + "/state";
  if (Status s = state->image.materialize(dir); !s.ok()) {
    std::printf("the state could not be written: %s\n", s.message().c_str());
    return 2;
  }
  CheckResult r = check_store_dir(dir, state->expect, state->clock_ns,
                                  state->reference ? &*state->reference : nullptr);
  std::printf("%s\n", r.ok ? "the state passes" : ("VIOLATION " + r.message).c_str());
  return r.ok ? 0 : 1;
}

}  // namespace
}  // namespace tarnix::crash

int main(int argc, char** argv) {
  tarnix::crash::ExploreOptions opt;
  std::set<std::string> only;
  std::string replay_file;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--sample") {
      opt.sample = true;
    } else if (a == "--seed") {
      opt.seed = std::stoull(value());
    } else if (a == "--script") {
      only.insert(value());
    } else if (a == "--save") {
      opt.save_dir = value();
    } else if (a == "--scratch") {
      opt.scratch = value();
    } else if (a == "--replay") {
      replay_file = value();
    } else if (a == "--verbose") {
      opt.verbose = true;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  std::string made;
  if (opt.scratch.empty()) {
    std::string root = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = root + "/tarnix-crash-XXXXXX";
    made = opt.scratch = mkdtemp(pattern.data());
  }
  int rc =
      replay_file.empty() ? tarnix::crash::run(opt, only) : tarnix::crash::replay(opt, replay_file);
  if (!made.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(made, ec);
  }
  return rc;
}
