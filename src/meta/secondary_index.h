// The secondary indexes over metadata values: str_index for strings and booleans, num_index
// (one NumericBsiIndex per field) for numbers.
#pragma once

#include <cstdint>
#include <string_view>

#include "meta/numeric_bsi.h"
#include "util/bitmap.h"
#include "util/json.h"
#include "util/string_map.h"

namespace tarnix {

// field -> value text -> slots. Booleans are indexed as the texts "true" and "false".
using StrIndex = StringMap<StringMap<Bitmap>>;
// field -> numeric index. A field keeps its entry once it has one.
using NumIndex = StringMap<NumericBsiIndex>;

// Adds one metadata member's value for the slot: booleans and strings to str_index, numbers
// to num_index, arrays element by element at any depth; null and objects are not indexed.
void index_metadata_value(StrIndex& str_index, NumIndex& num_index, std::string_view field,
                          const Json& value, uint32_t slot);

// Takes one member's value out again. Empty value bitmaps and empty fields leave str_index;
// a number removes the slot from the field's numeric index whatever the value was.
void deindex_metadata_value(StrIndex& str_index, NumIndex& num_index, std::string_view field,
                            const Json& value, uint32_t slot);

// Removes the slots from every bitmap of both indexes (empty values and fields leave
// str_index; numeric fields stay).
void remove_slots_from_indexes(StrIndex& str_index, NumIndex& num_index, const Bitmap& slots);

}  // namespace tarnix
