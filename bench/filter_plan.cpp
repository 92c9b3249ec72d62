// The filtered plan's two sides, measured: for each filter share, the exact scan of the
// matches and the filtered walk, both forced, on a store built by bench/filter_cliff.py
// (--keep DIR). This is where the plan's walk-cost constant comes from: a walked node costs
// node_ns / match_ns scanned codes.
//
//   filter_plan STORE_DIR QUERIES.npy [--queries 200] [--field r]
//               [--shares 0.01,0.05,0.1,0.2,0.3,0.5,0.75]
//
// Prints one JSON object per share: matches, the walk's width, microseconds per query of the
// scan, of the walk and of the plan's own choice, ns per scanned match and per walked node
// (ef * live / matches of them), and the walk's recall@10 against the scan.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "index/core_index.h"
#include "index/quantize.h"
#include "index/search.h"
#include "npy.h"
#include "store/store.h"

namespace {

using Clock = std::chrono::steady_clock;

using tarnix_bench::load_f32;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: filter_plan STORE_DIR QUERIES.npy [--queries N] [--field r] "
                 "[--shares LIST]\n";
    return 2;
  }
  size_t nq = 200;
  std::string field = "r";
  std::vector<double> shares = {0.01, 0.02, 0.05, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.75};
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--queries") nq = std::stoul(argv[i + 1]);
    if (a == "--field") field = argv[i + 1];
    if (a == "--shares") {
      shares.clear();
      std::stringstream ss(argv[i + 1]);
      std::string tok;
      while (std::getline(ss, tok, ',')) shares.push_back(std::stod(tok));
    }
  }
  tarnix::StoreOptions options;
  options.pca_enabled = false;
  auto opened = tarnix::Store::open(argv[1], options);
  if (!opened.ok()) {
    std::cerr << "open: " << opened.status().message() << "\n";
    return 1;
  }
  std::unique_ptr<tarnix::Store> store = std::move(*opened);
  const tarnix::CoreIndex& index = *store->shared_index()->index;
  size_t rows = 0, dim = 0;
  std::vector<float> queries = load_f32(argv[2], &rows, &dim);
  nq = std::min(nq, rows);
  const uint64_t live = index.valid_ids.cardinality();
  const uint32_t width = tarnix::search_width(10, live);

  tarnix::SearchContext& ctx = tarnix::SearchContext::for_this_thread();
  auto one = [&](size_t q, const tarnix::Bitmap& filter, std::optional<tarnix::SearchPlan> plan,
                 std::vector<tarnix::Candidate>* out) {
    ctx.reset(index.capacity, dim);
    tarnix::quantize(queries.data() + q * dim, dim, ctx.query.data());
    auto t0 = Clock::now();
    *out = index.search_core(10, width, &filter, nullptr, ctx, plan);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (out->size() > 10) out->resize(10);
    return s;
  };
  for (double share : shares) {
    uint64_t below = static_cast<uint64_t>(share * static_cast<double>(live) + 0.5);
    tarnix::Json f = tarnix::Json::object();
    f[field] = tarnix::Json::object({{"$lt", below}});
    tarnix::Bitmap filter = index.evaluate_filter(f);
    const uint64_t m = filter.cardinality();
    if (m == 0) continue;
    tarnix::PlanChoice choice = tarnix::plan_search(live, 10, width, m, index.dim, false, 50'000);
    // Each plan over all queries in turn (a search right after another for the same query
    // would find that one's nodes in the cache), the first pass warming pages and caches.
    std::vector<double> ts, tw, tp;
    std::vector<std::vector<tarnix::Candidate>> exact(nq), walked(nq);
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<tarnix::Candidate> planned;
      for (size_t q = 0; q < nq; ++q) {
        double t = one(q, filter, tarnix::SearchPlan::kExactScan, &exact[q]);
        if (pass) ts.push_back(t);
      }
      for (size_t q = 0; q < nq; ++q) {
        double t = one(q, filter, tarnix::SearchPlan::kGraphWalk, &walked[q]);
        if (pass) tw.push_back(t);
      }
      for (size_t q = 0; q < nq; ++q) {
        double t = one(q, filter, std::nullopt, &planned);
        if (pass) tp.push_back(t);
      }
    }
    size_t hits = 0, total = 0;
    for (size_t q = 0; q < nq; ++q) {
      std::unordered_set<uint32_t> want;
      for (const auto& e : exact[q]) want.insert(e.slot);
      for (const auto& w : walked[q]) hits += want.count(w.slot);
      total += exact[q].size();
    }
    auto median = [](std::vector<double> v) {
      std::sort(v.begin(), v.end());
      return v[v.size() / 2];
    };
    double scan = median(ts), walk = median(tw), planned = median(tp);
    double nodes = static_cast<double>(choice.ef) * static_cast<double>(live) / m;
    std::printf(
        "{\"share\": %.3f, \"matches\": %llu, \"ef\": %u, \"plan\": \"%s\", \"scan_us\": %.1f, "
        "\"walk_us\": %.1f, \"planned_us\": %.1f, \"match_ns\": %.2f, \"node_ns\": %.2f, "
        "\"node_cost\": %.1f, \"walk_recall\": %.4f}\n",
        share, static_cast<unsigned long long>(m), choice.ef,
        choice.plan == tarnix::SearchPlan::kExactScan ? "scan" : "walk", scan * 1e6, walk * 1e6,
        planned * 1e6, scan * 1e9 / m, walk * 1e9 / nodes, (walk / nodes) / (scan / m),
        total ? static_cast<double>(hits) / total : 1.0);
    std::fflush(stdout);
  }
  return 0;
}
