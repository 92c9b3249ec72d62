#include "index/distance.h"

#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#elif defined(__arm__) && (defined(__ARM_NEON) || !defined(__clang__))
#include <arm_neon.h>
#include <sys/auxv.h>
#endif

namespace tarnix {

uint32_t distance_scalar(const uint8_t* a, const uint8_t* b, size_t n) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (size_t j = 0; j < 8; ++j) {
      int d = int{a[i + j]} - int{b[i + j]};
      sum += static_cast<uint32_t>(d * d);
    }
  }
  for (; i < n; ++i) {
    int d = int{a[i]} - int{b[i]};
    sum += static_cast<uint32_t>(d * d);
  }
  return sum;
}

uint32_t code_norm(const uint8_t* code, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += uint32_t{code[i]} * code[i] - 256u * code[i];
  return sum;
}

void distance_run_scalar(const uint8_t* query, const uint8_t* first, size_t count, size_t n,
                         uint32_t* out) {
  for (size_t j = 0; j < count; ++j) out[j] = distance_scalar(query, first + j * n, n);
}

void distance_gather_scalar(const uint8_t* query, const uint8_t* const* codes, size_t count,
                            size_t n, uint32_t* out) {
  for (size_t j = 0; j < count; ++j) out[j] = distance_scalar(query, codes[j], n);
}

namespace {

// Where no multi-code kernel exists, the best single kernel, code by code.
[[maybe_unused]] void distance_run_each(const uint8_t* query, const uint8_t* first, size_t count,
                                        size_t n, uint32_t* out) {
  for (size_t j = 0; j < count; ++j) out[j] = distance(query, first + j * n, n);
}

[[maybe_unused]] void distance_gather_each(const uint8_t* query, const uint8_t* const* codes,
                                           size_t count, size_t n, uint32_t* out) {
  for (size_t j = 0; j < count; ++j) out[j] = distance(query, codes[j], n);
}

// A run that never skips: exact everywhere, which the bounded contract allows.
template <DistanceRunFn Run>
[[maybe_unused]] bool run_ignoring_bound(const uint8_t* query, const uint8_t* first, size_t count,
                                         size_t n, uint64_t, uint32_t* out) {
  Run(query, first, count, n, out);
  return true;
}

}  // namespace

#if defined(__x86_64__)

// |a - b| as bytes by two saturating subtractions, widened to 16 bits, then squared and
// pair-summed into 32-bit lanes by vpmaddwd. Lane sums wrap exactly like the scalar sum.
__attribute__((target("avx2"))) static uint32_t distance_avx2(const uint8_t* a, const uint8_t* b,
                                                              size_t n) {
  __m256i acc = _mm256_setzero_si256();
  const __m256i zero = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    __m256i diff = _mm256_or_si256(_mm256_subs_epu8(va, vb), _mm256_subs_epu8(vb, va));
    __m256i lo = _mm256_unpacklo_epi8(diff, zero);
    __m256i hi = _mm256_unpackhi_epi8(diff, zero);
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(lo, lo));
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(hi, hi));
  }
  __m128i sum128 = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
  sum128 = _mm_add_epi32(sum128, _mm_shuffle_epi32(sum128, _MM_SHUFFLE(1, 0, 3, 2)));
  sum128 = _mm_add_epi32(sum128, _mm_shuffle_epi32(sum128, _MM_SHUFFLE(2, 3, 0, 1)));
  uint32_t sum = static_cast<uint32_t>(_mm_cvtsi128_si32(sum128));
  return i == n ? sum : sum + distance_scalar(a + i, b + i, n - i);
}

// The squares of the byte differences of 32 components, pair-summed into eight 32-bit lanes.
__attribute__((target("avx2"))) static inline __m256i squares32(__m256i q, const uint8_t* p) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i diff = _mm256_or_si256(_mm256_subs_epu8(q, v), _mm256_subs_epu8(v, q));
  __m256i lo = _mm256_unpacklo_epi8(diff, zero);
  __m256i hi = _mm256_unpackhi_epi8(diff, zero);
  return _mm256_add_epi32(_mm256_madd_epi16(lo, lo), _mm256_madd_epi16(hi, hi));
}

// The same with the query already split into its even and odd bytes as 16-bit lanes
// (split_query): the code's bytes are split by a mask and a shift, and the differences
// taken in 16 bits, one operation fewer per 32 components than the byte form above. Worth
// it where one split of the query serves several codes.
struct SplitQuery {
  __m256i even, odd;
};

__attribute__((target("avx2"))) static inline SplitQuery split_query(const uint8_t* q) {
  const __m256i low = _mm256_set1_epi16(0x00FF);
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
  return {_mm256_and_si256(v, low), _mm256_srli_epi16(v, 8)};
}

__attribute__((target("avx2"))) static inline __m256i squares32_split(SplitQuery q,
                                                                      const uint8_t* p) {
  const __m256i low = _mm256_set1_epi16(0x00FF);
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i even = _mm256_sub_epi16(_mm256_and_si256(v, low), q.even);
  __m256i odd = _mm256_sub_epi16(_mm256_srli_epi16(v, 8), q.odd);
  return _mm256_add_epi32(_mm256_madd_epi16(even, even), _mm256_madd_epi16(odd, odd));
}

// The same for 16 components into four lanes.
__attribute__((target("avx2"))) static inline __m128i squares16(__m128i q, const uint8_t* p) {
  const __m128i zero = _mm_setzero_si128();
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i diff = _mm_or_si128(_mm_subs_epu8(q, v), _mm_subs_epu8(v, q));
  __m128i lo = _mm_unpacklo_epi8(diff, zero);
  __m128i hi = _mm_unpackhi_epi8(diff, zero);
  return _mm_add_epi32(_mm_madd_epi16(lo, lo), _mm_madd_epi16(hi, hi));
}

// The four lane sums [s0, s1, s2, s3] of four accumulators, by three horizontal adds.
__attribute__((target("avx2"))) static inline __m128i sum4(__m256i a0, __m256i a1, __m256i a2,
                                                           __m256i a3) {
  __m256i s = _mm256_hadd_epi32(_mm256_hadd_epi32(a0, a1), _mm256_hadd_epi32(a2, a3));
  return _mm_add_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
}

// Four codes against one query: one query load per step feeds four independent
// accumulators, and the four horizontal sums are taken together at the end.
__attribute__((target("avx2"), always_inline)) static inline void distance4_avx2(
    const uint8_t* query, const uint8_t* p0, const uint8_t* p1, const uint8_t* p2,
    const uint8_t* p3, size_t n, uint32_t* out) {
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
#define TARNIX_AVX2_STEPS(end)                             \
  for (; i < (end); i += 32) {                             \
    SplitQuery q = split_query(query + i);                 \
    a0 = _mm256_add_epi32(a0, squares32_split(q, p0 + i)); \
    a1 = _mm256_add_epi32(a1, squares32_split(q, p1 + i)); \
    a2 = _mm256_add_epi32(a2, squares32_split(q, p2 + i)); \
    a3 = _mm256_add_epi32(a3, squares32_split(q, p3 + i)); \
  }
  TARNIX_AVX2_STEPS(n & ~size_t{31})
#undef TARNIX_AVX2_STEPS
  __m128i sums = sum4(a0, a1, a2, a3);
  if (i + 16 <= n) {
    __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(query + i));
    __m128i b01 = _mm_hadd_epi32(squares16(q, p0 + i), squares16(q, p1 + i));
    __m128i b23 = _mm_hadd_epi32(squares16(q, p2 + i), squares16(q, p3 + i));
    sums = _mm_add_epi32(sums, _mm_hadd_epi32(b01, b23));
    i += 16;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), sums);
  if (i < n) {
    out[0] += distance_scalar(query + i, p0 + i, n - i);
    out[1] += distance_scalar(query + i, p1 + i, n - i);
    out[2] += distance_scalar(query + i, p2 + i, n - i);
    out[3] += distance_scalar(query + i, p3 + i, n - i);
  }
}

// One long code (see kLongCode), four accumulators over 128-byte strides.
__attribute__((target("avx2"))) static inline uint32_t lane_sum(__m256i a) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(s));
}

__attribute__((target("avx2"), always_inline)) static inline uint32_t distance1_avx2(
    const uint8_t* query, const uint8_t* p, size_t n) {
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
#define TARNIX_AVX2_LONG_STEPS(end)                                                             \
  for (; i + 128 <= (end); i += 128) {                                                          \
    a0 = _mm256_add_epi32(                                                                      \
        a0, squares32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i)), p + i)); \
    a1 = _mm256_add_epi32(                                                                      \
        a1, squares32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i + 32)),     \
                      p + i + 32));                                                             \
    a2 = _mm256_add_epi32(                                                                      \
        a2, squares32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i + 64)),     \
                      p + i + 64));                                                             \
    a3 = _mm256_add_epi32(                                                                      \
        a3, squares32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i + 96)),     \
                      p + i + 96));                                                             \
  }                                                                                             \
  for (; i + 32 <= (end); i += 32) {                                                            \
    a0 = _mm256_add_epi32(                                                                      \
        a0, squares32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i)), p + i)); \
  }
  TARNIX_AVX2_LONG_STEPS(n)
#undef TARNIX_AVX2_LONG_STEPS
  uint32_t sum = lane_sum(_mm256_add_epi32(_mm256_add_epi32(a0, a1), _mm256_add_epi32(a2, a3)));
  return i == n ? sum : sum + distance_scalar(query + i, p + i, n - i);
}

// From this length on a run takes its codes one at a time: a code then has enough steps to
// keep the accumulators busy by itself, and four codes read side by side would be four
// streams, which the hardware prefetchers follow worse than one.
constexpr size_t kLongCode = 256;

__attribute__((target("avx2"))) static void distance_run_avx2(const uint8_t* query,
                                                              const uint8_t* first, size_t count,
                                                              size_t n, uint32_t* out) {
  size_t j = 0;
  if (n >= kLongCode) {
    for (; j < count; ++j) out[j] = distance1_avx2(query, first + j * n, n);
    return;
  }
  for (; j + 4 <= count; j += 4) {
    const uint8_t* p = first + j * n;
    distance4_avx2(query, p, p + n, p + 2 * n, p + 3 * n, n, out + j);
  }
  for (; j < count; ++j) out[j] = distance_avx2(query, first + j * n, n);
}

// Whether four sums (below 2^31) are all above `limit`, the bound less one.
__attribute__((target("avx2"))) static inline bool all_at_or_above(__m128i sums, __m128i limit) {
  return _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(sums, limit))) == 0xF;
}

// The same for four sums stored at `sums`: whether any is below the bound.
__attribute__((target("avx2"))) static inline bool any_stored_below(const uint32_t* sums,
                                                                    __m128i limit) {
  return !all_at_or_above(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sums)), limit);
}

// The codes of a run after its last group of four, one at a time; whether any is below
// `bound`.
__attribute__((target("avx2"))) static bool leftovers_below(const uint8_t* query,
                                                            const uint8_t* first, size_t from,
                                                            size_t count, size_t n,
                                                            uint64_t bound, uint32_t* out) {
  bool any_below = false;
  for (size_t j = from; j < count; ++j) {
    out[j] = distance_avx2(query, first + j * n, n);
    any_below |= out[j] < bound;
  }
  return any_below;
}

// Halfway through four short codes, their partial sums are compared with the bound: once
// all four have reached it (squares only add, and sums over fewer than kLongCode bytes
// cannot wrap), none can enter the results and their other half is never read. In a scan
// most codes are far from the query, so on clustered data most groups stop there.
// The check costs a horizontal sum and a comparison per group, which pays only where groups
// do stop: where fewer than half of the groups among a run's first kStopSample codes stop
// (codes about equally far from the query, as in uniform data), the rest of the run is
// computed in full. Either way the full sums are compared with the bound too, so that a
// run with nothing below it says so.
constexpr size_t kStopSample = 64;

__attribute__((target("avx2"))) static bool distance_run_bounded_avx2(const uint8_t* query,
                                                                      const uint8_t* first,
                                                                      size_t count, size_t n,
                                                                      uint64_t bound,
                                                                      uint32_t* out) {
  const size_t half = (n / 64) * 32;
  if (half == 0 || n >= kLongCode || bound > INT32_MAX) {
    distance_run_avx2(query, first, count, n, out);
    return true;
  }
  const __m128i limit = _mm_set1_epi32(static_cast<int>(bound - 1));
  bool any_below = false;
  size_t stopped = 0;
  size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    if (j == kStopSample && stopped * 2 < kStopSample / 4) break;
    const uint8_t *p0 = first + j * n, *p1 = p0 + n, *p2 = p1 + n, *p3 = p2 + n;
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    for (size_t i = 0; i < half; i += 32) {
      SplitQuery q = split_query(query + i);
      a0 = _mm256_add_epi32(a0, squares32_split(q, p0 + i));
      a1 = _mm256_add_epi32(a1, squares32_split(q, p1 + i));
      a2 = _mm256_add_epi32(a2, squares32_split(q, p2 + i));
      a3 = _mm256_add_epi32(a3, squares32_split(q, p3 + i));
    }
    __m128i part = sum4(a0, a1, a2, a3);
    if (!all_at_or_above(part, limit)) {
      uint32_t rest[4];
      distance4_avx2(query + half, p0 + half, p1 + half, p2 + half, p3 + half, n - half, rest);
      part = _mm_add_epi32(part, _mm_loadu_si128(reinterpret_cast<const __m128i*>(rest)));
      any_below |= !all_at_or_above(part, limit);
    } else {
      ++stopped;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), part);
  }
  for (; j + 4 <= count; j += 4) {
    const uint8_t* p = first + j * n;
    distance4_avx2(query, p, p + n, p + 2 * n, p + 3 * n, n, out + j);
    any_below |= any_stored_below(out + j, limit);
  }
  any_below |= leftovers_below(query, first, j, count, n, bound, out);
  return any_below;
}

__attribute__((target("avx2"))) static void distance_gather_avx2(const uint8_t* query,
                                                                 const uint8_t* const* codes,
                                                                 size_t count, size_t n,
                                                                 uint32_t* out) {
  size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    distance4_avx2(query, codes[j], codes[j + 1], codes[j + 2], codes[j + 3], n, out + j);
  }
  if (j < count) {
    // One to three codes left (a graph row's fresh neighbours rarely come in fours): one more
    // four-code pass over them, repeating the last, costs less than single distances.
    const uint8_t* last = codes[count - 1];
    uint32_t four[4];
    distance4_avx2(query, codes[j], j + 1 < count ? codes[j + 1] : last,
                   j + 2 < count ? codes[j + 2] : last, last, n, four);
    for (size_t i = 0; j < count; ++i, ++j) out[j] = four[i];
  }
}

// With the byte dot-product instruction (vpdpbusd: unsigned times signed bytes, summed
// four at a time into 32-bit lanes) the distance costs three multiply-adds per 32 bytes
// instead of nine operations. With v' = v - 128 as a signed byte:
//   A = sum v * v' + sum 128 * v' = sum (v - 128)(v + 128) = sum v^2 - 16384 n
//   B = sum q * v'                                        = sum q v - 128 sum q
//   A - 2B + sum (q - 128)^2 = sum q^2 - 2 sum q v + sum v^2 = sum (q - v)^2.
// Every step is ring arithmetic modulo 2^32, so the result is the scalar sum exactly, wrap
// included. The last term depends on the query alone and is computed once per call.
#define TARNIX_VNNI_TARGET __attribute__((target("avx512vnni,avx512vl,avx512bw,avx2")))

// sum (q - 128)^2 over the components the vector loop covers.
static uint32_t query_term(const uint8_t* query, size_t main) {
  uint32_t sum = 0;
  for (size_t i = 0; i < main; ++i) {
    int d = int{query[i]} - 128;
    sum += static_cast<uint32_t>(d * d);
  }
  return sum;
}

// One 32-byte step of one code: a += v * v' + 128 * v', b += q * v'.
TARNIX_VNNI_TARGET static inline void vnni_step(__m256i q, const uint8_t* p, __m256i& a,
                                                __m256i& b) {
  const __m256i bias = _mm256_set1_epi8(static_cast<char>(0x80));
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i s = _mm256_xor_si256(v, bias);
  a = _mm256_dpbusd_epi32(a, v, s);
  a = _mm256_dpbusd_epi32(a, bias, s);
  b = _mm256_dpbusd_epi32(b, q, s);
}

// The four distances' lane sums so far: A - 2B, summed across lanes.
TARNIX_VNNI_TARGET static inline __m128i vnni_sums(__m256i a0, __m256i a1, __m256i a2, __m256i a3,
                                                   __m256i b0, __m256i b1, __m256i b2, __m256i b3) {
  return sum4(_mm256_sub_epi32(a0, _mm256_add_epi32(b0, b0)),
              _mm256_sub_epi32(a1, _mm256_add_epi32(b1, b1)),
              _mm256_sub_epi32(a2, _mm256_add_epi32(b2, b2)),
              _mm256_sub_epi32(a3, _mm256_add_epi32(b3, b3)));
}

// `term`: sum (q - 128)^2 over [0, main).
TARNIX_VNNI_TARGET __attribute__((always_inline)) static inline void distance4_vnni(
    const uint8_t* query, const uint8_t* p0, const uint8_t* p1, const uint8_t* p2,
    const uint8_t* p3, size_t main, size_t n, uint32_t term, uint32_t* out) {
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  __m256i b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  size_t i = 0;
#define TARNIX_VNNI_STEPS(end)                                                   \
  for (; i < (end); i += 32) {                                                   \
    __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i)); \
    vnni_step(q, p0 + i, a0, b0);                                                \
    vnni_step(q, p1 + i, a1, b1);                                                \
    vnni_step(q, p2 + i, a2, b2);                                                \
    vnni_step(q, p3 + i, a3, b3);                                                \
  }
  TARNIX_VNNI_STEPS(main)
#undef TARNIX_VNNI_STEPS
  __m128i sums = _mm_add_epi32(vnni_sums(a0, a1, a2, a3, b0, b1, b2, b3),
                               _mm_set1_epi32(static_cast<int>(term)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), sums);
  if (main < n) {
    out[0] += distance_scalar(query + main, p0 + main, n - main);
    out[1] += distance_scalar(query + main, p1 + main, n - main);
    out[2] += distance_scalar(query + main, p2 + main, n - main);
    out[3] += distance_scalar(query + main, p3 + main, n - main);
  }
}

// One long code, four accumulator pairs over 128-byte strides.
TARNIX_VNNI_TARGET __attribute__((always_inline)) static inline uint32_t distance1_vnni(
    const uint8_t* query, const uint8_t* p, size_t main, size_t n, uint32_t term) {
  __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
  __m256i b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  size_t i = 0;
#define TARNIX_VNNI_LONG_STEPS(end)                                                             \
  for (; i + 128 <= (end); i += 128) {                                                          \
    vnni_step(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i)), p + i, a0, b0);  \
    vnni_step(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i + 32)), p + i + 32, \
              a1, b1);                                                                          \
    vnni_step(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i + 64)), p + i + 64, \
              a2, b2);                                                                          \
    vnni_step(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i + 96)), p + i + 96, \
              a3, b3);                                                                          \
  }                                                                                             \
  for (; i < (end); i += 32) {                                                                  \
    vnni_step(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i)), p + i, a0, b0);  \
  }
  auto total = [&]() TARNIX_VNNI_TARGET {
    __m256i a = _mm256_add_epi32(_mm256_add_epi32(a0, a1), _mm256_add_epi32(a2, a3));
    __m256i b = _mm256_add_epi32(_mm256_add_epi32(b0, b1), _mm256_add_epi32(b2, b3));
    return lane_sum(_mm256_sub_epi32(a, _mm256_add_epi32(b, b)));
  };
  TARNIX_VNNI_LONG_STEPS(main)
#undef TARNIX_VNNI_LONG_STEPS
  uint32_t sum = total() + term;
  return main == n ? sum : sum + distance_scalar(query + main, p + main, n - main);
}

TARNIX_VNNI_TARGET static void distance_run_vnni(const uint8_t* query, const uint8_t* first,
                                                 size_t count, size_t n, uint32_t* out) {
  const size_t main = n & ~size_t{31};
  const uint32_t term = query_term(query, main);
  size_t j = 0;
  if (n >= kLongCode) {
    for (; j < count; ++j) out[j] = distance1_vnni(query, first + j * n, main, n, term);
    return;
  }
  for (; j + 4 <= count; j += 4) {
    const uint8_t* p = first + j * n;
    distance4_vnni(query, p, p + n, p + 2 * n, p + 3 * n, main, n, term, out + j);
  }
  for (; j < count; ++j) out[j] = distance_avx2(query, first + j * n, n);
}

// As distance_run_bounded_avx2: four short codes stop halfway once all four partial sums
// have reached the bound. A partial sum is A - 2B plus the query's term over the same
// components: the exact sum of squares of that half.
TARNIX_VNNI_TARGET static bool distance_run_bounded_vnni(const uint8_t* query, const uint8_t* first,
                                                         size_t count, size_t n, uint64_t bound,
                                                         uint32_t* out) {
  const size_t main = n & ~size_t{31};
  const size_t half = (n / 64) * 32;
  if (half == 0 || n >= kLongCode || bound > INT32_MAX) {
    distance_run_vnni(query, first, count, n, out);
    return true;
  }
  const uint32_t head_term = query_term(query, half);
  const uint32_t rest_term = query_term(query + half, main - half);
  const __m128i limit = _mm_set1_epi32(static_cast<int>(bound - 1));
  bool any_below = false;
  size_t stopped = 0;
  size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    if (j == kStopSample && stopped * 2 < kStopSample / 4) break;
    const uint8_t *p0 = first + j * n, *p1 = p0 + n, *p2 = p1 + n, *p3 = p2 + n;
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    __m256i b0 = a0, b1 = a0, b2 = a0, b3 = a0;
    for (size_t i = 0; i < half; i += 32) {
      __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i));
      vnni_step(q, p0 + i, a0, b0);
      vnni_step(q, p1 + i, a1, b1);
      vnni_step(q, p2 + i, a2, b2);
      vnni_step(q, p3 + i, a3, b3);
    }
    __m128i part = _mm_add_epi32(vnni_sums(a0, a1, a2, a3, b0, b1, b2, b3),
                                 _mm_set1_epi32(static_cast<int>(head_term)));
    if (!all_at_or_above(part, limit)) {
      uint32_t rest[4];
      distance4_vnni(query + half, p0 + half, p1 + half, p2 + half, p3 + half, main - half,
                     n - half, rest_term, rest);
      part = _mm_add_epi32(part, _mm_loadu_si128(reinterpret_cast<const __m128i*>(rest)));
      any_below |= !all_at_or_above(part, limit);
    } else {
      ++stopped;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), part);
  }
  const uint32_t term = head_term + rest_term;
  for (; j + 4 <= count; j += 4) {
    const uint8_t* p = first + j * n;
    distance4_vnni(query, p, p + n, p + 2 * n, p + 3 * n, main, n, term, out + j);
    any_below |= any_stored_below(out + j, limit);
  }
  any_below |= leftovers_below(query, first, j, count, n, bound, out);
  return any_below;
}

// sum q^2 over n bytes (n a multiple of 32): sum q (q - 128) + 128 sum q.
TARNIX_VNNI_TARGET static uint32_t query_square(const uint8_t* query, size_t n) {
  const __m256i bias = _mm256_set1_epi8(static_cast<char>(0x80));
  const __m256i zero = _mm256_setzero_si256();
  __m256i products = zero, bytes = zero;
  for (size_t i = 0; i < n; i += 32) {
    __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i));
    products = _mm256_dpbusd_epi32(products, q, _mm256_xor_si256(q, bias));
    bytes = _mm256_add_epi64(bytes, _mm256_sad_epu8(q, zero));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), bytes);
  const uint64_t total = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  return lane_sum(products) + static_cast<uint32_t>(128 * total);
}

// Whether any of four distances is below `bound`, compared as unsigned 32-bit values.
TARNIX_VNNI_TARGET static inline bool any_below_bound(__m128i sums, uint64_t bound) {
  if (bound > UINT32_MAX) return true;
  if (bound == 0) return false;
  const __m128i limit = _mm_set1_epi32(static_cast<int>(static_cast<uint32_t>(bound - 1)));
  return _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(_mm_min_epu32(sums, limit), sums))) != 0;
}

// acc += the code's 32 bytes (unsigned) times q (signed), four products per lane.
TARNIX_VNNI_TARGET static inline __m256i dot_step(__m256i acc, const uint8_t* p, __m256i q) {
  return _mm256_dpbusd_epi32(acc, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), q);
}

// With each code's term known, a distance is sum q^2 + N(v) - 2 sum v (q - 128): one
// multiply-add per 32 bytes (v unsigned, q - 128 signed), with two chains per code so that
// four codes keep eight in flight.
TARNIX_VNNI_TARGET static bool distance_run_normed_vnni(const uint8_t* query, const uint8_t* first,
                                                        const uint32_t* norms, size_t count,
                                                        size_t n, uint64_t bound, uint32_t* out) {
  const __m256i bias = _mm256_set1_epi8(static_cast<char>(0x80));
  const __m128i square = _mm_set1_epi32(static_cast<int>(query_square(query, n)));
  bool any_below = false;
  size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    const uint8_t *p0 = first + j * n, *p1 = p0 + n, *p2 = p1 + n, *p3 = p2 + n;
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    __m256i b0 = a0, b1 = a0, b2 = a0, b3 = a0;
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
      __m256i q = _mm256_xor_si256(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i)), bias);
      __m256i r = _mm256_xor_si256(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i + 32)), bias);
      a0 = dot_step(a0, p0 + i, q);
      b0 = dot_step(b0, p0 + i + 32, r);
      a1 = dot_step(a1, p1 + i, q);
      b1 = dot_step(b1, p1 + i + 32, r);
      a2 = dot_step(a2, p2 + i, q);
      b2 = dot_step(b2, p2 + i + 32, r);
      a3 = dot_step(a3, p3 + i, q);
      b3 = dot_step(b3, p3 + i + 32, r);
    }
    if (i < n) {
      __m256i q = _mm256_xor_si256(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i)), bias);
      a0 = dot_step(a0, p0 + i, q);
      a1 = dot_step(a1, p1 + i, q);
      a2 = dot_step(a2, p2 + i, q);
      a3 = dot_step(a3, p3 + i, q);
    }
    __m128i dots = sum4(_mm256_add_epi32(a0, b0), _mm256_add_epi32(a1, b1),
                        _mm256_add_epi32(a2, b2), _mm256_add_epi32(a3, b3));
    __m128i sums = _mm_sub_epi32(
        _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(norms + j)), square),
        _mm_add_epi32(dots, dots));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), sums);
    any_below |= any_below_bound(sums, bound);
  }
  any_below |= leftovers_below(query, first, j, count, n, bound, out);
  return any_below;
}

TARNIX_VNNI_TARGET static void distance_gather_vnni(const uint8_t* query,
                                                    const uint8_t* const* codes, size_t count,
                                                    size_t n, uint32_t* out) {
  const size_t main = n & ~size_t{31};
  const uint32_t term = query_term(query, main);
  size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    distance4_vnni(query, codes[j], codes[j + 1], codes[j + 2], codes[j + 3], main, n, term,
                   out + j);
  }
  if (j < count) {
    // As in distance_gather_avx2: the one to three codes left in one more four-code pass.
    const uint8_t* last = codes[count - 1];
    uint32_t four[4];
    distance4_vnni(query, codes[j], j + 1 < count ? codes[j + 1] : last,
                   j + 2 < count ? codes[j + 2] : last, last, main, n, term, four);
    for (size_t i = 0; j < count; ++i, ++j) out[j] = four[i];
  }
}

static bool have_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

static bool have_vnni() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512vnni") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
}

DistanceFn best_distance_fn() {
  return have_avx2() ? distance_avx2 : distance_scalar;
}
DistanceRunFn best_distance_run_fn() {
  if (have_vnni()) return distance_run_vnni;
  return have_avx2() ? distance_run_avx2 : distance_run_scalar;
}
DistanceGatherFn best_distance_gather_fn() {
  if (have_vnni()) return distance_gather_vnni;
  return have_avx2() ? distance_gather_avx2 : distance_gather_scalar;
}
DistanceRunBoundedFn best_distance_run_bounded_fn() {
  if (have_vnni()) return distance_run_bounded_vnni;
  return have_avx2() ? distance_run_bounded_avx2 : run_ignoring_bound<distance_run_scalar>;
}
DistanceRunNormedFn best_distance_run_normed_fn() {
  return have_vnni() ? distance_run_normed_vnni : nullptr;
}

// Every version this CPU can run, for the tests.
std::vector<DistanceRunFn> available_distance_run_fns() {
  std::vector<DistanceRunFn> out = {distance_run_scalar};
  if (have_avx2()) out.push_back(distance_run_avx2);
  if (have_vnni()) out.push_back(distance_run_vnni);
  return out;
}
std::vector<DistanceGatherFn> available_distance_gather_fns() {
  std::vector<DistanceGatherFn> out = {distance_gather_scalar};
  if (have_avx2()) out.push_back(distance_gather_avx2);
  if (have_vnni()) out.push_back(distance_gather_vnni);
  return out;
}
std::vector<DistanceRunBoundedFn> available_distance_run_bounded_fns() {
  std::vector<DistanceRunBoundedFn> out = {run_ignoring_bound<distance_run_scalar>};
  if (have_avx2()) out.push_back(distance_run_bounded_avx2);
  if (have_vnni()) out.push_back(distance_run_bounded_vnni);
  return out;
}

#elif defined(__aarch64__)

static uint32_t distance_neon(const uint8_t* a, const uint8_t* b, size_t n) {
  uint32x4_t acc = vdupq_n_u32(0);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    uint8x16_t d = vabdq_u8(vld1q_u8(a + i), vld1q_u8(b + i));
    uint16x8_t lo = vmull_u8(vget_low_u8(d), vget_low_u8(d));
    uint16x8_t hi = vmull_u8(vget_high_u8(d), vget_high_u8(d));
    acc = vpadalq_u16(acc, lo);
    acc = vpadalq_u16(acc, hi);
  }
  return i == n ? vaddvq_u32(acc) : vaddvq_u32(acc) + distance_scalar(a + i, b + i, n - i);
}

static inline uint32x4_t squares16_neon(uint32x4_t acc, uint8x16_t q, const uint8_t* p) {
  uint8x16_t d = vabdq_u8(q, vld1q_u8(p));
  acc = vpadalq_u16(acc, vmull_u8(vget_low_u8(d), vget_low_u8(d)));
  return vpadalq_u16(acc, vmull_u8(vget_high_u8(d), vget_high_u8(d)));
}

// Four codes against one query, the query loaded once per step.
static inline void distance4_neon(const uint8_t* query, const uint8_t* p0, const uint8_t* p1,
                                  const uint8_t* p2, const uint8_t* p3, size_t n, uint32_t* out) {
  uint32x4_t a0 = vdupq_n_u32(0), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    uint8x16_t q = vld1q_u8(query + i);
    a0 = squares16_neon(a0, q, p0 + i);
    a1 = squares16_neon(a1, q, p1 + i);
    a2 = squares16_neon(a2, q, p2 + i);
    a3 = squares16_neon(a3, q, p3 + i);
  }
  uint32x4_t sums = vpaddq_u32(vpaddq_u32(a0, a1), vpaddq_u32(a2, a3));
  vst1q_u32(out, sums);
  if (i < n) {
    out[0] += distance_scalar(query + i, p0 + i, n - i);
    out[1] += distance_scalar(query + i, p1 + i, n - i);
    out[2] += distance_scalar(query + i, p2 + i, n - i);
    out[3] += distance_scalar(query + i, p3 + i, n - i);
  }
}

static void distance_run_neon(const uint8_t* query, const uint8_t* first, size_t count, size_t n,
                              uint32_t* out) {
  size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    const uint8_t* p = first + j * n;
    distance4_neon(query, p, p + n, p + 2 * n, p + 3 * n, n, out + j);
  }
  for (; j < count; ++j) out[j] = distance_neon(query, first + j * n, n);
}

static void distance_gather_neon(const uint8_t* query, const uint8_t* const* codes, size_t count,
                                 size_t n, uint32_t* out) {
  size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    distance4_neon(query, codes[j], codes[j + 1], codes[j + 2], codes[j + 3], n, out + j);
  }
  for (; j < count; ++j) out[j] = distance_neon(query, codes[j], n);
}

DistanceFn best_distance_fn() {
  return distance_neon;
}
DistanceRunFn best_distance_run_fn() {
  return distance_run_neon;
}
DistanceGatherFn best_distance_gather_fn() {
  return distance_gather_neon;
}
std::vector<DistanceRunFn> available_distance_run_fns() {
  return {distance_run_scalar, distance_run_neon};
}
std::vector<DistanceGatherFn> available_distance_gather_fns() {
  return {distance_gather_scalar, distance_gather_neon};
}
DistanceRunBoundedFn best_distance_run_bounded_fn() {
  return run_ignoring_bound<distance_run_neon>;
}
DistanceRunNormedFn best_distance_run_normed_fn() {
  return nullptr;
}
std::vector<DistanceRunBoundedFn> available_distance_run_bounded_fns() {
  return {run_ignoring_bound<distance_run_scalar>, run_ignoring_bound<distance_run_neon>};
}

#elif defined(__arm__) && (defined(__ARM_NEON) || !defined(__clang__))

// 32-bit NEON has no across-vector add, so the four lanes are folded by pairwise adds at the
// end. Debian's armhf baseline does not promise NEON, so the kernel is compiled for it
// separately and used only when the CPU reports it.
__attribute__((target("fpu=neon"))) static uint32_t distance_neon(const uint8_t* a,
                                                                  const uint8_t* b, size_t n) {
  uint32x4_t acc = vdupq_n_u32(0);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    uint8x16_t d = vabdq_u8(vld1q_u8(a + i), vld1q_u8(b + i));
    uint16x8_t lo = vmull_u8(vget_low_u8(d), vget_low_u8(d));
    uint16x8_t hi = vmull_u8(vget_high_u8(d), vget_high_u8(d));
    acc = vpadalq_u16(acc, lo);
    acc = vpadalq_u16(acc, hi);
  }
  uint32x2_t pair = vadd_u32(vget_low_u32(acc), vget_high_u32(acc));
  uint32_t sum = vget_lane_u32(vpadd_u32(pair, pair), 0);
  return i == n ? sum : sum + distance_scalar(a + i, b + i, n - i);
}

DistanceFn best_distance_fn() {
#if defined(__ARM_NEON)
  return distance_neon;
#else
  constexpr unsigned long kHwcapNeon = 1UL << 12;  // HWCAP_NEON in the kernel's ARM ABI
  return (getauxval(AT_HWCAP) & kHwcapNeon) ? distance_neon : distance_scalar;
#endif
}

#else

DistanceFn best_distance_fn() {
  return distance_scalar;
}

#endif

#if !defined(__x86_64__) && !defined(__aarch64__)

// No multi-code kernels here: runs and gathers take the best single kernel code by code.
DistanceRunFn best_distance_run_fn() {
  return distance_run_each;
}
DistanceGatherFn best_distance_gather_fn() {
  return distance_gather_each;
}
std::vector<DistanceRunFn> available_distance_run_fns() {
  return {distance_run_scalar, distance_run_each};
}
std::vector<DistanceGatherFn> available_distance_gather_fns() {
  return {distance_gather_scalar, distance_gather_each};
}
DistanceRunBoundedFn best_distance_run_bounded_fn() {
  return run_ignoring_bound<distance_run_each>;
}
DistanceRunNormedFn best_distance_run_normed_fn() {
  return nullptr;
}
std::vector<DistanceRunBoundedFn> available_distance_run_bounded_fns() {
  return {run_ignoring_bound<distance_run_scalar>, run_ignoring_bound<distance_run_each>};
}

#endif

}  // namespace tarnix
