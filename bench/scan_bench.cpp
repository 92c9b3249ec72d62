// The exact scan against the speed at which its bytes can be read.
//
//   scan_bench [--n 100000,1000000] [--dim 128,384,768] [--queries 30] [--rounds 5]
//              [--data latent|uniform] [--dir /tmp]
//
// For each size and dimension: a store of codes (the graph is not needed: the scan reads
// only codes) drawn from a mixture of 200 clusters in a 24-dimensional latent space mapped
// linearly into the dimension ("latent", as embeddings are: the k nearest are much nearer
// than most, so the scan can stop early on most codes), or uniform bytes ("uniform": the
// worst case, where it never can); queries come from the same distribution. Then, interleaved round
// by round so that load from elsewhere hits every side alike, three timings of the same bytes of
// vectors.bin:
//   stream   an AVX2 byte sum over the mapped codes, nearly free of arithmetic;
//   scan     the exact scan of the core (k = 10, no filter), as a search runs it;
//   per-slot a scan as it was written before: one bitmap callback and one distance call per
//            slot, the top-k kept by the same rule.
// Prints one JSON object per line; "ratio" is stream time / scan time (1.0: the scan runs as
// fast as the bytes can be read). Run under taskset -c 0.
#include <immintrin.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "index/core_index.h"
#include "index/distance.h"
#include "index/quantize.h"
#include "index/search.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint64_t> parse_list(const std::string& s) {
  std::vector<uint64_t> out;
  std::stringstream ss(s);
  std::string tok;
  while (std::getline(ss, tok, ',')) out.push_back(std::stoull(tok));
  return out;
}

__attribute__((target("avx2"))) uint64_t stream_sum(const uint8_t* p, size_t n) {
  __m256i acc = _mm256_setzero_si256();
  const __m256i zero = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 128 <= n; i += 128) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
    __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 64));
    __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 96));
    acc = _mm256_add_epi64(acc, _mm256_sad_epu8(a, zero));
    acc = _mm256_add_epi64(acc, _mm256_sad_epu8(b, zero));
    acc = _mm256_add_epi64(acc, _mm256_sad_epu8(c, zero));
    acc = _mm256_add_epi64(acc, _mm256_sad_epu8(d, zero));
  }
  uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), acc);
  uint64_t sum = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  for (; i < n; ++i) sum += p[i];
  return sum;
}

// The scan as it was: a callback and a distance call per slot.
std::vector<tarnix::Candidate> per_slot_scan(const tarnix::CoreIndex& index, const uint8_t* q,
                                             uint32_t k) {
  std::vector<tarnix::Candidate> top;
  size_t worst = 0;
  index.valid_ids.for_each([&](uint32_t slot) {
    const uint8_t* v = index.vector_at(slot);
    if (!v) return;
    tarnix::Candidate c{tarnix::distance(q, v, index.dim), slot};
    if (top.size() < k) {
      top.push_back(c);
      if (top.size() == 1 || top[worst] < c) worst = top.size() - 1;
      return;
    }
    if (c.distance >= top[worst].distance) return;
    top[worst] = c;
    worst = static_cast<size_t>(std::max_element(top.begin(), top.end()) - top.begin());
  });
  std::sort(top.begin(), top.end());
  return top;
}

// One vector of the latent mixture: centre + N(0, 0.35) in 24 dimensions, mapped linearly,
// plus a little isotropic noise, scaled into [-1, 1] and coded.
struct Latent {
  static constexpr int kLatent = 24, kCentres = 200;
  std::vector<float> centres, map;
  size_t dim;
  Latent(size_t d, std::mt19937_64& rng) : centres(kCentres * kLatent), map(kLatent * d), dim(d) {
    std::normal_distribution<float> g(0.0f, 1.0f);
    for (float& c : centres) c = g(rng);
    for (float& m : map) m = g(rng) / std::sqrt(float{kLatent});
  }
  void draw(std::mt19937_64& rng, uint8_t* out) const {
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, kCentres - 1);
    const float* c = &centres[pick(rng) * kLatent];
    float z[kLatent];
    for (int i = 0; i < kLatent; ++i) z[i] = c[i] + 0.35f * g(rng);
    std::vector<float> x(dim);
    for (size_t j = 0; j < dim; ++j) {
      float s = 0;
      for (int i = 0; i < kLatent; ++i) s += map[i * dim + j] * z[i];
      x[j] = (s + 0.05f * g(rng)) / 3.0f;
    }
    tarnix::quantize(x.data(), dim, out);
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double low_decile(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 10];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint64_t> sizes = {100'000, 1'000'000}, dims = {128};
  int queries = 30, rounds = 5;
  std::string root = std::filesystem::temp_directory_path();
  std::string data = "latent";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--n")
      sizes = parse_list(argv[i + 1]);
    else if (a == "--dim")
      dims = parse_list(argv[i + 1]);
    else if (a == "--queries")
      queries = std::stoi(argv[i + 1]);
    else if (a == "--rounds")
      rounds = std::stoi(argv[i + 1]);
    else if (a == "--dir")
      root = argv[i + 1];
    else if (a == "--data")
      data = argv[i + 1];
  }
  setenv("TARNIX_SMALL_EXACT_MAX", "4000000000", 1);
  for (uint64_t dim : dims) {
    for (uint64_t n : sizes) {
      std::string dir = root + "/tarnix-scan-bench-" + std::to_string(getpid());
      std::filesystem::remove_all(dir);
      std::filesystem::create_directories(dir);
      auto opened = tarnix::CoreIndex::open(dir, {});
      if (!opened.ok()) {
        std::fprintf(stderr, "open: %s\n", opened.status().message().c_str());
        return 1;
      }
      std::unique_ptr<tarnix::CoreIndex> index = std::move(*opened);
      if (!index->set_dimension(dim).ok() || !index->ensure_capacity(n).ok()) {
        std::fprintf(stderr, "cannot size the files for %llu x %llu\n",
                     static_cast<unsigned long long>(n), static_cast<unsigned long long>(dim));
        return 1;
      }
      std::mt19937_64 rng(n * 31 + dim);
      uint8_t* codes = index->mutable_vector_at(0);
      std::vector<std::vector<uint8_t>> qs(queries, std::vector<uint8_t>(dim));
      if (data == "latent") {
        Latent latent(dim, rng);
        for (uint64_t i = 0; i < n; ++i) latent.draw(rng, codes + i * dim);
        for (auto& q : qs) latent.draw(rng, q.data());
      } else {
        for (uint64_t i = 0; i < n * dim; i += 8) {
          uint64_t r = rng();
          std::memcpy(codes + i, &r, std::min<uint64_t>(8, n * dim - i));
        }
        for (auto& q : qs) {
          for (auto& b : q) b = static_cast<uint8_t>(rng());
        }
      }
      index->valid_ids = tarnix::Bitmap::range(0, n);
      index->enter_point = 0;

      tarnix::SearchContext& ctx = tarnix::SearchContext::for_this_thread();
      const uint32_t width = tarnix::search_width(10, n);
      std::vector<double> t_stream, t_scan, t_slot;
      volatile uint64_t sink = 0;
      bool same = true;
      // Paired samples: before each query's scan, one stream pass over the same bytes.
      for (int r = 0; r < rounds + 1; ++r) {  // round 0 warms the pages and caches
        for (int q = 0; q < queries; ++q) {
          auto t0 = Clock::now();
          sink = sink + stream_sum(codes, n * dim);
          double s = std::chrono::duration<double>(Clock::now() - t0).count();
          ctx.reset(index->capacity, dim);
          std::memcpy(ctx.query.data(), qs[q].data(), dim);
          auto t1 = Clock::now();
          std::vector<tarnix::Candidate> fast =
              index->search_core(10, width, nullptr, nullptr, ctx);
          double a = std::chrono::duration<double>(Clock::now() - t1).count();
          auto t2 = Clock::now();
          std::vector<tarnix::Candidate> old = per_slot_scan(*index, qs[q].data(), 10);
          double b = std::chrono::duration<double>(Clock::now() - t2).count();
          same = same && fast == old;
          if (r > 0) {
            t_stream.push_back(s);
            t_scan.push_back(a);
            t_slot.push_back(b);
          }
        }
      }
      // Load from elsewhere only ever adds time, so the fastest tenth of each side is what
      // the code itself costs; the medians are printed too.
      double stream = low_decile(t_stream), scan = low_decile(t_scan), slot = low_decile(t_slot);
      std::printf(
          "{\"data\": \"%s\", \"n\": %llu, \"dim\": %llu, \"bytes\": %llu, \"stream_ms\": %.4f, "
          "\"scan_ms\": %.4f, "
          "\"per_slot_ms\": %.4f, \"ratio\": %.3f, \"per_slot_ratio\": %.3f, "
          "\"median_ratio\": %.3f, \"stream_gbps\": %.2f, \"scan_gbps\": %.2f, "
          "\"same_results\": %s}\n",
          data.c_str(), static_cast<unsigned long long>(n), static_cast<unsigned long long>(dim),
          static_cast<unsigned long long>(n * dim), stream * 1e3, scan * 1e3, slot * 1e3,
          stream / scan, stream / slot, median(t_stream) / median(t_scan), n * dim / stream / 1e9,
          n * dim / scan / 1e9, same ? "true" : "false");
      std::fflush(stdout);
      index.reset();
      std::filesystem::remove_all(dir);
    }
  }
  return 0;
}
