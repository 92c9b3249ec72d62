// Mapping: a whole-file memory mapping, released on destruction.
//
// A mapping is never longer than its file: growth extends the file first and then the
// mapping, shrinking shortens the mapping first and then the file. Touching a page past the
// end of a file would kill the process with SIGBUS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "storage/fs.h"

namespace tarnix {

class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& other) noexcept
      : fs_(std::exchange(other.fs_, nullptr)),
        data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)) {}
  Mapping& operator=(Mapping&& other) noexcept {
    std::swap(fs_, other.fs_);
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~Mapping() { reset(); }

  // Maps the first `length` bytes of the open file. `shared` writable mappings write through
  // to the file; private ones keep their changes in this process only.
  static Result<Mapping> map(FileSystem& fs, int fd, size_t length, bool writable,
                             bool shared);

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Changes the mapped length, keeping the contents (private changes included). The caller
  // orders this against the file's own length change as described above. Only for mappings
  // made by map(), which may have length 0.
  Status resize(int fd, size_t new_length, bool writable, bool shared);
  // Writes dirty pages back and waits for them.
  Status flush() const;
  void reset();

 private:
  FileSystem* fs_ = nullptr;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace tarnix
