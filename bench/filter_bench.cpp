// Filter evaluation, operator by operator, over 100,000 and 1,000,000 indexed slots (or the
// sizes given: filter_bench 100000,1000000). Prints the median of several runs of each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "meta/filter.h"
#include "meta/secondary_index.h"

namespace {

using tarnix::Bitmap;
using tarnix::Json;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 15;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int run(uint32_t kSlots) {
  tarnix::StrIndex str_index;
  tarnix::NumIndex num_index;
  Bitmap universe = Bitmap::range(0, kSlots);
  std::unordered_map<uint64_t, uint32_t> ext_to_int;

  std::vector<Json> categories, colors;
  for (int i = 0; i < 100; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "c%d", i);
    categories.emplace_back(name);
  }
  for (const char* c :
       {"red", "green", "blue", "black", "white", "gray", "brown", "olive", "teal", "navy"}) {
    colors.emplace_back(c);
  }
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> price(0.0, 1000.0);
  auto build_start = Clock::now();
  for (uint32_t slot = 0; slot < kSlots; ++slot) {
    index_metadata_value(str_index, num_index, "category", categories[rng() % 100], slot);
    index_metadata_value(str_index, num_index, "color", colors[rng() % 10], slot);
    index_metadata_value(str_index, num_index, "in_stock", Json(rng() % 2 == 0), slot);
    index_metadata_value(str_index, num_index, "price", Json(price(rng)), slot);
    index_metadata_value(str_index, num_index, "year", Json(1980 + rng() % 45), slot);
  }
  double build_ms = ms_since(build_start);
  // What an open pays per numeric field: the code arrays made again from the slices.
  auto rebuild_start = Clock::now();
  for (auto& [field, bsi] : num_index) bsi.rebuild_codes();
  double rebuild_ms = ms_since(rebuild_start) / static_cast<double>(num_index.size());

  tarnix::FilterContext ctx{str_index, num_index, universe, ext_to_int};
  const std::pair<const char*, const char*> queries[] = {
      {"equality", R"({"category":"c42"})"},
      {"$ne (string)", R"({"color":{"$ne":"red"}})"},
      {"$in of 10 values",
       R"({"category":{"$in":["c0","c1","c2","c3","c4","c5","c6","c7","c8","c9"]}})"},
      {"$nin of 2 values", R"({"color":{"$nin":["red","blue"]}})"},
      {"$exists", R"({"price":{"$exists":true}})"},
      {"number equality", R"({"year":2001})"},
      {"$lt (5 %)", R"({"price":{"$lt":50}})"},
      {"$lt (50 %)", R"({"price":{"$lt":500}})"},
      {"$lte (50 %)", R"({"price":{"$lte":500}})"},
      {"$gt (50 %)", R"({"price":{"$gt":500}})"},
      {"$gte (50 %)", R"({"price":{"$gte":500}})"},
      {"numeric range", R"({"price":{"$gte":250,"$lt":500}})"},
      {"two fields", R"({"color":"red","price":{"$lt":300}})"},
      {"three-clause $and",
       R"({"$and":[{"color":"red"},{"year":{"$gte":2000}},{"price":{"$lt":300}}]})"},
      {"$or of two", R"({"$or":[{"color":"red"},{"in_stock":true}]})"},
      {"$not", R"({"$not":{"color":"red"}})"},
  };

  std::printf("%u slots, 5 fields indexed in %.0f ms, code arrays rebuilt in %.1f ms a numeric "
              "field; median of %d runs\n\n",
              kSlots, build_ms, rebuild_ms, kRuns);
  std::printf("%-20s %10s %12s\n", "query", "ms", "matches");
  for (const auto& [name, text] : queries) {
    Json filter = tarnix::parse_filter(text).value();
    std::vector<double> times;
    uint64_t matches = 0;
    for (int run = 0; run < kRuns; ++run) {
      auto start = Clock::now();
      Bitmap result = tarnix::evaluate_filter(ctx, filter);
      times.push_back(ms_since(start));
      matches = result.cardinality();
    }
    std::nth_element(times.begin(), times.begin() + kRuns / 2, times.end());
    std::printf("%-20s %10.3f %12llu\n", name, times[kRuns / 2],
                static_cast<unsigned long long>(matches));
  }
  return 0;
}

int main(int argc, char** argv) {
  std::vector<uint32_t> sizes = {100'000, 1'000'000};
  if (argc > 1) {
    sizes.clear();
    std::string list = argv[1];
    for (size_t at = 0; at < list.size();) {
      size_t comma = list.find(',', at);
      if (comma == std::string::npos) comma = list.size();
      sizes.push_back(static_cast<uint32_t>(std::stoul(list.substr(at, comma - at))));
      at = comma + 1;
    }
  }
  for (uint32_t n : sizes) {
    if (run(n) != 0) return 1;
    std::printf("\n");
  }
  return 0;
}
