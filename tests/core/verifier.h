// A store checked against what its callers were told: every acknowledged write is there with
// its metadata and vector, nothing unknown is there, and a call that failed may have taken
// effect or not (a failed batch only as a prefix). Shared by the fault and crash tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "index/quantize.h"
#include "store/store.h"
#include "util/json.h"

namespace tarnix::testing {

// Items carry their own id in the metadata member "k", so a listing names them.
struct Item {
  std::string meta;  // compact, keys in ascending order: exactly how the store keeps it
  std::vector<float> vector;
  bool operator==(const Item&) const = default;
};

class Expectation {
 public:
  // The call was acknowledged: this is now the only state the id may be in.
  void put(const std::string& id, Item item) { states_[id] = {std::move(item)}; }
  void erase(const std::string& id) { states_[id] = {std::nullopt}; }

  // The call failed: its effect on the id may or may not be there.
  void maybe_put(const std::string& id, Item item) { add_state(id, std::move(item)); }
  void maybe_erase(const std::string& id) { add_state(id, std::nullopt); }

  // A failed batch of new ids: the ids that took their new item form a prefix of the batch.
  void maybe_put_prefix(const std::vector<std::pair<std::string, Item>>& batch) {
    std::vector<std::string> ids;
    for (const auto& [id, item] : batch) {
      maybe_put(id, item);
      ids.push_back(id);
    }
    prefixes_.push_back(std::move(ids));
  }

  const std::map<std::string, std::vector<std::optional<Item>>>& states() const { return states_; }
  const std::vector<std::vector<std::string>>& prefixes() const { return prefixes_; }

 private:
  void add_state(const std::string& id, std::optional<Item> state) {
    std::vector<std::optional<Item>>& s = states_[id];
    if (s.empty()) s.push_back(std::nullopt);  // an id never written is absent
    for (const auto& existing : s) {
      if (existing == state) return;
    }
    s.push_back(std::move(state));
  }

  std::map<std::string, std::vector<std::optional<Item>>> states_;
  std::vector<std::vector<std::string>> prefixes_;
};

inline std::string filter_for(const char* field, const std::string& value) {
  return Json{{field, value}}.dump();
}

// The unfiltered search of a small store is an exact scan: its hits must be the k nearest
// items by the codes of the vectors they were written with, computed here independently.
inline ::testing::AssertionResult verify_exact_search(
    Store& store, const std::map<std::string, const Item*>& items) {
  if (items.empty()) return ::testing::AssertionSuccess();
  const size_t dim = items.begin()->second->vector.size();
  auto code = [dim](const std::vector<float>& v) {
    std::vector<uint8_t> c(dim);
    quantize(v.data(), dim, c.data());
    return c;
  };
  std::vector<std::vector<float>> queries;
  for (const auto& [id, item] : items) {
    if (queries.size() == 3) break;
    queries.push_back(item->vector);
  }
  for (int q = 0; q < 2; ++q) {
    std::vector<float> v(dim);
    for (size_t i = 0; i < dim; ++i)
      v[i] = static_cast<float>(((q * 37 + i * 11) % 17) / 8.0 - 1.0);
    queries.push_back(v);
  }
  const uint32_t k = static_cast<uint32_t>(std::min<size_t>(10, items.size()));
  for (const std::vector<float>& query : queries) {
    std::vector<uint8_t> qc = code(query);
    std::map<std::string, uint32_t> truth;
    std::vector<uint32_t> sorted;
    for (const auto& [id, item] : items) {
      std::vector<uint8_t> c = code(item->vector);
      uint32_t d = 0;
      for (size_t i = 0; i < dim; ++i) d += (int(qc[i]) - int(c[i])) * (int(qc[i]) - int(c[i]));
      truth[id] = d;
      sorted.push_back(d);
    }
    std::sort(sorted.begin(), sorted.end());
    GateReader inside(store.gate());
    Result<std::vector<SearchHit>> hits = store.search(query, k, nullptr, false);
    if (!hits.ok()) return ::testing::AssertionFailure() << "search: " << hits.status().message();
    if (hits->size() != k) {
      return ::testing::AssertionFailure() << "search found " << hits->size() << " of " << k;
    }
    for (size_t i = 0; i < k; ++i) {
      const SearchHit& hit = (*hits)[i];
      auto it = truth.find(hit.id);
      if (it == truth.end() || static_cast<float>(it->second) != hit.score ||
          hit.score != static_cast<float>(sorted[i])) {
        return ::testing::AssertionFailure()
               << "exact search differs from brute force at rank " << i << ": " << hit.id
               << " scored " << hit.score << ", expected " << sorted[i];
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// Checks the store's structure and content against the expectation. `content`, when given,
// receives each listed item's metadata by id.
inline ::testing::AssertionResult verify_store(
    Store& store, const Expectation& expect,
    std::map<std::string, std::string>* content = nullptr) {
  auto fail = [] { return ::testing::AssertionFailure(); };
  {
    std::shared_lock<std::shared_mutex> lock(store.shared_index()->mu);
    Status s = store.shared_index()->index->check_invariants();
    if (!s.ok()) return fail() << s.message();
  }
  if (store.gate().writer_flag() != 0 || store.gate().reader_count() != 0) {
    return fail() << "gate words " << store.gate().writer_flag() << "/"
                  << store.gate().reader_count() << " with nobody inside";
  }

  Result<std::vector<std::string>> all = store.get_all_items("{}");
  if (!all.ok()) return fail() << "listing failed: " << all.status().message();
  std::map<std::string, std::string> present;
  std::map<std::string, size_t> per_tag;
  for (const std::string& text : *all) {
    Result<Json> parsed = parse_json(text);
    if (!parsed.ok() || !parsed->is_object() || !parsed->contains("k") ||
        !(*parsed)["k"].is_string()) {
      return fail() << "unreadable or foreign metadata " << text.substr(0, 200);
    }
    std::string id = (*parsed)["k"].get<std::string>();
    if (!present.emplace(id, text).second) return fail() << "item " << id << " listed twice";
    if (parsed->contains("tag")) ++per_tag[(*parsed)["tag"].get<std::string>()];
  }
  Result<uint64_t> count = store.count();
  if (!count.ok() || *count != present.size()) {
    return fail() << "count " << (count.ok() ? std::to_string(*count) : count.status().message())
                  << " but " << present.size() << " items listed";
  }

  // Which state each id is in: the index into its list of allowed states.
  std::map<std::string, const Item*> chosen;
  for (const auto& [id, text] : present) {
    auto it = expect.states().find(id);
    if (it == expect.states().end()) return fail() << "unknown item " << id;
    const Item* match = nullptr;
    for (const auto& state : it->second) {
      if (state && state->meta == text) match = &*state;
    }
    if (!match) return fail() << "item " << id << " has metadata " << text.substr(0, 200);
    chosen[id] = match;
  }
  for (const auto& [id, states] : expect.states()) {
    bool may_be_absent = false;
    for (const auto& state : states) may_be_absent |= !state.has_value();
    if (!may_be_absent && !present.contains(id)) return fail() << "item " << id << " is missing";
  }
  for (const std::vector<std::string>& batch : expect.prefixes()) {
    bool gap = false;
    for (const std::string& id : batch) {
      bool in = present.contains(id);
      if (in && gap) return fail() << "batch applied with a gap before " << id;
      gap |= !in;
    }
  }

  // The indexes agree with the listing, and every item is found by its own vector.
  for (const auto& [tag, n] : per_tag) {
    Result<std::vector<std::string>> tagged = store.get_all_items(filter_for("tag", tag));
    if (!tagged.ok() || tagged->size() != n) {
      return fail() << "tag " << tag << " selects "
                    << (tagged.ok() ? std::to_string(tagged->size()) : tagged.status().message())
                    << " items, expected " << n;
    }
  }
  Result<std::vector<std::string>> numbered = store.get_all_items(R"({"n":{"$gte":0}})");
  if (!numbered.ok() || numbered->size() != present.size()) {
    return fail() << "numeric index selects the wrong number of items";
  }
  for (const auto& [id, item] : chosen) {
    Json filter = Json{{"_id", id}};
    GateReader inside(store.gate());
    Result<std::vector<SearchHit>> hits = store.search(item->vector, 1, &filter, true);
    if (!hits.ok() || hits->size() != 1 || (*hits)[0].id != id || (*hits)[0].score != 0.0f ||
        (*hits)[0].metadata != item->meta) {
      return fail() << "item " << id << " is not found by its own vector";
    }
  }
  if (::testing::AssertionResult exact = verify_exact_search(store, chosen); !exact) return exact;
  if (content) *content = std::move(present);
  return ::testing::AssertionSuccess();
}

}  // namespace tarnix::testing
