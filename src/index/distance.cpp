#include "index/distance.h"

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
  __m128i sum128 =
      _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
  sum128 = _mm_add_epi32(sum128, _mm_shuffle_epi32(sum128, _MM_SHUFFLE(1, 0, 3, 2)));
  sum128 = _mm_add_epi32(sum128, _mm_shuffle_epi32(sum128, _MM_SHUFFLE(2, 3, 0, 1)));
  uint32_t sum = static_cast<uint32_t>(_mm_cvtsi128_si32(sum128));
  return i == n ? sum : sum + distance_scalar(a + i, b + i, n - i);
}

DistanceFn best_distance_fn() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return distance_avx2;
  return distance_scalar;
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

DistanceFn best_distance_fn() { return distance_neon; }

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

DistanceFn best_distance_fn() { return distance_scalar; }

#endif

}  // namespace tarnix
