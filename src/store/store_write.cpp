// The writing methods: add, add_batch, delete, delete_by_filter, prewarm_delete_path.
//
// Each change is in the log, flushed (and synced when the interval has passed), before the
// index changes; a call that cannot log changes nothing.
#include <mutex>

#include "meta/filter.h"
#include "storage/format.h"
#include "store/store.h"
#include "util/env.h"
#include "util/fnv.h"

namespace tarnix {
namespace {

constexpr uint64_t kDefaultWalSyncIntervalMs = 250;

Status invalid_json(const Status& parse_error) {
  return Status::invalid_argument("Invalid JSON: " + parse_error.message());
}

}  // namespace

Result<Json> Store::parse_metadata(std::string_view text) const {
  Result<Json> parsed = parse_json_object(text);
  if (!parsed.ok()) return invalid_json(parsed.status());
  // The stored form is compact, so it is rarely longer than the text; numbers written
  // briefly ("1e5") are the exception, so only long texts need the exact check.
  if (text.size() > kMaxMetadataBytes / 4) {
    size_t stored = dump_compact(*parsed).size();
    if (stored > kMaxMetadataBytes) {
      return Status::invalid_argument("Invalid JSON: metadata takes " + std::to_string(stored) +
                                      " bytes when stored; the limit is " +
                                      std::to_string(kMaxMetadataBytes));
    }
  }
  return parsed;
}

Status Store::check_vector(std::span<const float> vector, uint64_t dim) const {
  if (vector.empty()) return Status::invalid_argument("vector must not be empty");
  if (dim == 0 && vector.size() > kMaxDimension) {
    return Status::invalid_argument("vector has " + std::to_string(vector.size()) +
                                    " components; at most " + std::to_string(kMaxDimension) +
                                    " are supported");
  }
  if (dim != 0 && vector.size() != dim) {
    return Status::invalid_argument("vector has " + std::to_string(vector.size()) +
                                    " components but the store's vectors have " +
                                    std::to_string(dim));
  }
  return Status();
}

uint64_t Store::current_dim() {
  std::shared_lock<std::shared_mutex> lock(core_->mu);
  return core_->index->dim;
}

void Store::enqueue(PcaEventKind kind) {
  if (pca_enabled_) pca_->enqueue_event(std::move(kind));
}

Status Store::maybe_sync_wal() {
  uint64_t interval = env_u64_trimmed("TARNIX_WAL_SYNC_INTERVAL_MS")
                          .value_or(kDefaultWalSyncIntervalMs);
  uint64_t now;
  TARNIX_ASSIGN_OR_RETURN(now, unix_millis(*clock_));
  uint64_t last = last_wal_sync_ms_.load();
  uint64_t elapsed = now >= last ? now - last : 0;
  if (elapsed < interval) return Status();
  Status s = wal_->sync_last_commit();
  if (!s.ok()) return s.as_plain_os_error();
  last_wal_sync_ms_ = now;
  return Status();
}

Status Store::sync_before_reuse(CoreIndex& index, std::span<const std::string_view> ids,
                                bool sweeping) {
  if (wal_->has_unsynced_records()) {
    if (!index.may_overwrite_freed_slot(ids, sweeping)) return Status();
    Status s = wal_->sync_last_commit();
    if (!s.ok()) return s.as_plain_os_error();
    uint64_t now;
    TARNIX_ASSIGN_OR_RETURN(now, unix_millis(*clock_));
    last_wal_sync_ms_ = now;
  }
  // Every deletion so far is in the log, and the log is durable.
  index.recently_freed.clear();
  return Status();
}

Result<Store::PendingSweep> Store::plan_sweep(const CoreIndex& index) const {
  PendingSweep sweep;
  TARNIX_ASSIGN_OR_RETURN(sweep.now, unix_seconds(*clock_));
  std::vector<uint32_t> due = index.due_for_sweep(sweep.now);
  if (due.empty()) return sweep;
  index.with_ids_mmap([&](const BlobView& ids) {
    for (uint32_t slot : due) {
      std::string id = index.get_external_id_from_mmap(slot, ids);
      auto it = index.ext_to_int.find(id_hash(id));
      if (it != index.ext_to_int.end() && it->second == slot) sweep.ids.push_back(std::move(id));
    }
  });
  return sweep;
}

template <class F>
Status Store::log(F&& encode) {
  Status s = wal_->begin();
  if (!s.ok()) return s.as_plain_os_error();
  Encoder e(*wal_);
  encode(e);
  s = wal_->commit();
  if (!s.ok()) return s.as_plain_os_error();
  return maybe_sync_wal();
}

Status Store::add(std::string_view id, std::span<const float> vector, std::string_view metadata,
                  const std::optional<std::vector<std::string>>& skip_index,
                  std::optional<uint32_t> ttl) {
  TARNIX_RETURN_IF_ERROR(usable());
  Json parsed;
  TARNIX_ASSIGN_OR_RETURN(parsed, parse_metadata(metadata));
  TARNIX_RETURN_IF_ERROR(check_vector(vector, current_dim()));
  return write_call([&]() -> Status {
    std::unique_lock<std::shared_mutex> core_lock(core_->mu);
    std::unique_lock<std::shared_mutex> wal_lock(*wal_mu_);
    CoreIndex& index = *core_->index;
    // Checked again: another store may have given the store its first vector meanwhile.
    TARNIX_RETURN_IF_ERROR(check_vector(vector, index.dim));
    PendingSweep sweep;
    TARNIX_ASSIGN_OR_RETURN(sweep, plan_sweep(index));
    TARNIX_RETURN_IF_ERROR(log([&](Encoder& e) {
      for (const std::string& expired : sweep.ids) encode_wal_delete(e, expired);
      encode_wal_insert(e, id, vector, metadata, skip_index, ttl);
    }));
    const std::string_view ids[] = {id};
    TARNIX_RETURN_IF_ERROR(sync_before_reuse(index, ids, !sweep.ids.empty()));
    index.check_expiration_at(sweep.now);
    std::span<const std::string> skip;
    if (skip_index) skip = *skip_index;
    Status s = index.insert_in_mem(id, vector, parsed, skip, ttl);
    if (!s.ok()) return s.as_plain_os_error();
    if (!wal_->has_unsynced_records()) index.recently_freed.clear();
    enqueue(PcaEventUpsert{std::string(id)});
    return Status();
  });
}

Status Store::add_batch(std::span<const std::string> ids,
                        std::span<const std::vector<float>> vectors,
                        std::span<const std::string> metadatas,
                        const std::optional<std::vector<std::string>>& skip_index,
                        std::optional<uint32_t> ttl) {
  TARNIX_RETURN_IF_ERROR(usable());
  if (ids.size() != vectors.size() || ids.size() != metadatas.size()) {
    return Status::invalid_argument("ids, vectors, and metadatas must have the same length");
  }
  if (ids.empty()) return Status();
  std::vector<Json> parsed(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    TARNIX_ASSIGN_OR_RETURN(parsed[i], parse_metadata(metadatas[i]));
  }
  // A batch is all or nothing: every vector must fit before anything is written.
  auto check_all = [&](uint64_t dim) {
    uint64_t expected = dim != 0 ? dim : vectors[0].size();
    for (std::span<const float> v : vectors) TARNIX_RETURN_IF_ERROR(check_vector(v, expected));
    return check_vector(vectors[0], dim);
  };
  TARNIX_RETURN_IF_ERROR(check_all(current_dim()));
  return write_call([&]() -> Status {
    std::unique_lock<std::shared_mutex> core_lock(core_->mu);
    std::unique_lock<std::shared_mutex> wal_lock(*wal_mu_);
    CoreIndex& index = *core_->index;
    TARNIX_RETURN_IF_ERROR(check_all(index.dim));
    // Room for the whole batch, once.
    if (index.dim == 0) {
      Status s = index.set_dimension(vectors[0].size());
      if (!s.ok()) return s.as_plain_os_error();
    }
    Status s = index.ensure_capacity(uint64_t{index.next_slot} + ids.size());
    if (!s.ok()) return s.as_plain_os_error();

    PendingSweep sweep;
    TARNIX_ASSIGN_OR_RETURN(sweep, plan_sweep(index));
    TARNIX_RETURN_IF_ERROR(log([&](Encoder& e) {
      for (const std::string& expired : sweep.ids) encode_wal_delete(e, expired);
      for (size_t i = 0; i < ids.size(); ++i) {
        encode_wal_insert(e, ids[i], vectors[i], metadatas[i], skip_index, ttl);
      }
    }));
    std::vector<std::string_view> batch_ids(ids.begin(), ids.end());
    TARNIX_RETURN_IF_ERROR(sync_before_reuse(index, batch_ids, !sweep.ids.empty()));
    index.check_expiration_at(sweep.now);
    std::span<const std::string> skip;
    if (skip_index) skip = *skip_index;
    for (size_t i = 0; i < ids.size(); ++i) {
      s = index.insert_in_mem(ids[i], vectors[i], parsed[i], skip, ttl);
      if (!s.ok()) return s.as_plain_os_error();
    }
    if (!wal_->has_unsynced_records()) index.recently_freed.clear();
    wal_lock.unlock();
    core_lock.unlock();
    for (const std::string& id : ids) enqueue(PcaEventUpsert{id});
    return Status();
  });
}

Status Store::remove(std::string_view id) {
  TARNIX_RETURN_IF_ERROR(usable());
  // Its record is logged inside the gate, after catching up: taken before, the catching up
  // would find this call's own record among the others.
  return write_call([&]() -> Status {
    std::unique_lock<std::shared_mutex> core_lock(core_->mu);
    std::unique_lock<std::shared_mutex> wal_lock(*wal_mu_);
    TARNIX_RETURN_IF_ERROR(log([&](Encoder& e) { encode_wal_delete(e, id); }));
    core_->index->delete_in_mem(id);
    wal_lock.unlock();
    core_lock.unlock();
    enqueue(PcaEventDelete{std::string(id)});
    return Status();
  });
}

Result<uint64_t> Store::delete_by_filter(std::string_view filter_json) {
  TARNIX_RETURN_IF_ERROR(usable());
  Json filter;
  TARNIX_ASSIGN_OR_RETURN(filter, parse_filter_argument(filter_json));
  return write_call([&]() { return delete_matching(filter); });
}

Result<uint64_t> Store::delete_matching(const Json& filter) {
  std::unique_lock<std::shared_mutex> core_lock(core_->mu);
  std::unique_lock<std::shared_mutex> wal_lock(*wal_mu_);
  CoreIndex& index = *core_->index;
  TARNIX_RETURN_IF_ERROR(sweep_expired(index));
  Bitmap matching = index.evaluate_filter(filter);

  // Only items whose stored id names them can be logged; an unreadable id cannot be. A file
  // that cannot be mapped is an error, not a reason to delete nothing.
  std::vector<std::pair<uint32_t, std::string>> victims;
  victims.reserve(matching.cardinality());
  Status mapped = index.files.ids.with_checked_view([&](const BlobView& ids) {
    matching.for_each([&](uint32_t slot) {
      std::string id = index.get_external_id_from_mmap(slot, ids);
      auto it = index.ext_to_int.find(id_hash(id));
      if (it != index.ext_to_int.end() && it->second == slot) {
        victims.emplace_back(slot, std::move(id));
      }
    });
  });
  if (!mapped.ok()) return mapped.as_plain_os_error();
  // All records reach the log before the first deletion, so a failed flush or sync leaves
  // the index and the log in agreement.
  TARNIX_RETURN_IF_ERROR(log([&](Encoder& e) {
    for (const auto& [slot, id] : victims) encode_wal_delete(e, id);
  }));
  uint64_t deleted = 0;
  std::vector<std::string> deleted_ids;
  for (auto& [slot, id] : victims) {
    if (index.delete_internal_id_with_options(slot, true)) {
      ++deleted;
      if (pca_enabled_) deleted_ids.push_back(std::move(id));
    }
  }
  for (std::string& id : deleted_ids) enqueue(PcaEventDelete{std::move(id)});
  return deleted;
}

Status Store::sweep_expired(CoreIndex& index) {
  PendingSweep sweep;
  TARNIX_ASSIGN_OR_RETURN(sweep, plan_sweep(index));
  if (!sweep.ids.empty()) {
    TARNIX_RETURN_IF_ERROR(log([&](Encoder& e) {
      for (const std::string& expired : sweep.ids) encode_wal_delete(e, expired);
    }));
  }
  index.check_expiration_at(sweep.now);
  return Status();
}

Result<bool> Store::prewarm_delete_path() {
  TARNIX_RETURN_IF_ERROR(usable());
  return write_call([&]() -> Result<bool> {
    std::unique_lock<std::shared_mutex> core_lock(core_->mu);
    CoreIndex& index = *core_->index;
    if (index.incoming_edges && index.incoming_edges->size() == index.capacity) return false;
    index.ensure_incoming_edges();
    return true;
  });
}

void Store::enqueue_pca_snapshot_sync() {
  if (pca_enabled_) pca_->enqueue_pca_snapshot_sync();
}

}  // namespace tarnix
