// What following another store costs: the check every call makes when nothing changed,
// catching up on records another store appended, and reloading after its persist, against an
// open from the snapshot. Two stores of one process stand for two processes.
//
//   build/bench/follow_bench [directory] [items]      (default /tmp/tarnix-follow-bench, 1000000)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/follow.h"
#include "store/store.h"

namespace {

using tarnix::Store;
using tarnix::StoreOptions;
using Clock = std::chrono::steady_clock;
constexpr size_t kDim = 128;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::unique_ptr<Store> open_store(const std::string& dir) {
  StoreOptions options;
  options.pca_enabled = false;
  auto store = Store::open(dir, options);
  if (!store.ok()) {
    std::fprintf(stderr, "open: %s\n", store.status().message().c_str());
    std::exit(1);
  }
  return std::move(store).value();
}

void add_items(Store& store, size_t from, size_t count) {
  const size_t batch = 10'000;
  for (size_t start = from; start < from + count; start += batch) {
    size_t n = std::min(batch, from + count - start);
    std::vector<std::string> ids, metas;
    std::vector<std::vector<float>> vectors;
    for (size_t i = start; i < start + n; ++i) {
      ids.push_back("i" + std::to_string(i));
      metas.push_back("{\"n\":" + std::to_string(i) + "}");
      std::vector<float> v(kDim);
      for (size_t d = 0; d < kDim; ++d) v[d] = std::sin(0.37 * i + 1.1 * d);
      vectors.push_back(std::move(v));
    }
    if (!store.add_batch(ids, vectors, metas, std::nullopt, std::nullopt).ok()) std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp/tarnix-follow-bench";
  const size_t items = argc > 2 ? std::stoul(argv[2]) : 1'000'000;
  std::filesystem::remove_all(dir);
  auto writer = open_store(dir);
  add_items(*writer, 0, items);
  if (!writer->persist().ok()) return 1;
  auto reader = open_store(dir);

  // The check: two stat calls and the view's lock, measured on calls that find nothing new.
  const int calls = 200'000;
  auto t = Clock::now();
  for (int i = 0; i < calls; ++i) (void)reader->count();
  const double per_count = seconds_since(t) / calls;
  t = Clock::now();
  for (int i = 0; i < calls; ++i) (void)tarnix::look_at_directory(*tarnix::posix_file_system(), dir);
  const double per_look = seconds_since(t) / calls;
  std::printf("unchanged: count() %.2f us per call, of which looking at the directory %.2f us\n",
              per_count * 1e6, per_look * 1e6);

  // Catching up on records another store appended: inserts, then deletes.
  const size_t fresh = std::min<size_t>(100'000, items);
  add_items(*writer, items, fresh);
  t = Clock::now();
  (void)reader->count();
  double s = seconds_since(t);
  std::printf("caught up on %zu inserts in %.3f s: %.0f records/s\n", fresh, s, fresh / s);
  for (size_t i = items; i < items + fresh; ++i) {
    if (!writer->remove("i" + std::to_string(i)).ok()) return 1;
  }
  t = Clock::now();
  (void)reader->count();
  s = seconds_since(t);
  std::printf("caught up on %zu deletes in %.3f s: %.0f records/s\n", fresh, s, fresh / s);

  // A persist replaces the snapshot: the reader loads the index again.
  if (!writer->persist().ok()) return 1;
  t = Clock::now();
  (void)reader->count();
  const double reload = seconds_since(t);
  writer.reset();
  reader.reset();
  t = Clock::now();
  auto reopened = open_store(dir);
  const double open = seconds_since(t);
  std::printf("reload after a persist at %zu items: %.3f s; open from the snapshot: %.3f s (%.2fx)\n",
              items, reload, open, reload / open);
  reopened.reset();
  std::filesystem::remove_all(dir);
  return 0;
}
