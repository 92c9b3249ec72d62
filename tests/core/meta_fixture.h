// Secondary indexes filled the way the core's insertion and deletion fill them, without a
// store: members in key order, "id" and "_id" skipped.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "meta/filter.h"
#include "meta/secondary_index.h"
#include "util/fnv.h"

namespace tarnix {

struct MetaFixture {
  StrIndex str_index;
  NumIndex num_index;
  Bitmap universe;
  std::unordered_map<uint64_t, uint32_t> ext_to_int;

  static Json parse(const std::string& text) {
    Result<Json> parsed = parse_json(text);
    EXPECT_TRUE(parsed.ok()) << text;
    return parsed.ok() ? std::move(parsed).value() : Json();
  }

  void add(uint32_t slot, const std::string& ext_id, const Json& metadata) {
    for (auto it = metadata.begin(); it != metadata.end(); ++it) {
      if (it.key() == "id" || it.key() == "_id") continue;
      index_metadata_value(str_index, num_index, it.key(), it.value(), slot);
    }
    ext_to_int[id_hash(ext_id)] = slot;
    universe.add(slot);
  }

  // A deletion that leaves the id mapped, so lookups must check liveness themselves.
  void remove(uint32_t slot, const Json& metadata) {
    for (auto it = metadata.begin(); it != metadata.end(); ++it) {
      if (it.key() == "id" || it.key() == "_id") continue;
      deindex_metadata_value(str_index, num_index, it.key(), it.value(), slot);
    }
    for (auto& [field, bsi] : num_index) bsi.remove(slot);
    universe.remove(slot);
  }

  FilterContext ctx() const { return FilterContext{str_index, num_index, universe, ext_to_int}; }

  std::vector<uint32_t> select(const std::string& filter) const {
    return evaluate_filter(ctx(), parse(filter)).to_vector();
  }
};

}  // namespace tarnix
