// Recall and queries per second of the core's search over a store built by the Python side,
// for a sweep of search widths: the curve the Python API cannot draw (it always uses the
// default width), without interpreter overhead.
//
//   ef_sweep STORE_DIR QUERIES.npy TRUTH_FLOAT.npy TRUTH_CODES.npy [--k 10]
//            [--ef 10,20,...] [--repeat 1]
//
// The store's ids must be the decimal row numbers of the base vectors. Prints one JSON
// object per line: mode ("walk", "default", "exact"), ef, qps, mean latency, recall@k
// against the float and the code truth. Single-threaded; run it under taskset.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

using tarnix_bench::load_npy;
using tarnix_bench::Npy;

std::vector<uint32_t> parse_list(const std::string& s) {
  std::vector<uint32_t> out;
  std::stringstream ss(s);
  std::string tok;
  while (std::getline(ss, tok, ',')) out.push_back(static_cast<uint32_t>(std::stoul(tok)));
  return out;
}

double recall(const std::vector<std::vector<int64_t>>& found, const Npy& truth, size_t k) {
  size_t tk = truth.shape[1], hits = 0;
  for (size_t q = 0; q < found.size(); ++q) {
    std::unordered_set<int64_t> t(truth.as<int64_t>() + q * tk, truth.as<int64_t>() + q * tk + k);
    for (int64_t id : found[q]) hits += t.count(id);
  }
  return static_cast<double>(hits) / static_cast<double>(found.size() * k);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::cerr << "usage: ef_sweep STORE QUERIES TRUTH_FLOAT TRUTH_CODES [--k K] [--ef LIST] "
                 "[--repeat N] [--exact]\n";
    return 2;
  }
  std::string dir = argv[1];
  Npy queries = load_npy(argv[2]), truth_float = load_npy(argv[3]), truth_codes = load_npy(argv[4]);
  uint32_t k = 10;
  int repeat = 1;
  bool with_exact = false;
  std::vector<uint32_t> efs = {10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1034};
  for (int i = 5; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--k" && i + 1 < argc)
      k = static_cast<uint32_t>(std::stoul(argv[++i]));
    else if (a == "--ef" && i + 1 < argc)
      efs = parse_list(argv[++i]);
    else if (a == "--repeat" && i + 1 < argc)
      repeat = std::stoi(argv[++i]);
    else if (a == "--exact")
      with_exact = true;
  }

  tarnix::StoreOptions options;
  options.pca_enabled = false;
  auto opened = tarnix::Store::open(dir, options);
  if (!opened.ok()) {
    std::cerr << "open " << dir << ": " << opened.status().message() << "\n";
    return 1;
  }
  std::unique_ptr<tarnix::Store> store = std::move(*opened);
  const tarnix::CoreIndex& index = *store->shared_index()->index;
  const size_t dim = index.dim, nq = queries.shape[0];
  if (queries.shape[1] != dim) {
    std::cerr << "queries have " << queries.shape[1] << " components, the store " << dim << "\n";
    return 1;
  }
  // Slot -> row number of the base vector, from the external ids.
  std::vector<int64_t> row_of(index.capacity, -1);
  index.valid_ids.for_each([&](uint32_t slot) {
    std::string id = index.get_external_id(slot);
    if (!id.empty()) row_of[slot] = std::stoll(id);
  });
  const uint64_t live = index.valid_ids.cardinality();

  auto run = [&](const char* mode, uint32_t ef) {
    std::vector<std::vector<int64_t>> found(nq);
    double best = 1e300;
    for (int r = 0; r < repeat; ++r) {
      auto t0 = std::chrono::steady_clock::now();
      for (size_t q = 0; q < nq; ++q) {
        tarnix::SearchContext& ctx = tarnix::SearchContext::for_this_thread();
        ctx.reset(index.capacity, dim);
        tarnix::quantize(queries.as<float>() + q * dim, dim, ctx.query.data());
        std::vector<tarnix::Candidate> out = index.search_core(k, ef, nullptr, nullptr, ctx);
        if (out.size() > k) out.resize(k);
        if (r == 0) {
          found[q].clear();
          for (const auto& c : out) found[q].push_back(row_of[c.slot]);
        }
      }
      double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      best = std::min(best, s);
    }
    std::printf(
        "{\"mode\": \"%s\", \"ef\": %u, \"live\": %llu, \"qps\": %.1f, \"mean_us\": %.2f, "
        "\"recall_float\": %.5f, \"recall_codes\": %.5f}\n",
        mode, ef, static_cast<unsigned long long>(live), nq / best, best / nq * 1e6,
        recall(found, truth_float, k), recall(found, truth_codes, k));
    std::fflush(stdout);
  };

  // The walk at each width: the small-store exact scan off (the quarter rule still applies).
  setenv("TARNIX_DISABLE_SMALL_EXACT_SEARCH", "1", 1);
  setenv("TARNIX_SMALL_EXACT_MAX", "0", 1);
  for (uint32_t ef : efs) run("walk", ef);
  // The plan the Python API takes, with its own width.
  unsetenv("TARNIX_DISABLE_SMALL_EXACT_SEARCH");
  unsetenv("TARNIX_SMALL_EXACT_MAX");
  run("default", tarnix::search_width(k, live));
  if (with_exact) {
    setenv("TARNIX_SMALL_EXACT_MAX", "4000000000", 1);
    run("exact", tarnix::search_width(k, live));
  }
  return 0;
}
