// Mapping: a whole-file memory mapping, released on destruction.
//
// A mapping is never longer than its file: growth extends the file first and then the
// mapping, shrinking shortens the mapping first and then the file. Touching a page past the
// end of a file would kill the process with SIGBUS.
//
// Every mapping in the process draws on one budget of address space. A 64-bit process has
// more than any disk; a 32-bit one has about 3 GiB for everything, so there the stores'
// mappings together stop at kMaxMappedBytes32 and a growth past it fails with ENOMEM before
// anything is mapped, rather than a length being cut to 32 bits or the address space running
// out under the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "storage/fs.h"

namespace tarnix {

inline constexpr uint64_t kMaxMappedBytes32 = uint64_t{2} << 30;

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
  static Result<Mapping> map(FileSystem& fs, int fd, uint64_t length, bool writable, bool shared);

  // The most address space this process's mappings may take together: kMaxMappedBytes32 in
  // a 32-bit process, unbounded in a 64-bit one. TARNIX_MAX_MAPPED_BYTES lowers it.
  static uint64_t limit();
  // Bytes mapped now by every mapping in the process.
  static uint64_t mapped_bytes();
  // Fails as a growth by `more` bytes would, without reserving anything: lets a caller
  // refuse before it lengthens a file it could not then map.
  static Status check_room(uint64_t more);

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Changes the mapped length, keeping the contents (private changes included). The caller
  // orders this against the file's own length change as described above. Only for mappings
  // made by map(), which may have length 0.
  Status resize(int fd, uint64_t new_length, bool writable, bool shared);
  // Writes dirty pages back and waits for them.
  Status flush() const;
  void reset();

 private:
  FileSystem* fs_ = nullptr;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace tarnix
