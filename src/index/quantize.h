// Vector codes: one unsigned byte per component, (clamp(x, -1, 1) + 1) * 127.5 truncated,
// computed in single precision. NaN stores 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnix {

inline uint8_t quantize_component(float x) {
  if (x < -1.0f) x = -1.0f;
  if (x > 1.0f) x = 1.0f;
  float y = (x + 1.0f) * 127.5f;
  if (!(y >= 0.0f)) return 0;  // negative or NaN
  if (y > 255.0f) return 255;
  return static_cast<uint8_t>(y);
}

inline void quantize(const float* x, size_t n, uint8_t* out) {
  for (size_t i = 0; i < n; ++i) out[i] = quantize_component(x[i]);
}

}  // namespace tarnix
