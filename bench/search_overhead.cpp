// What the layers of one search cost, without an interpreter: the core search alone
// (search_core on a quantized query), and the store's search and search_json, which add the
// query checks, the id and metadata reads and the result building. bench/binding_overhead.py
// runs this beside the same searches through Python, on the same store and queries.
//
//   search_overhead STORE_DIR QUERIES.npy [--queries 1000] [--rounds 5]
//
// Prints one JSON object: the median microseconds per search of each layer.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "index/core_index.h"
#include "index/quantize.h"
#include "index/search.h"
#include "npy.h"
#include "store/store.h"
#include "util/env.h"

namespace {

using Clock = std::chrono::steady_clock;

using tarnix_bench::load_f32;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: search_overhead STORE_DIR QUERIES.npy [--queries N] [--rounds R]\n";
    return 2;
  }
  size_t nq = 1000;
  int rounds = 5;
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--queries") nq = std::stoul(argv[i + 1]);
    if (a == "--rounds") rounds = std::stoi(argv[i + 1]);
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
  // The width a store search would use, TARNIX_SEARCH_EF included, so that a narrow walk
  // (whose time varies little from run to run) can show the overhead at a large size.
  const uint32_t width = tarnix::search_width(10, index.valid_ids.cardinality(),
                                              tarnix::env_usize("TARNIX_SEARCH_EF"));

  // Each layer over all queries in turn (the same query twice in a row would find the
  // first one's nodes in the cache), the order of the layers reversing every round; each
  // call is timed alone and the medians are printed (load from elsewhere on the machine
  // lands on single calls, which the median ignores).
  std::vector<double> t_core, t_meta, t_plain, t_json;
  size_t sink = 0;
  auto pass = [&](std::vector<double>& into, auto&& f) {
    for (size_t i = 0; i < nq; ++i) {
      std::span<const float> q(queries.data() + i * dim, dim);
      auto t0 = Clock::now();
      f(q);
      into.push_back(std::chrono::duration<double>(Clock::now() - t0).count() * 1e6);
    }
  };
  auto core_one = [&](std::span<const float> q) {
    tarnix::SearchContext& ctx = tarnix::SearchContext::for_this_thread();
    ctx.reset(index.capacity, dim);
    tarnix::quantize(q.data(), dim, ctx.query.data());
    sink += index.search_core(10, width, nullptr, nullptr, ctx).size();
  };
  auto meta_one = [&](std::span<const float> q) {
    sink += store->search(q, 10, nullptr, true)->size();
  };
  auto plain_one = [&](std::span<const float> q) {
    sink += store->search(q, 10, nullptr, false)->size();
  };
  auto json_one = [&](std::span<const float> q) {
    sink += store->search_json(q, 10, nullptr)->size();
  };
  pass(t_core, core_one);  // warms pages and caches
  t_core.clear();
  for (int r = 0; r < rounds; ++r) {
    if (r % 2 == 0) {
      pass(t_core, core_one), pass(t_meta, meta_one), pass(t_plain, plain_one),
          pass(t_json, json_one);
    } else {
      pass(t_json, json_one), pass(t_plain, plain_one), pass(t_meta, meta_one),
          pass(t_core, core_one);
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  double core = median(t_core), with_meta = median(t_meta), without_meta = median(t_plain),
         json = median(t_json);
  std::printf(
      "{\"live\": %llu, \"core_us\": %.2f, \"store_search_us\": %.2f, "
      "\"store_search_no_metadata_us\": %.2f, \"store_search_json_us\": %.2f, \"sink\": %zu}\n",
      static_cast<unsigned long long>(index.valid_ids.cardinality()), core, with_meta, without_meta,
      json, sink);
  return 0;
}
