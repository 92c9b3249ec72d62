#include "meta/aggregate.h"

#include <algorithm>
#include <cfloat>
#include <unordered_map>

namespace tarnix {
namespace {

struct Row {
  double key;
  Json object;
};

Result<std::string> write_rows(const std::vector<Row>& rows) {
  Json array = Json::array();
  for (const Row& r : rows) array.push_back(r.object);
  try {
    return array.dump();
  } catch (const Json::exception& e) {
    return Status::invalid_argument(std::string("Serialization Error: ") + e.what());
  }
}

// Copies each listed member the item has, in list order (a later copy of a name replaces
// an earlier one).
void copy_output_fields(const Json& item, std::span<const std::string> names, Json& out) {
  for (const std::string& name : names) {
    auto it = item.find(name);
    if (it != item.end()) out[name] = *it;
  }
}

std::optional<uint32_t> pick_representative(const Bitmap& group,
                                            const NumericBsiIndex* sort_index,
                                            std::string_view sort_by, bool descending) {
  if (sort_index) {
    float best = descending ? -FLT_MAX : FLT_MAX;
    std::optional<uint32_t> chosen;
    group.for_each([&](uint32_t slot) {
      std::optional<float> v = sort_index->get_value(slot);
      if (v && (descending ? *v > best : *v < best)) {
        chosen = slot;
        best = *v;
      }
    });
    return chosen;
  }
  if (sort_by == "_id" || sort_by == "id") {
    return descending ? group.maximum() : group.minimum();
  }
  return group.maximum();
}

Result<std::string> aggregate_indexed(const CoreIndex& index, const StringMap<Bitmap>& groups,
                                      const Bitmap& matches, std::string_view group_by,
                                      std::string_view sort_by,
                                      std::span<const std::string> output_fields,
                                      bool descending) {
  const NumericBsiIndex* sort_index = nullptr;
  if (auto it = index.num_index.find(sort_by); it != index.num_index.end()) {
    sort_index = &it->second;
  }
  std::vector<uint32_t> representatives;
  for (const auto& [text, slots] : groups) {
    Bitmap group = slots & matches;
    if (group.empty()) continue;
    if (auto rep = pick_representative(group, sort_index, sort_by, descending)) {
      representatives.push_back(*rep);
    }
  }
  std::vector<Row> rows;
  rows.reserve(representatives.size());
  index.with_metadata_mmap([&](const BlobView& metadata) {
    for (uint32_t slot : representatives) {
      Result<Json> item = parse_json(index.get_metadata_from_mmap(slot, metadata));
      if (!item.ok() || !item->is_object()) continue;
      Json out = Json::object();
      if (auto it = item->find(group_by); it != item->end()) out[std::string(group_by)] = *it;
      copy_output_fields(*item, output_fields, out);
      std::optional<float> v = sort_index ? sort_index->get_value(slot) : std::nullopt;
      rows.push_back(Row{v ? static_cast<double>(*v) : 0.0, std::move(out)});
    }
  });
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.key < b.key; });
  if (descending) std::reverse(rows.begin(), rows.end());
  return write_rows(rows);
}

// Whether `candidate` should replace the current representative's sort value.
bool replaces(const Json& candidate, const Json& current, bool descending) {
  if (candidate.is_number() && current.is_number()) {
    double a = candidate.get<double>(), b = current.get<double>();
    return descending ? a > b : a < b;
  }
  if (candidate.is_string() && current.is_string()) {
    const std::string& a = candidate.get_ref<const std::string&>();
    const std::string& b = current.get_ref<const std::string&>();
    return descending ? a > b : a < b;
  }
  return false;
}

Result<std::string> aggregate_scanning(const CoreIndex& index, const Bitmap& matches,
                                       std::string_view group_by, std::string_view sort_by,
                                       std::span<const std::string> output_fields,
                                       bool descending) {
  struct Group {
    Json sort_value;
    Json object;
  };
  std::vector<Group> groups;  // in order of first appearance
  std::unordered_map<std::string, size_t> group_of;
  index.with_metadata_mmap([&](const BlobView& metadata) {
    matches.for_each([&](uint32_t slot) {
      std::string text = index.get_metadata_from_mmap(slot, metadata);
      if (text.size() <= 2) return;
      Result<Json> item = parse_json(text);
      if (!item.ok() || !item->is_object()) return;
      auto member = item->find(group_by);
      if (member == item->end()) return;
      std::string group_text;
      if (member->is_number()) {
        group_text = member->dump();  // so 1 and 1.0 are different groups
      } else if (member->is_string()) {
        group_text = member->get<std::string>();
      } else {
        return;
      }
      auto sort_member = item->find(sort_by);
      Json sort_value = sort_member != item->end() ? *sort_member : Json();
      auto [it, is_new] = group_of.try_emplace(group_text, groups.size());
      if (!is_new && !replaces(sort_value, groups[it->second].sort_value, descending)) return;
      Json out = Json::object();
      out[std::string(group_by)] = group_text;
      copy_output_fields(*item, output_fields, out);
      if (is_new) {
        groups.push_back(Group{std::move(sort_value), std::move(out)});
      } else {
        groups[it->second] = Group{std::move(sort_value), std::move(out)};
      }
    });
  });
  std::vector<Row> rows;
  rows.reserve(groups.size());
  for (Group& g : groups) {
    rows.push_back(
        Row{g.sort_value.is_number() ? g.sort_value.get<double>() : 0.0, std::move(g.object)});
  }
  std::stable_sort(rows.begin(), rows.end(), [descending](const Row& a, const Row& b) {
    return descending ? a.key > b.key : a.key < b.key;
  });
  return write_rows(rows);
}

}  // namespace

Result<std::string> aggregate_unique(const CoreIndex& index, const Bitmap& matches,
                                     std::string_view group_by, std::string_view sort_by,
                                     std::span<const std::string> output_fields,
                                     bool descending) {
  if (auto it = index.str_index.find(group_by); it != index.str_index.end()) {
    return aggregate_indexed(index, it->second, matches, group_by, sort_by, output_fields,
                             descending);
  }
  return aggregate_scanning(index, matches, group_by, sort_by, output_fields, descending);
}

}  // namespace tarnix
