// A snapshot from arbitrary bytes, loaded the way an open loads one: decoded under the size
// limit, applied to a fresh index over real (small) data files, fitted to those files. The
// result must satisfy the index's invariants, and stay within them through searches, filters
// and deletions, whatever the snapshot claimed.
//
// The data files live in one temporary directory made at start-up; each input opens its own
// index over them with private mappings, so nothing one input does reaches the next.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "index/core_index.h"
#include "index/quantize.h"
#include "storage/codec.h"
#include "storage/snapshot.h"

using namespace tarnix;

namespace {

// vectors.bin's length bounds the capacity: 4096 slots of one component, fewer for more.
constexpr size_t kVectorBytes = 4096;

std::string g_dir;

void remove_dir() {
  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
}

void check(const Status& s, const char* when) {
  if (s.ok()) return;
  std::fprintf(stderr, "%s: %s\n", when, s.message().c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarnix-fuzz-XXXXXX").string();
  g_dir = mkdtemp(pattern.data());
  std::atexit(remove_dir);
  std::ofstream(g_dir + "/vectors.bin", std::ios::binary) << std::string(kVectorBytes, '\x80');
  // The first open creates and sizes the other files once.
  auto index =
      CoreIndex::open(g_dir, CoreIndex::Options{posix_file_system(), system_clock()});
  if (!index.ok()) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemorySource source(std::string_view(reinterpret_cast<const char*>(data), size));
  Decoder d(source, size + kSnapshotLimitSlack);
  SnapshotData snapshot = decode_snapshot(d);
  if (!d.ok()) return 0;

  auto opened =
      CoreIndex::open(g_dir, CoreIndex::Options{posix_file_system(), system_clock()});
  if (!opened.ok()) std::abort();
  CoreIndex& index = **opened;
  apply_snapshot(index, std::move(snapshot));
  index.rebuild_runtime_state();
  index.reconcile_with_files();
  check(index.check_invariants(), "after the open's fitting");

  // Filters over whatever indexes the snapshot brought.
  for (const char* text : {R"({})", R"({"$not":{"a":"x"}})", R"({"a":{"$exists":true}})",
                           R"({"n":{"$gte":0}})", R"({"n":{"$lt":3.5,"$ne":1}})"}) {
    Bitmap selected = index.evaluate_filter(*parse_json(text));
    if (!(selected - index.valid_ids).empty()) {
      std::fprintf(stderr, "filter %s selects a slot that is not live\n", text);
      std::abort();
    }
  }
  if (index.dim > 0 && index.dim <= kVectorBytes) {
    SearchContext& context = SearchContext::for_this_thread();
    context.reset(index.capacity, index.dim);
    std::fill(context.query.begin(), context.query.end(), uint8_t{128});
    for (const Candidate& c : index.search_core(5, 20, nullptr, nullptr, context)) {
      if (!index.valid_ids.contains(c.slot)) std::abort();
    }
  }
  // Deletions edit rows, sets and indexes: the invariants hold after each.
  std::vector<uint32_t> live = index.valid_ids.to_vector();
  for (size_t i = 0; i < live.size() && i < 8; ++i) {
    index.delete_internal_id_with_options(live[i * 7 % live.size()], true);
    check(index.check_invariants(), "after a deletion");
  }
  return 0;
}
