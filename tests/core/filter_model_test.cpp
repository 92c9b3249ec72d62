// The filter evaluator against a per-item reference on random metadata and random filters.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "filter_reference.h"
#include "meta/filter.h"
#include "meta_fixture.h"

namespace tarnix {
namespace {

using Slots = std::vector<uint32_t>;

// The reference's selection over a list of items; an item with an empty id is deleted.
class Reference {
 public:
  struct Item {
    std::string ext_id;
    Json meta;
  };

  Reference(const std::vector<Item>& live, const std::vector<Item>& all)
      : live_(live), rules_(numeric_fields(all)) {}

  Slots select(const Json& filter) const {
    Slots out;
    for (uint32_t slot = 0; slot < live_.size(); ++slot) {
      const Item& item = live_[slot];
      if (!item.ext_id.empty() && rules_.matches(filter, item.ext_id, item.meta)) {
        out.push_back(slot);
      }
    }
    return out;
  }

 private:
  static std::set<std::string> numeric_fields(const std::vector<Item>& all) {
    std::set<std::string> fields;
    for (const Item& item : all) {
      for (auto it = item.meta.begin(); it != item.meta.end(); ++it) {
        if (!FilterReference::is_id(it.key()) && FilterReference::holds_number(it.value())) {
          fields.insert(it.key());
        }
      }
    }
    return fields;
  }

  const std::vector<Item>& live_;
  FilterReference rules_;
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
