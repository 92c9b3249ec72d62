#include "meta/filter.h"

#include <optional>
#include <string>
#include <vector>

#include "util/fnv.h"

namespace tarnix {
namespace {

bool is_id_field(std::string_view field) {
  return field == "id" || field == "_id";
}

// The intersection of a start set (the restriction, or every live slot) with a series of
// sets, built without copying the start set: a set that already lies within what the
// conjunction holds replaces it outright, any other is intersected in place.
class Conjunction {
 public:
  explicit Conjunction(const Bitmap& start) : start_(start) {}

  // What the conjunction holds so far: the restriction to evaluate the next set within.
  const Bitmap& current() const { return running_ ? *running_ : start_; }
  bool empty() const { return current().empty(); }

  // `within`: b is known to lie within current().
  void add(Bitmap b, bool within) {
    if (within) {
      running_ = std::move(b);
    } else if (running_) {
      *running_ &= b;
    } else {
      b &= start_;
      running_ = std::move(b);
    }
  }

  Bitmap take() { return running_ ? std::move(*running_) : start_; }

 private:
  const Bitmap& start_;
  std::optional<Bitmap> running_;
};

const Bitmap& start_of(const FilterContext& ctx, const Bitmap* restriction) {
  return restriction ? *restriction : ctx.universe;
}

// The slots of a string or boolean equality, without copying the index bitmap: null when
// nothing matches; `single` holds the one slot of an id.
const Bitmap* str_eq_set(const FilterContext& ctx, std::string_view field, const Json& value,
                         Bitmap& single) {
  std::string_view text;
  if (value.is_boolean()) {
    text = value.get<bool>() ? "true" : "false";
  } else if (value.is_string()) {
    text = value.get_ref<const std::string&>();
  } else {
    return nullptr;
  }
  if (is_id_field(field)) {
    auto it = ctx.ext_to_int.find(id_hash(text));
    if (it == ctx.ext_to_int.end() || !ctx.universe.contains(it->second)) return nullptr;
    single = Bitmap::of({it->second});
    return &single;
  }
  auto field_it = ctx.str_index.find(field);
  if (field_it == ctx.str_index.end()) return nullptr;
  auto value_it = field_it->second.find(text);
  if (value_it == field_it->second.end()) return nullptr;
  return &value_it->second;
}

// String equality within the restriction (one intersection, no copy of the index bitmap).
Bitmap str_eq_within(const FilterContext& ctx, std::string_view field, const Json& value,
                     const Bitmap* restriction) {
  Bitmap single;
  const Bitmap* eq = str_eq_set(ctx, field, value, single);
  if (!eq) return Bitmap();
  return restriction ? *eq & *restriction : *eq;
}

// Union of the field conditions that the elements of a "$in" / "$nin" array stand for. The
// sets of string and boolean values are taken from the index as they are, without copies,
// and all sets are joined in one many-way union rather than one growing union per element.
Bitmap union_of_conditions(const FilterContext& ctx, std::string_view field, const Json& elements) {
  // Reserved in full, so that the pointers into it stay valid.
  std::vector<Bitmap> evaluated;
  evaluated.reserve(elements.size());
  std::vector<const Bitmap*> sets;
  sets.reserve(elements.size());
  for (const Json& element : elements) {
    if (element.is_string() || element.is_boolean()) {
      Bitmap single;
      const Bitmap* eq = str_eq_set(ctx, field, element, single);
      if (!eq) continue;
      if (eq != &single) {
        sets.push_back(eq);
        continue;
      }
      evaluated.push_back(std::move(single));
    } else {
      evaluated.push_back(evaluate_field_condition(ctx, field, element, nullptr));
    }
    sets.push_back(&evaluated.back());
  }
  return Bitmap::union_of(sets);
}

// The set of one member of an operator object. Unknown operators and unusable arguments
// select nothing, which empties the whole condition. `within` reports whether the result
// already lies within the restriction.
Bitmap evaluate_operator(const FilterContext& ctx, std::string_view field, std::string_view op,
                         const Json& arg, const Bitmap* restriction, bool* within) {
  *within = false;
  if (op == "$eq" || op == "$ne") {
    if (arg.is_number()) {
      *within = restriction != nullptr;
      return evaluate_numeric_op(ctx, field, json_number_to_float(arg), op, restriction);
    }
    if (op == "$eq") {
      *within = restriction != nullptr;
      return str_eq_within(ctx, field, arg, restriction);
    }
    Bitmap single;
    const Bitmap* eq = str_eq_set(ctx, field, arg, single);
    return eq ? ctx.universe - *eq : ctx.universe;
  }
  if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    if (!arg.is_number()) return Bitmap();
    *within = restriction != nullptr;
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
    // Each element is evaluated within what the earlier ones left, so its numeric walks and
    // intersections touch only that; an empty running set ends the conjunction.
    Conjunction running(start_of(ctx, restriction));
    for (const Json& element : *it) {
      if (running.empty()) break;
      running.add(evaluate_filter(ctx, element, &running.current()), true);
    }
    return running.take();
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
  Conjunction running(start_of(ctx, restriction));
  for (auto it = filter.begin(); it != filter.end(); ++it) {
    const std::string& key = it.key();
    if (!key.empty() && key[0] == '$') continue;
    running.add(evaluate_field_condition(ctx, key, it.value(), &running.current()), true);
    if (running.empty()) break;
  }
  return running.take();
}

Bitmap evaluate_field_condition(const FilterContext& ctx, std::string_view field,
                                const Json& condition, const Bitmap* restriction) {
  if (condition.is_string() || condition.is_boolean()) {
    return str_eq_within(ctx, field, condition, restriction);
  }
  if (condition.is_number()) {
    return evaluate_numeric_op(ctx, field, json_number_to_float(condition), "$eq", restriction);
  }
  if (!condition.is_object()) return Bitmap();

  Conjunction running(start_of(ctx, restriction));
  for (auto it = condition.begin(); it != condition.end(); ++it) {
    bool within;
    Bitmap b = evaluate_operator(ctx, field, it.key(), it.value(), &running.current(), &within);
    running.add(std::move(b), within);
  }
  return running.take();
}

Bitmap evaluate_numeric_op(const FilterContext& ctx, std::string_view field, float x,
                           std::string_view op, const Bitmap* restriction) {
  auto it = ctx.num_index.find(field);
  if (it == ctx.num_index.end()) return Bitmap();
  const NumericBsiIndex& bsi = it->second;
  uint32_t c = encode_order(x);

  // The walks run within the restriction. The complements ("$ne", "$gte") take the
  // restricted live slots first and remove the walk's answer within those.
  auto live_within = [&] { return restriction ? ctx.universe & *restriction : ctx.universe; };
  if (op == "$eq") return bsi.equal_to(x, restriction);
  if (op == "$gt") return bsi.greater_than_encoded(c, restriction);
  if (op == "$lt") return bsi.less_than_encoded(c, restriction);
  if (op == "$lte") {
    if (c == 0xFFFFFFFFu) return restriction ? bsi.existence & *restriction : bsi.existence;
    return bsi.less_than_encoded(c + 1, restriction);
  }
  if (op == "$ne") {
    Bitmap out = live_within();
    out -= bsi.equal_to(x, &out);
    return out;
  }
  if (op == "$gte") {
    Bitmap out = live_within();
    out -= bsi.less_than_encoded(c, &out);
    return out;
  }
  return Bitmap();
}

Bitmap get_bitmap_str_eq(const FilterContext& ctx, std::string_view field, const Json& value) {
  Bitmap single;
  const Bitmap* eq = str_eq_set(ctx, field, value, single);
  return eq ? *eq : Bitmap();
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
