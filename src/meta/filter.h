// The filter language: a parsed JSON value evaluated to the bitmap of matching slots, using
// only the secondary indexes and the set of live slots; metadata text is never read.
//
// Precedence inside an object: "$and" (array), else "$or" (array), else "$not", else every
// member whose key does not begin with "$" is a field condition and the result is their
// intersection. Evaluation never fails once the text has parsed.
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "meta/secondary_index.h"
#include "util/bitmap.h"
#include "util/json.h"

namespace tarnix {

// What a filter is evaluated against. `universe` is the set of live slots; `ext_to_int`
// resolves the "id" and "_id" fields (external id hash -> slot).
struct FilterContext {
  const StrIndex& str_index;
  const NumIndex& num_index;
  const Bitmap& universe;
  const std::unordered_map<uint64_t, uint32_t>& ext_to_int;
};

// Parses filter text. The error's message is the detail for "Invalid Filter: {detail}".
Result<Json> parse_filter(std::string_view text);

// With a restriction R the result is the unrestricted result intersected with R; the
// evaluator uses restrictions internally to shrink work.
Bitmap evaluate_filter(const FilterContext& ctx, const Json& filter,
                       const Bitmap* restriction = nullptr);
Bitmap evaluate_field_condition(const FilterContext& ctx, std::string_view field,
                                const Json& condition, const Bitmap* restriction);
// op is one of "$eq", "$ne", "$gt", "$gte", "$lt", "$lte"; anything else selects nothing.
Bitmap evaluate_numeric_op(const FilterContext& ctx, std::string_view field, float x,
                           std::string_view op, const Bitmap* restriction);
Bitmap get_bitmap_str_eq(const FilterContext& ctx, std::string_view field, const Json& value);
Bitmap get_ids_with_field(const FilterContext& ctx, std::string_view field);

}  // namespace tarnix
