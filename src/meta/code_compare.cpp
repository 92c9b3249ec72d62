#include "meta/code_compare.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tarnix {
namespace {

template <CodeOrder kOrder>
uint64_t compare_word_scalar(const uint32_t* codes, size_t count, uint32_t code) {
  uint64_t bits = 0;
  for (size_t j = 0; j < count; ++j) bits |= uint64_t{holds(kOrder, codes[j], code)} << j;
  return bits;
}

template <CodeOrder kOrder>
void compare_scalar(const uint32_t* codes, size_t n, uint32_t code, uint64_t* words) {
  for (size_t w = 0; w * 64 < n; ++w) {
    size_t count = n - w * 64 < 64 ? n - w * 64 : 64;
    words[w] = compare_word_scalar<kOrder>(codes + w * 64, count, code);
  }
}

#if defined(__x86_64__) || defined(__i386__)
// AVX2 compares signed lanes only: flipping the sign bit of both sides turns the unsigned
// order into the signed one.
template <CodeOrder kOrder>
__attribute__((target("avx2"))) void compare_avx2(const uint32_t* codes, size_t n, uint32_t code,
                                                  uint64_t* words) {
  const __m256i sign = _mm256_set1_epi32(INT32_MIN);
  const __m256i query = _mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(code)), sign);
  size_t full = n / 64;
  for (size_t w = 0; w < full; ++w) {
    uint64_t bits = 0;
    for (int k = 0; k < 8; ++k) {
      __m256i v = _mm256_xor_si256(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + w * 64 + k * 8)), sign);
      __m256i hit;
      if constexpr (kOrder == CodeOrder::kBelow) hit = _mm256_cmpgt_epi32(query, v);
      if constexpr (kOrder == CodeOrder::kEqual) hit = _mm256_cmpeq_epi32(v, query);
      if constexpr (kOrder == CodeOrder::kAbove) hit = _mm256_cmpgt_epi32(v, query);
      uint32_t lanes = static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(hit)));
      bits |= uint64_t{lanes} << (k * 8);
    }
    words[w] = bits;
  }
  if (full * 64 < n) {
    words[full] = compare_word_scalar<kOrder>(codes + full * 64, n - full * 64, code);
  }
}

bool have_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

template <CodeOrder kOrder>
void compare_best(const uint32_t* codes, size_t n, uint32_t code, uint64_t* words) {
#if defined(__x86_64__) || defined(__i386__)
  static const bool avx2 = have_avx2();
  if (avx2) return compare_avx2<kOrder>(codes, n, code, words);
#endif
  compare_scalar<kOrder>(codes, n, code, words);
}

}  // namespace

void compare_codes(const uint32_t* codes, size_t n, uint32_t code, CodeOrder order,
                   uint64_t* words) {
  switch (order) {
    case CodeOrder::kBelow:
      return compare_best<CodeOrder::kBelow>(codes, n, code, words);
    case CodeOrder::kEqual:
      return compare_best<CodeOrder::kEqual>(codes, n, code, words);
    case CodeOrder::kAbove:
      return compare_best<CodeOrder::kAbove>(codes, n, code, words);
  }
}

}  // namespace tarnix
