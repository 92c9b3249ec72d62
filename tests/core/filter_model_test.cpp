// The filter evaluator against a per-item reference on random metadata and random filters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <set>

#include "meta/filter.h"
#include "meta_fixture.h"

namespace tarnix {
namespace {

using Slots = std::vector<uint32_t>;

// A per-item evaluator written from the rules of the filter language, with no index.
class Reference {
 public:
  struct Item {
    std::string ext_id;
    Json meta;
  };

  Reference(const std::vector<Item>& live, const std::vector<Item>& all) : live_(live) {
    for (const Item& item : all) {
      for (auto it = item.meta.begin(); it != item.meta.end(); ++it) {
        if (!is_id(it.key()) && number_in(it.value())) numeric_fields_.insert(it.key());
      }
    }
  }

  Slots select(const Json& filter) const {
    Slots out;
    for (uint32_t slot = 0; slot < live_.size(); ++slot) {
      if (!live_[slot].ext_id.empty() && match(filter, live_[slot])) out.push_back(slot);
    }
    return out;
  }

 private:
  static bool is_id(const std::string& f) { return f == "id" || f == "_id"; }

  static bool number_in(const Json& v) {
    if (v.is_array()) return std::any_of(v.begin(), v.end(), number_in);
    return v.is_number();
  }
  static bool indexable(const Json& v) {
    if (v.is_array()) return std::any_of(v.begin(), v.end(), indexable);
    return v.is_string() || v.is_boolean() || v.is_number();
  }
  static std::optional<std::string> text_of(const Json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_boolean()) return v.get<bool>() ? "true" : "false";
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
  static bool below(float a, float b) {
    return a < b || (a == b && std::signbit(a) && !std::signbit(b));
  }

  const Json* member(const Item& item, const std::string& field) const {
    auto it = item.meta.find(field);
    return it == item.meta.end() || is_id(field) ? nullptr : &*it;
  }

  bool match(const Json& f, const Item& item) const {
    if (!f.is_object()) return false;
    if (f.contains("$and") && f["$and"].is_array()) {
      return std::all_of(f["$and"].begin(), f["$and"].end(),
                         [&](const Json& e) { return match(e, item); });
    }
    if (f.contains("$or") && f["$or"].is_array()) {
      return std::any_of(f["$or"].begin(), f["$or"].end(),
                         [&](const Json& e) { return match(e, item); });
    }
    if (f.contains("$not")) return !match(f["$not"], item);
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

  const std::vector<Item>& live_;
  std::set<std::string> numeric_fields_;
};

class RandomJson {
 public:
  explicit RandomJson(uint32_t seed) : rng_(seed) {}

  size_t below(size_t n) { return rng_() % n; }
  template <class T>
  T pick(std::initializer_list<T> xs) {
    return xs.begin()[below(xs.size())];
  }

  Json number() {
    switch (below(6)) {
      case 0:
        return Json(pick<int64_t>({-5, -1, 16777217}));
      case 1:
        return Json(pick<uint64_t>({3, 18446744073709551615ull}));
      case 2:
        return Json(pick<double>({-0.0, 0.0, 2.5, -3.5, 1e40}));
      default:
        return Json(static_cast<int64_t>(below(4)));
    }
  }
  Json scalar() {
    switch (below(3)) {
      case 0:
        return Json(pick<const char*>({"x", "y", "x", "y", "5", "true", ""}));
      case 1:
        return Json(below(2) == 0);
      default:
        return number();
    }
  }
  Json value(int depth) {
    size_t kind = below(10);
    if (kind == 0) return Json();
    if (kind == 1) return Json{{"c", 1}};
    if (kind <= 3 && depth > 0) {
      Json arr = Json::array();
      for (size_t n = below(4); n > 0; --n) arr.push_back(value(depth - 1));
      return arr;
    }
    return scalar();
  }
  Json metadata() {
    Json meta = Json::object();
    for (const char* field : {"a", "b", "c", "id"}) {
      if (below(4) != 0) meta[field] = value(2);
    }
    return meta;
  }

  Json condition_value(size_t item_count, const std::string& field, int depth) {
    if (field == "id" || field == "_id") {
      if (below(3) != 0) return Json("k" + std::to_string(below(item_count + 1)));
    }
    switch (below(8)) {
      case 0:
        return below(2) ? Json() : Json::array({scalar()});
      case 1:
      case 2:
      case 3:
        return scalar();
      default:
        break;
    }
    Json ops = Json::object();
    for (size_t n = below(3); n > 0; --n) {
      std::string name = pick<std::string>(
          {"$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$exists", "$bad"});
      if (name == "$in" || name == "$nin") {
        Json arr = Json::array();
        for (size_t k = below(4); k > 0; --k) {
          arr.push_back(depth > 0 && below(4) == 0 ? condition_value(item_count, field, depth - 1)
                                                   : scalar());
        }
        ops[name] = below(6) == 0 ? scalar() : arr;
      } else if (name == "$exists") {
        ops[name] = below(3) == 0 ? scalar() : Json(below(2) == 0);
      } else {
        ops[name] = scalar();
      }
    }
    return ops;
  }

  Json filter(size_t item_count, int depth) {
    size_t kind = below(12);
    if (kind == 0) return scalar();
    if (depth > 0 && kind <= 4) {
      Json f = Json::object();
      if (kind == 4) {
        f["$not"] = filter(item_count, depth - 1);
      } else {
        Json arr = Json::array();
        for (size_t n = below(4); n > 0; --n) arr.push_back(filter(item_count, depth - 1));
        f[kind <= 2 ? "$and" : "$or"] = arr;
      }
      // A second member that precedence must ignore (or honour, when the first is no array).
      if (below(4) == 0) f[pick<const char*>({"$or", "$not", "a"})] = filter(item_count, 0);
      return f;
    }
    Json f = Json::object();
    for (size_t n = below(4) / 3 + 1; n > 0; --n) {
      std::string field = pick<std::string>({"a", "b", "c", "id", "_id", "d", "$x"});
      f[field] = condition_value(item_count, field, 1);
    }
    return f;
  }

 private:
  std::mt19937 rng_;
};

// Random metadata and random filters: the index-based evaluator must agree with the per-item
// reference, with and without a restriction.
TEST(FilterModel, MatchesPerItemEvaluation) {
  constexpr size_t kItems = 60;
  for (uint32_t seed : {11u, 12u, 13u, 14u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomJson gen(seed);
    MetaFixture f;
    std::vector<Reference::Item> all, live;
    for (uint32_t slot = 0; slot < kItems; ++slot) {
      Reference::Item item{"k" + std::to_string(slot), gen.metadata()};
      f.add(slot, item.ext_id, item.meta);
      all.push_back(item);
      // Deleted items keep their id mapped and have left their numeric fields behind.
      if (gen.below(5) == 0) {
        f.remove(slot, item.meta);
        item.ext_id.clear();
      }
      live.push_back(item);
    }
    Reference ref(live, all);

    for (int i = 0; i < 3000; ++i) {
      Json filter = gen.filter(kItems, 3);
      SCOPED_TRACE(filter.dump());
      Slots want = ref.select(filter);
      ASSERT_EQ(evaluate_filter(f.ctx(), filter).to_vector(), want);

      Bitmap restriction;
      f.universe.for_each([&](uint32_t s) {
        if (gen.below(2)) restriction.add(s);
      });
      Slots want_restricted;
      for (uint32_t s : want) {
        if (restriction.contains(s)) want_restricted.push_back(s);
      }
      ASSERT_EQ(evaluate_filter(f.ctx(), filter, &restriction).to_vector(), want_restricted);
    }
  }
}

}  // namespace
}  // namespace tarnix
