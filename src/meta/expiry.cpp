// Expiry: items with a time to live are hidden from readers from their expiry second on and
// deleted by the next sweep of a writing call. Times are whole seconds since the epoch.
#include "index/core_index.h"

namespace tarnix {
namespace {

// Calls f(slot) for every live slot listed under an expiry second up to `now`. Lists may
// still name slots deleted since; those are skipped.
template <class F>
void for_each_expired_live(const CoreIndex& index, uint32_t now, F&& f) {
  auto end = index.expiration_index.upper_bound(now);
  for (auto it = index.expiration_index.begin(); it != end; ++it) {
    for (uint32_t slot : it->second) {
      if (index.valid_ids.contains(slot)) f(slot);
    }
  }
}

}  // namespace

Status CoreIndex::check_expiration() {
  uint32_t now;
  TARNIX_ASSIGN_OR_RETURN(now, unix_seconds(*clock_));
  check_expiration_at(now);
  return Status();
}

void CoreIndex::check_expiration_at(uint32_t now) {
  // At most one sweep per wall-clock second.
  if (last_expiration_check >= now) return;
  std::vector<uint32_t> due = due_for_sweep(now);
  last_expiration_check = now;
  expiration_index.erase(expiration_index.begin(), expiration_index.upper_bound(now));
  // The buckets are gone already, so the deletions need not visit them.
  for (uint32_t slot : due) delete_internal_id_with_options(slot, false);
}

std::vector<uint32_t> CoreIndex::due_for_sweep(uint32_t now) const {
  std::vector<uint32_t> due;
  if (last_expiration_check >= now) return due;
  for_each_expired_live(*this, now, [&](uint32_t slot) { due.push_back(slot); });
  return due;
}

Result<Bitmap> CoreIndex::get_lazy_expired_ids() const {
  uint32_t now;
  TARNIX_ASSIGN_OR_RETURN(now, unix_seconds(*clock_));
  Bitmap expired;
  for_each_expired_live(*this, now, [&](uint32_t slot) { expired.add(slot); });
  return expired;
}

Result<std::optional<Bitmap>> CoreIndex::expired_if_due() const {
  uint32_t now;
  TARNIX_ASSIGN_OR_RETURN(now, unix_seconds(*clock_));
  if (expiration_index.empty() || expiration_index.begin()->first > now) {
    return std::optional<Bitmap>();
  }
  Bitmap expired;
  TARNIX_ASSIGN_OR_RETURN(expired, get_lazy_expired_ids());
  return std::optional<Bitmap>(std::move(expired));
}

}  // namespace tarnix
