// Unique aggregation: one representative item per distinct value of a field.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "index/core_index.h"

namespace tarnix {

// Groups the `matches` (live, unexpired slots) by `group_by`, picks one representative per
// group by `sort_by` (the largest value when `descending`, else the smallest), projects it
// onto the group field and `output_fields`, orders the groups by their sort values and
// returns the JSON array text. When str_index has the group field, groups are its indexed
// texts and representatives come from the numeric index; otherwise every item is read.
Result<std::string> aggregate_unique(const CoreIndex& index, const Bitmap& matches,
                                     std::string_view group_by, std::string_view sort_by,
                                     std::span<const std::string> output_fields,
                                     bool descending);

}  // namespace tarnix
