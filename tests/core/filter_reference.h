// A per-item evaluator of the filter language, written from its rules with no index: the
// randomized test and the fuzz target check the index-based evaluation against it.
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>

#include "meta/filter.h"

namespace tarnix {

class FilterReference {
 public:
  // `numeric_fields`: the fields that ever held a number. They keep their numeric index after
  // deletions, which decides how $ne and $gte treat items without a number.
  explicit FilterReference(std::set<std::string> numeric_fields)
      : numeric_fields_(std::move(numeric_fields)) {}

  // Whether the filter selects a live item with this id and metadata object.
  bool matches(const Json& filter, const std::string& ext_id, const Json& meta) const {
    return match(filter, Item{ext_id, meta});
  }

  static bool is_id(const std::string& field) { return field == "id" || field == "_id"; }

  static bool holds_number(const Json& v) {
    if (v.is_array()) return std::any_of(v.begin(), v.end(), holds_number);
    return v.is_number();
  }

 private:
  struct Item {
    const std::string& ext_id;
    const Json& meta;
  };

  static bool indexable(const Json& v) {
    if (v.is_array()) return std::any_of(v.begin(), v.end(), indexable);
    return v.is_string() || v.is_boolean() || v.is_number();
  }
  static std::optional<std::string> text_of(const Json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_boolean()) return std::string(v.get<bool>() ? "true" : "false");
    return std::nullopt;
  }
  static bool holds_text(const Json& v, const std::string& text) {
    if (v.is_array()) {
      return std::any_of(v.begin(), v.end(), [&](const Json& e) { return holds_text(e, text); });
    }
    return text_of(v) == text;
  }
  // Each number overwrites the one before it, so an array keeps its last one.
  static std::optional<float> number_of(const Json& v) {
    std::optional<float> last;
    if (v.is_number()) last = json_number_to_float(v);
    if (v.is_array()) {
      for (const Json& e : v) {
        if (auto n = number_of(e)) last = n;
      }
    }
    return last;
  }
  // The numeric order: -0 sorts just below +0.
  static bool below(float a, float b) {
    return a < b || (a == b && std::signbit(a) && !std::signbit(b));
  }

  static const Json* member(const Item& item, const std::string& field) {
    if (is_id(field)) return nullptr;
    auto it = item.meta.find(field);
    return it == item.meta.end() ? nullptr : &*it;
  }

  bool match(const Json& f, const Item& item) const {
    if (!f.is_object()) return false;
    if (auto it = f.find("$and"); it != f.end() && it->is_array()) {
      return std::all_of(it->begin(), it->end(), [&](const Json& e) { return match(e, item); });
    }
    if (auto it = f.find("$or"); it != f.end() && it->is_array()) {
      return std::any_of(it->begin(), it->end(), [&](const Json& e) { return match(e, item); });
    }
    if (auto it = f.find("$not"); it != f.end()) return !match(*it, item);
    for (auto it = f.begin(); it != f.end(); ++it) {
      if (!it.key().empty() && it.key()[0] == '$') continue;
      if (!condition(it.key(), it.value(), item)) return false;
    }
    return true;
  }

  bool condition(const std::string& field, const Json& c, const Item& item) const {
    if (c.is_number()) return numeric(field, "$eq", json_number_to_float(c), item);
    if (auto text = text_of(c)) return equals_text(field, *text, item);
    if (!c.is_object()) return false;
    for (auto it = c.begin(); it != c.end(); ++it) {
      if (!op(field, it.key(), it.value(), item)) return false;
    }
    return true;
  }

  bool equals_text(const std::string& field, const std::string& text, const Item& item) const {
    if (is_id(field)) return item.ext_id == text;
    const Json* m = member(item, field);
    return m && holds_text(*m, text);
  }

  bool any_condition(const std::string& field, const Json& elements, const Item& item) const {
    return std::any_of(elements.begin(), elements.end(),
                       [&](const Json& e) { return condition(field, e, item); });
  }

  bool op(const std::string& field, const std::string& name, const Json& arg,
          const Item& item) const {
    bool is_range = name == "$gt" || name == "$gte" || name == "$lt" || name == "$lte";
    if ((is_range || name == "$eq" || name == "$ne") && arg.is_number()) {
      return numeric(field, name, json_number_to_float(arg), item);
    }
    if (is_range) return false;
    if (name == "$eq" || name == "$ne") {
      auto text = text_of(arg);
      return (text && equals_text(field, *text, item)) == (name == "$eq");
    }
    if (name == "$in") return arg.is_array() && any_condition(field, arg, item);
    if (name == "$nin") return !arg.is_array() || !any_condition(field, arg, item);
    if (name == "$exists") {
      const Json* m = member(item, field);
      bool has = is_id(field) || (m && indexable(*m));
      return has != (arg.is_boolean() && !arg.get<bool>());
    }
    return false;
  }

  bool numeric(const std::string& field, const std::string& name, float x, const Item& item) const {
    if (!numeric_fields_.contains(field)) return false;
    const Json* m = member(item, field);
    std::optional<float> v = m ? number_of(*m) : std::nullopt;
    bool lt = v && below(*v, x);
    bool gt = v && below(x, *v);
    bool eq = v && !lt && !gt;
    if (name == "$eq") return eq;
    if (name == "$ne") return !eq;
    if (name == "$gt") return gt;
    if (name == "$gte") return !lt;
    if (name == "$lt") return lt;
    return v && !gt;  // $lte
  }

  std::set<std::string> numeric_fields_;
};

}  // namespace tarnix
