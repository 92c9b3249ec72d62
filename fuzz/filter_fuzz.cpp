// Filter text from arbitrary bytes, evaluated over a fixed index of 64 items, against a
// per-item evaluator written from the rules of the filter language: the index-based
// evaluation must select exactly what the rules select, item by item, with and without a
// restriction. Deleted items keep their id mapping and must still never be selected.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filter_reference.h"
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

bool is_id(const std::string& field) { return FilterReference::is_id(field); }

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

std::vector<uint32_t> select(const Fixture& f, const FilterReference& rules, const Json& filter,
                             const Bitmap* restriction) {
  std::vector<uint32_t> out;
  for (uint32_t slot = 0; slot < kItems; ++slot) {
    const Item& item = f.items[slot];
    if (!item.live || (restriction && !restriction->contains(slot))) continue;
    if (rules.matches(filter, item.ext_id, item.meta)) out.push_back(slot);
  }
  return out;
}

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
  static const FilterReference rules(f.numeric_fields);

  std::vector<uint32_t> got = evaluate_filter(ctx, *filter).to_vector();
  std::vector<uint32_t> want = select(f, rules, *filter, nullptr);
  if (got != want) report("unrestricted", *filter, got, want);

  got = evaluate_filter(ctx, *filter, &f.restriction).to_vector();
  want = select(f, rules, *filter, &f.restriction);
  if (got != want) report("restricted", *filter, got, want);
  return 0;
}
