// Helpers shared by the core tests: temporary directories, a clock tests can move, random
// vectors.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "storage/fs.h"

namespace tarnix::testing {

// A vector of `dim` components drawn uniformly from [-1, 1].
inline std::vector<float> random_vector(std::mt19937& rng, size_t dim) {
  std::uniform_real_distribution<float> u(-1, 1);
  std::vector<float> v(dim);
  for (float& x : v) x = u(rng);
  return v;
}

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnix-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A clock that stands still until the test moves it.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(int64_t seconds) : nanos_(seconds * 1'000'000'000) {}
  int64_t now_nanos() const override { return nanos_.load(); }
  void set_seconds(int64_t seconds) { nanos_ = seconds * 1'000'000'000; }
  void advance_millis(int64_t ms) { nanos_ += ms * 1'000'000; }

 private:
  std::atomic<int64_t> nanos_;
};

inline uint64_t file_size(const std::string& path) {
  return std::filesystem::file_size(path);
}

}  // namespace tarnix::testing
