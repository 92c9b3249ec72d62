// Filter text from arbitrary bytes, evaluated over a fixed index of 64 items, against a
// per-item evaluator written from the rules of the filter language: the index-based
// evaluation must select exactly what the rules select, item by item, with and without a
// restriction. Deleted items keep their id mapping and must still never be selected.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "meta/filter.h"
#include "meta/secondary_index.h"
#include "util/fnv.h"

using namespace tarnix;

namespace {

constexpr uint32_t kItems = 64;

struct Item {
  std::string ext_id;
  Json meta;
  bool live;
};

struct Fixture {
  std::vector<Item> items;
  StrIndex str_index;
  NumIndex num_index;
  Bitmap universe;
  Bitmap restriction;
  std::unordered_map<uint64_t, uint32_t> ext_to_int;
  // Fields that ever held a number: they keep their numeric index after deletions.
  std::set<std::string> numeric_fields;
};

bool is_id(const std::string& field) {
  return field == "id" || field == "_id";
}

// Deterministic metadata covering every kind of value, in arrays too.
Json value_for(uint32_t i, uint32_t salt) {
  uint32_t h = (i * 2654435761u) ^ (salt * 40503u);
  switch (h % 13) {
    case 0:
      return Json(nullptr);
    case 1:
      return Json(static_cast<int64_t>(h % 5) - 2);
    case 2:
      return Json(static_cast<double>(h % 7) / 2.0 - 1.0);
    case 3:
      return Json(-0.0);
    case 4:
      return Json(h % 2 == 0);
    case 5:
      return Json(std::string(1, static_cast<char>('x' + h % 3)));
    case 6:
      return Json("true");
    case 7:
      return Json::array({Json(h % 3), Json("y")});
    case 8:
      return Json::array();
    case 9:
      return Json{{"c", 1}};
    case 10:
      return Json(uint64_t{18446744073709551615ull});
    case 11:
      return Json(1e40);
    default:
      return Json(std::to_string(h % 4));
  }
}

Fixture build() {
  Fixture f;
  for (uint32_t slot = 0; slot < kItems; ++slot) {
    Item item{"k" + std::to_string(slot), Json::object(), slot % 9 != 4};
    const char* fields[] = {"a", "b", "c", "", "id", "$x"};
    for (uint32_t j = 0; j < 6; ++j) {
      if ((slot + j) % 4 != 0) item.meta[fields[j]] = value_for(slot, j);
    }
    for (auto it = item.meta.begin(); it != item.meta.end(); ++it) {
      if (is_id(it.key())) continue;
      index_metadata_value(f.str_index, f.num_index, it.key(), it.value(), slot);
    }
    f.ext_to_int[id_hash(item.ext_id)] = slot;
    f.universe.add(slot);
    if (!item.live) {
      for (auto it = item.meta.begin(); it != item.meta.end(); ++it) {
        if (!is_id(it.key()))
          deindex_metadata_value(f.str_index, f.num_index, it.key(), it.value(), slot);
      }
      for (auto& [field, bsi] : f.num_index) bsi.remove(slot);
      f.universe.remove(slot);
    }
    if (slot % 3 != 1) f.restriction.add(slot);
    f.items.push_back(std::move(item));
  }
  for (const auto& [field, bsi] : f.num_index) f.numeric_fields.insert(field);
  return f;
}

const Fixture& fixture() {
  static const Fixture f = build();
  return f;
}

// ---- The per-item reference. ----

std::optional<std::string> text_of(const Json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_boolean()) return std::string(v.get<bool>() ? "true" : "false");
  return std::nullopt;
}

bool holds_text(const Json& v, const std::string& text) {
  if (v.is_array()) {
    for (const Json& e : v) {
      if (holds_text(e, text)) return true;
    }
    return false;
  }
  return text_of(v) == text;
}

bool indexed(const Json& v) {
  if (v.is_array()) {
    for (const Json& e : v) {
      if (indexed(e)) return true;
    }
    return false;
  }
  return v.is_string() || v.is_boolean() || v.is_number();
}

// An array's numbers are recorded one after the other; the last one stays.
std::optional<float> number_of(const Json& v) {
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
bool below(float a, float b) {
  return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

struct Reference {
  const Fixture& f;

  const Json* member(const Item& item, const std::string& field) const {
    if (is_id(field)) return nullptr;
    auto it = item.meta.find(field);
    return it == item.meta.end() ? nullptr : &*it;
  }

  bool equals_text(const std::string& field, const std::string& text, const Item& item) const {
    if (is_id(field)) return item.ext_id == text;
    const Json* m = member(item, field);
    return m && holds_text(*m, text);
  }

  bool numeric(const std::string& field, const std::string& op, float x, const Item& item) const {
    if (!f.numeric_fields.contains(field)) return false;
    const Json* m = member(item, field);
    std::optional<float> v = m ? number_of(*m) : std::nullopt;
    bool lt = v && below(*v, x);
    bool gt = v && below(x, *v);
    bool eq = v && !lt && !gt;
    if (op == "$eq") return eq;
    if (op == "$ne") return !eq;
    if (op == "$gt") return gt;
    if (op == "$gte") return !lt;
    if (op == "$lt") return lt;
    return v && !gt;  // $lte
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

  bool any_of(const std::string& field, const Json& elements, const Item& item) const {
    for (const Json& e : elements) {
      if (condition(field, e, item)) return true;
    }
    return false;
  }

  bool op(const std::string& field, const std::string& name, const Json& arg,
          const Item& item) const {
    const bool range = name == "$gt" || name == "$gte" || name == "$lt" || name == "$lte";
    if ((range || name == "$eq" || name == "$ne") && arg.is_number()) {
      return numeric(field, name, json_number_to_float(arg), item);
    }
    if (range) return false;
    if (name == "$eq" || name == "$ne") {
      std::optional<std::string> text = text_of(arg);
      return (text && equals_text(field, *text, item)) == (name == "$eq");
    }
    if (name == "$in") return arg.is_array() && any_of(field, arg, item);
    if (name == "$nin") return !arg.is_array() || !any_of(field, arg, item);
    if (name == "$exists") {
      const Json* m = member(item, field);
      const bool has = is_id(field) || (m && indexed(*m));
      return has != (arg.is_boolean() && !arg.get<bool>());
    }
    return false;
  }

  bool match(const Json& filter, const Item& item) const {
    if (!filter.is_object()) return false;
    if (auto it = filter.find("$and"); it != filter.end() && it->is_array()) {
      for (const Json& e : *it) {
        if (!match(e, item)) return false;
      }
      return true;
    }
    if (auto it = filter.find("$or"); it != filter.end() && it->is_array()) {
      for (const Json& e : *it) {
        if (match(e, item)) return true;
      }
      return false;
    }
    if (auto it = filter.find("$not"); it != filter.end()) return !match(*it, item);
    for (auto it = filter.begin(); it != filter.end(); ++it) {
      if (!it.key().empty() && it.key()[0] == '$') continue;
      if (!condition(it.key(), it.value(), item)) return false;
    }
    return true;
  }

  std::vector<uint32_t> select(const Json& filter, const Bitmap* restriction) const {
    std::vector<uint32_t> out;
    for (uint32_t slot = 0; slot < kItems; ++slot) {
      const Item& item = f.items[slot];
      if (!item.live || (restriction && !restriction->contains(slot))) continue;
      if (match(filter, item)) out.push_back(slot);
    }
    return out;
  }
};

void report(const char* what, const Json& filter, const std::vector<uint32_t>& got,
            const std::vector<uint32_t>& want) {
  std::fprintf(stderr, "%s: %s\n got:", what, filter.dump().c_str());
  for (uint32_t s : got) std::fprintf(stderr, " %u", s);
  std::fprintf(stderr, "\nwant:");
  for (uint32_t s : want) std::fprintf(stderr, " %u", s);
  std::fprintf(stderr, "\n");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Result<Json> filter = parse_filter(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!filter.ok()) return 0;
  const Fixture& f = fixture();
  FilterContext ctx{f.str_index, f.num_index, f.universe, f.ext_to_int};
  Reference ref{f};

  std::vector<uint32_t> got = evaluate_filter(ctx, *filter).to_vector();
  std::vector<uint32_t> want = ref.select(*filter, nullptr);
  if (got != want) report("unrestricted", *filter, got, want);

  got = evaluate_filter(ctx, *filter, &f.restriction).to_vector();
  want = ref.select(*filter, &f.restriction);
  if (got != want) report("restricted", *filter, got, want);
  return 0;
}
