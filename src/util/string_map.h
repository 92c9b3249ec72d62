// Hash maps keyed by std::string that can be searched with a std::string_view.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tarnix {

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

}  // namespace tarnix
