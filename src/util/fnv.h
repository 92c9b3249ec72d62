// The key of the external-id map: 64-bit FNV-1a over the id's UTF-8 bytes.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarnix {

inline uint64_t id_hash(std::string_view id) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : id) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return h;
}

}  // namespace tarnix
