// Helpers shared by the core tests: temporary directories and a clock tests can move.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "storage/fs.h"

namespace tarnix::testing {

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
