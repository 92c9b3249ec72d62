#include "exploration.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "recording_fs.h"
#include "store/store.h"

namespace tarnix::crash {
namespace {

constexpr unsigned kCheckDeadlineSeconds = 120;

void mix(uint64_t& h, std::string_view s) {
  for (unsigned char c : s) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  h ^= 0xff;
  h *= 0x100000001b3ULL;
}

uint64_t fingerprint(const Expectation& e, int64_t clock_ns, const Content* reference) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (const auto& [id, states] : e.states()) {
    mix(h, id);
    for (const auto& s : states) mix(h, s ? s->meta : "-");
  }
  for (const auto& prefix : e.prefixes()) {
    for (const std::string& id : prefix) mix(h, id);
    mix(h, "|");
  }
  mix(h, std::to_string(clock_ns / 1'000'000'000));
  if (reference) {
    for (const auto& [id, meta] : *reference) mix(h, meta);
  }
  return h;
}

std::string describe_op(const CrashLog& log, size_t point) {
  if (point == 0) return "before the first operation";
  const CrashOp& op = log.ops[point - 1];
  std::string what = std::string("after ") + op_kind_name(op.kind);
  if (!op.name.empty()) what += " " + op.name;
  if (!op.to.empty()) what += " -> " + op.to;
  if (op.kind == OpKind::kWrite || op.kind == OpKind::kResize || op.kind == OpKind::kSync) {
    what += " inode " + std::to_string(op.inode);
    if (op.kind == OpKind::kWrite) {
      what += (op.mapped ? " mapped page at " : " at ") + std::to_string(op.offset) + " (" +
              std::to_string(op.bytes.size()) + " bytes)";
    }
    if (op.kind == OpKind::kResize) what += " to " + std::to_string(op.offset);
  }
  return what;
}

// The fixed power-loss subsets every point gets, then seeded random ones.
std::vector<std::pair<std::string, PowerChoice>> power_choices(const CrashLog& log,
                                                               const Pending& p, size_t randoms,
                                                               std::mt19937_64& rng) {
  std::vector<std::pair<std::string, PowerChoice>> out;
  const size_t nd = p.data.size(), nn = p.names.size();
  auto choice = [&](bool data, size_t names, bool mkdir) {
    PowerChoice c;
    c.keep_data.assign(nd, data);
    c.names_kept = names;
    c.keep_mkdir = mkdir;
    return c;
  };
  out.emplace_back("only what was synced", choice(false, 0, false));
  out.emplace_back("every unsynced name, no unsynced data", choice(false, nn, true));
  out.emplace_back("every unsynced data page, no unsynced name", choice(true, 0, true));
  // The page cache writes mapped pages back on its own schedule, before or after the
  // descriptor writes (the log's among them) that preceded them.
  PowerChoice mapped = choice(false, nn, true), written = choice(false, nn, true);
  for (size_t j = 0; j < nd; ++j) {
    bool is_mapped = log.ops[p.data[j]].mapped;
    mapped.keep_data[j] = is_mapped;
    written.keep_data[j] = !is_mapped;
  }
  out.emplace_back("unsynced mapped pages only", mapped);
  out.emplace_back("unsynced descriptor writes only", written);
  // Where the last write ends when it is torn: on a sector boundary inside it, or, when it
  // lies within one sector, before it (lost whole).
  auto tear = [&]() -> uint64_t {
    const CrashOp& w = log.ops[*p.last_write];
    uint64_t first = (w.offset / kSectorBytes + 1) * kSectorBytes;
    uint64_t end = w.offset + w.bytes.size();
    if (first >= end) return w.offset;
    return first + (rng() % ((end - first + kSectorBytes - 1) / kSectorBytes)) * kSectorBytes;
  };
  if (p.last_write) {
    PowerChoice torn = choice(true, nn, true);
    torn.torn_end = tear();
    out.emplace_back("everything, the last write torn", torn);
  }
  for (size_t i = 0; i < randoms; ++i) {
    PowerChoice c;
    c.keep_data.resize(nd);
    for (size_t j = 0; j < nd; ++j) c.keep_data[j] = rng() & 1;
    c.names_kept = nn ? rng() % (nn + 1) : 0;
    c.keep_mkdir = rng() & 1;
    if (p.last_write && (rng() & 1)) c.torn_end = tear();
    out.emplace_back("random subset " + std::to_string(i + 1), c);
  }
  return out;
}

}  // namespace

Explorer::Explorer(ExploreOptions options) : opt_(std::move(options)), rng_(opt_.seed) {
  std::filesystem::create_directories(opt_.scratch);
  if (!opt_.save_dir.empty()) std::filesystem::create_directories(opt_.save_dir);
}

std::vector<size_t> Explorer::points_of(const CrashLog& log, size_t from, size_t limit) {
  std::vector<size_t> points;
  for (size_t p = from; p <= log.ops.size(); ++p) {
    if (log.is_point(p)) points.push_back(p);
  }
  if (points.size() > limit) {
    std::shuffle(points.begin(), points.end(), rng_);
    points.resize(limit);
    std::sort(points.begin(), points.end());
  }
  return points;
}

std::vector<std::pair<std::string, CrashImage>> Explorer::states_at(const CrashLog& log,
                                                                    size_t point, bool power) {
  std::vector<std::pair<std::string, CrashImage>> out;
  if (!power) {
    out.emplace_back("process crash", log.process_state(point));
    return out;
  }
  Pending pending = log.pending(point);
  auto choices = power_choices(log, pending, opt_.sample ? 1 : opt_.random_choices, rng_);
  if (opt_.sample && choices.size() > opt_.sample_choices) {
    // The synced state, and others drawn from the rest.
    std::shuffle(choices.begin() + 1, choices.end(), rng_);
    choices.resize(opt_.sample_choices);
  }
  for (auto& [name, choice] : choices) {
    out.emplace_back(name, log.power_state(point, pending, choice));
  }
  return out;
}

std::optional<CheckResult> Explorer::check(const CrashImage& image, const Expectation& expect,
                                           int64_t clock_ns, const Content* reference) {
  uint64_t key = image.hash() ^ (fingerprint(expect, clock_ns, reference) * 0x9e3779b97f4a7c15ULL);
  if (!seen_.insert(key).second) return std::nullopt;
  ++explored_;
  const std::string dir = opt_.scratch + "/state";
  CheckResult r;
  Status made = image.materialize(dir);
  if (!made.ok()) {
    r.ok = false;
    r.message = "the state could not be written: " + made.message();
    return r;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (!opt_.verbose) {
      int devnull = ::open("/dev/null", O_WRONLY);
      dup2(devnull, 2);
    }
    alarm(kCheckDeadlineSeconds);
    CheckResult c = check_store_dir(dir, expect, clock_ns, reference);
    std::string out = (c.ok ? "1" : "0") + c.message;
    for (size_t done = 0; done < out.size();) {
      ssize_t w = ::write(fds[1], out.data() + done, out.size() - done);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    _exit(0);
  }
  ::close(fds[1]);
  std::string got;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, n);
  ::close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) {
    r.ok = false;
    r.message = WTERMSIG(status) == SIGALRM
                    ? "the check hung"
                    : "the store crashed with signal " + std::to_string(WTERMSIG(status)) + " (" +
                          strsignal(WTERMSIG(status)) + ")";
  } else if (got.empty()) {
    r.ok = false;
    r.message = "the check ended without a result";
  } else {
    r.ok = got[0] == '1';
    r.message = got.substr(1);
  }
  return r;
}

void Explorer::violation(Tally& t, const std::string& where, const CheckResult& r,
                         const CrashImage& image, const Expectation& expect, int64_t clock_ns,
                         const Content* reference) {
  ++t.violations;
  violations_.push_back(where + ": " + r.message);
  std::printf("VIOLATION %s: %s\n", where.c_str(), r.message.c_str());
  std::fflush(stdout);
  if (opt_.save_dir.empty()) return;
  SavedState s;
  s.note = where + ": " + r.message;
  s.clock_ns = clock_ns;
  s.image = image;
  s.expect = expect;
  if (reference) s.reference = *reference;
  std::string path = opt_.save_dir + "/violation-" + std::to_string(violations_.size()) + ".json";
  std::ofstream(path) << saved_state_to_json(s);
}

Tally Explorer::explore(const Recording& r, bool power) {
  Tally t;
  const std::string mode = power ? "power loss" : "process crash";
  size_t limit = opt_.sample ? opt_.sample_points : SIZE_MAX;
  std::vector<size_t> points = points_of(r.log, r.body_begin, limit);
  size_t nested_left = opt_.sample ? opt_.sample_nested_states : SIZE_MAX;
  for (size_t p : points) {
    Expectation expect = expectation_at(r, p, power);
    int64_t clock_ns = clock_at(r, p);
    for (auto& [variant, image] : states_at(r.log, p, power)) {
      std::optional<CheckResult> result = check(image, expect, clock_ns, nullptr);
      if (!result) continue;
      ++t.explored;
      std::string where = r.script + " (log synced every " + std::to_string(r.interval_ms) +
                          " ms), " + mode + " at point " + std::to_string(p) + " of " +
                          std::to_string(r.log.ops.size()) + " (" + describe_op(r.log, p) + "), " +
                          variant;
      if (!result->ok) {
        violation(t, where, *result, image, expect, clock_ns, nullptr);
        continue;
      }
      if (r.vacuum && nested_left > 0) {
        --nested_left;
        explore_recovery(t, where, image, expect, clock_ns, power);
      }
    }
  }
  return t;
}

void Explorer::explore_recovery(Tally& t, const std::string& where, const CrashImage& s1,
                                const Expectation& expect, int64_t clock_ns, bool power) {
  const std::string dir = opt_.scratch + "/recover";
  if (!s1.materialize(dir).ok()) return;
  CrashLog log(s1);
  auto clock = std::make_shared<ScriptClock>(clock_ns);
  auto fs = std::make_shared<RecordingFileSystem>(dir, &log, clock);
  Content reference;
  size_t end;
  {
    Result<std::unique_ptr<Store>> store = Store::open(dir, StoreOptions{fs, clock, false});
    if (!store.ok()) return;  // the child saw it open; nothing to explore otherwise
    end = fs->point();
    if (!testing::verify_store(**store, expect, &reference)) return;
  }
  if (!fs->trouble().empty()) {
    std::printf("recorder trouble in the recovery after %s: %s\n", where.c_str(),
                fs->trouble().c_str());
    return;
  }
  size_t limit = opt_.sample ? opt_.sample_nested_points : SIZE_MAX;
  for (size_t q : points_of(log, 1, limit)) {
    if (q > end) break;
    for (auto& [variant, image] : states_at(log, q, power)) {
      std::optional<CheckResult> result = check(image, expect, clock_ns, &reference);
      if (!result) continue;
      ++t.explored;
      if (!result->ok) {
        std::string at = where + "; then the recovering open cut at point " + std::to_string(q) +
                         " of " + std::to_string(end) + " (" + describe_op(log, q) + "), " +
                         variant;
        violation(t, at, *result, image, expect, clock_ns, &reference);
      }
    }
  }
}

}  // namespace tarnix::crash
