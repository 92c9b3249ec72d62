// The reading methods: count, exists, listings, aggregation and search.
#include <charconv>
#include <mutex>

#include "index/quantize.h"
#include "index/search.h"
#include "meta/aggregate.h"
#include "store/store.h"
#include "util/env.h"

namespace tarnix {
namespace {

// The live slots the filter selects, without the expired ones.
Result<Bitmap> visible_matches(const CoreIndex& index, const Json& filter) {
  Bitmap matches = index.evaluate_filter(filter);
  if (matches.empty()) return matches;
  std::optional<Bitmap> expired;
  TARNIX_ASSIGN_OR_RETURN(expired, index.expired_if_due());
  if (expired) matches -= *expired;
  return matches;
}

// The score: the distance as a 32-bit float, in the shortest decimal that reads back as the
// same float, without exponent ("0", "1234").
void append_score(std::string& out, float score) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, score, std::chars_format::fixed);
  out.append(buf, ec == std::errc() ? end : buf);
}

struct SearchOutcome {
  std::vector<Candidate> nearest;  // at most k, ascending
  bool empty_store = false;
};

Result<SearchOutcome> run_search(const CoreIndex& index, std::span<const float> query,
                                 uint32_t k, const Json* filter) {
  SearchOutcome out;
  if (index.dim == 0) {
    out.empty_store = true;
    return out;
  }
  if (query.size() != index.dim) {
    return Status::invalid_argument("query vector has " + std::to_string(query.size()) +
                                    " components but the store's vectors have " +
                                    std::to_string(index.dim));
  }
  // Nothing to find: no scan or walk (a walk of width 0 would wander the whole graph).
  if (k == 0) return out;
  SearchContext& context = SearchContext::for_this_thread();
  context.reset(index.capacity, index.dim);
  quantize(query.data(), index.dim, context.query.data());
  std::optional<Bitmap> filter_set;
  if (filter) filter_set = index.evaluate_filter(*filter);
  // The width the schedule gives (or TARNIX_SEARCH_EF); a filtered walk derives its own
  // from it and the filter's share.
  uint32_t ef = search_width(k, index.valid_ids.cardinality(), env_usize("TARNIX_SEARCH_EF"));
  std::optional<Bitmap> expired;
  TARNIX_ASSIGN_OR_RETURN(expired, index.expired_if_due());
  if (expired && expired->empty()) expired.reset();
  out.nearest = index.search_core(k, ef, filter_set ? &*filter_set : nullptr,
                                  expired ? &*expired : nullptr, context);
  if (out.nearest.size() > k) out.nearest.resize(k);
  return out;
}

}  // namespace

Result<Json> Store::parse_filter_argument(std::string_view text) {
  Result<Json> parsed = parse_filter(text);
  if (!parsed.ok()) {
    return Status::invalid_argument("Invalid Filter: " + parsed.status().message());
  }
  return parsed;
}

Result<uint64_t> Store::count() {
  TARNIX_RETURN_IF_ERROR(usable());
  TARNIX_RETURN_IF_ERROR(follow_outside_gate());
  std::shared_lock<std::shared_mutex> lock(core_->mu);
  const CoreIndex& index = *core_->index;
  uint64_t live = index.ext_to_int.size();
  std::optional<Bitmap> expired;
  TARNIX_ASSIGN_OR_RETURN(expired, index.expired_if_due());
  if (expired) live -= std::min(live, expired->cardinality());
  return live;
}

Result<bool> Store::exists(std::string_view filter_json) {
  TARNIX_RETURN_IF_ERROR(usable());
  Json filter;
  TARNIX_ASSIGN_OR_RETURN(filter, parse_filter_argument(filter_json));
  TARNIX_RETURN_IF_ERROR(follow_outside_gate());
  std::shared_lock<std::shared_mutex> lock(core_->mu);
  Bitmap matches;
  TARNIX_ASSIGN_OR_RETURN(matches, visible_matches(*core_->index, filter));
  return !matches.empty();
}

template <class Read>
auto Store::read_matches(std::string_view filter_json, Read&& read)
    -> decltype(read(std::declval<const CoreIndex&>(), std::declval<Bitmap&>())) {
  TARNIX_RETURN_IF_ERROR(usable());
  Json filter;
  TARNIX_ASSIGN_OR_RETURN(filter, parse_filter_argument(filter_json));
  GateReader inside(*gate_);
  TARNIX_RETURN_IF_ERROR(follow());
  std::shared_lock<std::shared_mutex> lock(core_->mu);
  const CoreIndex& index = *core_->index;
  Bitmap matches;
  TARNIX_ASSIGN_OR_RETURN(matches, visible_matches(index, filter));
  return read(index, matches);
}

Result<std::vector<std::string>> Store::get_all_items(std::string_view filter_json) {
  auto texts_of = [](const CoreIndex& index,
                     Bitmap& matches) -> Result<std::vector<std::string>> {
    std::vector<std::string> texts;
    texts.reserve(matches.cardinality());
    index.with_metadata_mmap([&](const BlobView& metadata) {
      matches.for_each(
          [&](uint32_t slot) { texts.push_back(index.get_metadata_from_mmap(slot, metadata)); });
    });
    return texts;
  };
  return read_matches(filter_json, texts_of);
}

Result<std::string> Store::get_all_items_json(std::string_view filter_json) {
  auto array_of = [](const CoreIndex& index, Bitmap& matches) -> Result<std::string> {
    if (matches.empty()) return std::string("[]");
    std::string out;
    out.reserve(std::max<uint64_t>(2, 96 * matches.cardinality()));
    out.push_back('[');
    index.with_metadata_mmap([&](const BlobView& metadata) {
      matches.for_each([&](uint32_t slot) {
        if (out.size() > 1) out.push_back(',');
        out += index.get_metadata_from_mmap(slot, metadata);
      });
    });
    out.push_back(']');
    return out;
  };
  return read_matches(filter_json, array_of);
}

Result<std::string> Store::aggregate_unique(std::string_view filter_json,
                                            std::string_view group_by, std::string_view sort_by,
                                            std::span<const std::string> output_fields,
                                            bool descending) {
  auto groups_of = [&](const CoreIndex& index, Bitmap& matches) -> Result<std::string> {
    if (matches.empty()) return std::string("[]");
    return tarnix::aggregate_unique(index, matches, group_by, sort_by, output_fields,
                                    descending);
  };
  return read_matches(filter_json, groups_of);
}

Result<std::vector<SearchHit>> Store::search(std::span<const float> query, uint32_t k,
                                             const Json* filter, bool load_metadata) {
  TARNIX_RETURN_IF_ERROR(usable());
  TARNIX_RETURN_IF_ERROR(follow());
  std::shared_lock<std::shared_mutex> lock(core_->mu);
  const CoreIndex& index = *core_->index;
  SearchOutcome found;
  TARNIX_ASSIGN_OR_RETURN(found, run_search(index, query, k, filter));
  std::vector<SearchHit> hits;
  hits.reserve(found.nearest.size());
  auto build = [&](const BlobView& ids, const BlobView* metadata) {
    index.prefetch_records(found.nearest, ids, metadata);
    for (const Candidate& c : found.nearest) {
      hits.push_back(SearchHit{index.get_external_id_from_mmap(c.slot, ids),
                               static_cast<float>(c.distance),
                               metadata ? index.get_metadata_from_mmap(c.slot, *metadata) : ""});
    }
  };
  if (found.nearest.empty()) return hits;
  if (load_metadata) {
    index.with_ids_and_metadata_mmap(
        [&](const BlobView& ids, const BlobView& metadata) { build(ids, &metadata); });
  } else {
    index.with_ids_mmap([&](const BlobView& ids) { build(ids, nullptr); });
  }
  return hits;
}

Result<std::string> Store::search_json(std::span<const float> query, uint32_t k,
                                       const Json* filter) {
  TARNIX_RETURN_IF_ERROR(usable());
  TARNIX_RETURN_IF_ERROR(follow());
  std::shared_lock<std::shared_mutex> lock(core_->mu);
  const CoreIndex& index = *core_->index;
  SearchOutcome found;
  TARNIX_ASSIGN_OR_RETURN(found, run_search(index, query, k, filter));
  if (found.nearest.empty()) return std::string("[]");
  std::string out;
  out.reserve(128 * found.nearest.size());
  out.push_back('[');
  index.with_ids_and_metadata_mmap([&](const BlobView& ids, const BlobView& metadata) {
    index.prefetch_records(found.nearest, ids, &metadata);
    for (const Candidate& c : found.nearest) {
      if (out.size() > 1) out.push_back(',');
      out += "{\"id\":";
      append_json_string(out, index.get_external_id_from_mmap(c.slot, ids));
      out += ",\"score\":";
      append_score(out, static_cast<float>(c.distance));
      out += ",\"metadata\":";
      out += index.get_metadata_from_mmap(c.slot, metadata);
      out.push_back('}');
    }
  });
  out.push_back(']');
  return out;
}

}  // namespace tarnix
