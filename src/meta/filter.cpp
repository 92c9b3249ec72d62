#include "meta/filter.h"

#include <string>

#include "util/fnv.h"

namespace tarnix {
namespace {

bool is_id_field(std::string_view field) {
  return field == "id" || field == "_id";
}

// The running set of a conjunction starts as the restriction, or everything that is live.
Bitmap start_set(const FilterContext& ctx, const Bitmap* restriction) {
  return restriction ? *restriction : ctx.universe;
}

// Union of the field conditions that the elements of a "$in" / "$nin" array stand for.
Bitmap union_of_conditions(const FilterContext& ctx, std::string_view field, const Json& elements) {
  Bitmap out;
  for (const Json& element : elements) {
    out |= evaluate_field_condition(ctx, field, element, nullptr);
  }
  return out;
}

// The set of one member of an operator object. Unknown operators and unusable arguments
// select nothing, which empties the whole condition.
Bitmap evaluate_operator(const FilterContext& ctx, std::string_view field, std::string_view op,
                         const Json& arg, const Bitmap* restriction) {
  if (op == "$eq" || op == "$ne") {
    if (arg.is_number()) {
      return evaluate_numeric_op(ctx, field, json_number_to_float(arg), op, restriction);
    }
    Bitmap eq = get_bitmap_str_eq(ctx, field, arg);
    if (op == "$eq") return eq;
    return ctx.universe - eq;
  }
  if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    if (!arg.is_number()) return Bitmap();
    return evaluate_numeric_op(ctx, field, json_number_to_float(arg), op, restriction);
  }
  if (op == "$in") {
    return arg.is_array() ? union_of_conditions(ctx, field, arg) : Bitmap();
  }
  if (op == "$nin") {
    if (!arg.is_array()) return ctx.universe;
    return ctx.universe - union_of_conditions(ctx, field, arg);
  }
  if (op == "$exists") {
    Bitmap with_field = get_ids_with_field(ctx, field);
    if (arg.is_boolean() && !arg.get<bool>()) return ctx.universe - with_field;
    return with_field;
  }
  return Bitmap();
}

}  // namespace

Result<Json> parse_filter(std::string_view text) {
  return parse_json(text);
}

Bitmap evaluate_filter(const FilterContext& ctx, const Json& filter, const Bitmap* restriction) {
  if (!filter.is_object()) return Bitmap();

  if (auto it = filter.find("$and"); it != filter.end() && it->is_array()) {
    Bitmap running = start_set(ctx, restriction);
    for (const Json& element : *it) {
      if (running.empty()) break;
      running &= evaluate_filter(ctx, element, nullptr);
    }
    return running;
  }
  if (auto it = filter.find("$or"); it != filter.end() && it->is_array()) {
    Bitmap any;
    for (const Json& element : *it) any |= evaluate_filter(ctx, element, nullptr);
    if (restriction) any &= *restriction;
    return any;
  }
  if (auto it = filter.find("$not"); it != filter.end()) {
    Bitmap out = ctx.universe - evaluate_filter(ctx, *it, nullptr);
    if (restriction) out &= *restriction;
    return out;
  }

  // Each condition is computed within what the earlier ones left, and an empty running set
  // ends the conjunction. Object members come in ascending key order.
  Bitmap running = start_set(ctx, restriction);
  for (auto it = filter.begin(); it != filter.end(); ++it) {
    const std::string& key = it.key();
    if (!key.empty() && key[0] == '$') continue;
    running &= evaluate_field_condition(ctx, key, it.value(), &running);
    if (running.empty()) break;
  }
  return running;
}

// The restriction only saves work here: a caller intersects the result with it anyway, so
// string equality is returned unrestricted.
Bitmap evaluate_field_condition(const FilterContext& ctx, std::string_view field,
                                const Json& condition, const Bitmap* restriction) {
  if (condition.is_string() || condition.is_boolean()) {
    return get_bitmap_str_eq(ctx, field, condition);
  }
  if (condition.is_number()) {
    return evaluate_numeric_op(ctx, field, json_number_to_float(condition), "$eq", restriction);
  }
  if (!condition.is_object()) return Bitmap();

  Bitmap running = start_set(ctx, restriction);
  for (auto it = condition.begin(); it != condition.end(); ++it) {
    running &= evaluate_operator(ctx, field, it.key(), it.value(), restriction);
  }
  return running;
}

Bitmap evaluate_numeric_op(const FilterContext& ctx, std::string_view field, float x,
                           std::string_view op, const Bitmap* restriction) {
  auto it = ctx.num_index.find(field);
  if (it == ctx.num_index.end()) return Bitmap();
  const NumericBsiIndex& bsi = it->second;
  uint32_t c = encode_order(x);

  Bitmap out;
  if (op == "$eq") {
    out = bsi.equal_to(x);
  } else if (op == "$ne") {
    out = ctx.universe - bsi.equal_to(x);
  } else if (op == "$gt") {
    out = bsi.greater_than_encoded(c);
  } else if (op == "$gte") {
    out = ctx.universe - bsi.less_than_encoded(c);
  } else if (op == "$lt") {
    out = bsi.less_than_encoded(c);
  } else if (op == "$lte") {
    out = c == 0xFFFFFFFFu ? bsi.existence : bsi.less_than_encoded(c + 1);
  } else {
    return Bitmap();
  }
  if (restriction) out &= *restriction;
  return out;
}

Bitmap get_bitmap_str_eq(const FilterContext& ctx, std::string_view field, const Json& value) {
  std::string_view text;
  if (value.is_boolean()) {
    text = value.get<bool>() ? "true" : "false";
  } else if (value.is_string()) {
    text = value.get_ref<const std::string&>();
  } else {
    return Bitmap();
  }

  if (is_id_field(field)) {
    auto it = ctx.ext_to_int.find(id_hash(text));
    if (it == ctx.ext_to_int.end() || !ctx.universe.contains(it->second)) return Bitmap();
    return Bitmap::of({it->second});
  }
  auto field_it = ctx.str_index.find(field);
  if (field_it == ctx.str_index.end()) return Bitmap();
  auto value_it = field_it->second.find(text);
  if (value_it == field_it->second.end()) return Bitmap();
  return value_it->second;
}

Bitmap get_ids_with_field(const FilterContext& ctx, std::string_view field) {
  if (is_id_field(field)) return ctx.universe;
  Bitmap out;
  if (auto it = ctx.str_index.find(field); it != ctx.str_index.end()) {
    for (const auto& [text, slots] : it->second) out |= slots;
  }
  if (auto it = ctx.num_index.find(field); it != ctx.num_index.end()) {
    out |= it->second.existence;
  }
  return out;
}

}  // namespace tarnix
