#include "meta/secondary_index.h"

#include <string>

namespace tarnix {
namespace {

// The str_index text of a boolean or string value; nullptr for every other kind.
const std::string* value_text(const Json& value) {
  static const std::string kTrue = "true";
  static const std::string kFalse = "false";
  if (value.is_boolean()) return value.get<bool>() ? &kTrue : &kFalse;
  if (value.is_string()) return &value.get_ref<const std::string&>();
  return nullptr;
}

template <class V>
V& entry(StringMap<V>& map, std::string_view key) {
  auto it = map.find(key);
  if (it == map.end()) it = map.emplace(std::string(key), V()).first;
  return it->second;
}

}  // namespace

void index_metadata_value(StrIndex& str_index, NumIndex& num_index, std::string_view field,
                          const Json& value, uint32_t slot) {
  if (const std::string* text = value_text(value)) {
    entry(entry(str_index, field), *text).add(slot);
  } else if (value.is_number()) {
    entry(num_index, field).insert(slot, json_number_to_float(value));
  } else if (value.is_array()) {
    for (const Json& element : value) {
      index_metadata_value(str_index, num_index, field, element, slot);
    }
  }
}

void deindex_metadata_value(StrIndex& str_index, NumIndex& num_index, std::string_view field,
                            const Json& value, uint32_t slot) {
  if (const std::string* text = value_text(value)) {
    auto field_it = str_index.find(field);
    if (field_it == str_index.end()) return;
    StringMap<Bitmap>& values = field_it->second;
    if (auto it = values.find(*text); it != values.end()) {
      it->second.remove(slot);
      if (it->second.empty()) values.erase(it);
    }
    if (values.empty()) str_index.erase(field_it);
  } else if (value.is_number()) {
    if (auto it = num_index.find(field); it != num_index.end()) it->second.remove(slot);
  } else if (value.is_array()) {
    for (const Json& element : value) {
      deindex_metadata_value(str_index, num_index, field, element, slot);
    }
  }
}

void remove_slots_from_indexes(StrIndex& str_index, NumIndex& num_index, const Bitmap& slots) {
  if (slots.empty()) return;
  for (auto field_it = str_index.begin(); field_it != str_index.end();) {
    StringMap<Bitmap>& values = field_it->second;
    for (auto it = values.begin(); it != values.end();) {
      it->second -= slots;
      it = it->second.empty() ? values.erase(it) : std::next(it);
    }
    field_it = values.empty() ? str_index.erase(field_it) : std::next(field_it);
  }
  // Bounds stay as they are, as with remove(): they only ever widen.
  for (auto& [field, bsi] : num_index) {
    for (Bitmap& slice : bsi.slices) slice -= slots;
    bsi.existence -= slots;
  }
}

}  // namespace tarnix
