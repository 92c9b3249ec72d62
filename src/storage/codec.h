// The binary record encoding shared by the log, the snapshot and the vacuum journal.
//
// A record is its fields back to back, little-endian, with no header, names, padding or
// checksum. Strings and byte strings carry a 64-bit length, sequences and maps a 64-bit
// count, optional values a 0/1 tag, enumerations a 32-bit variant index, bitmaps the portable
// Roaring bytes as a byte string.
//
// Encoder and Decoder keep the first error and ignore everything after it, so record code
// reads as a plain list of fields and checks once at the end (LevelDB's "sticky" style).
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "storage/fs.h"
#include "util/bitmap.h"
#include "util/status.h"

namespace tarnix {

// Where encoded bytes go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void append(const void* data, size_t n) = 0;
};

class StringSink final : public ByteSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  void append(const void* data, size_t n) override {
    out_.append(static_cast<const char*>(data), n);
  }

 private:
  std::string& out_;
};

// Buffers writes to a file, writing whenever the buffer would overflow. The first failure is
// kept (and later writes are dropped) until flush() reports it.
class BufferedFileWriter final : public ByteSink {
 public:
  BufferedFileWriter(File& file, size_t capacity);
  void append(const void* data, size_t n) override;
  // Writes out what is buffered; returns the first error met since construction.
  Status flush();
  const Status& status() const { return error_; }

 private:
  File& file_;
  size_t capacity_;
  std::string buffer_;
  Status error_;
};

// Where decoded bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills buf with exactly n bytes; invalid_data at the end of input.
  virtual Status read(void* buf, size_t n) = 0;
  // How many bytes could still be read, as far as the source knows.
  virtual uint64_t remaining() const = 0;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  Status read(void* buf, size_t n) override;
  uint64_t remaining() const override { return bytes_.size() - pos_; }
  size_t position() const { return pos_; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

// Reads a file sequentially through a fixed buffer, from its current position.
class BufferedFileReader final : public ByteSource {
 public:
  // `file_size` bounds remaining(): lengths larger than what is left are refused up front.
  BufferedFileReader(File& file, uint64_t file_size, size_t buffer_size);
  Status read(void* buf, size_t n) override;
  uint64_t remaining() const override { return file_size_ - std::min(file_size_, consumed_); }
  uint64_t consumed() const { return consumed_; }

 private:
  File& file_;
  uint64_t file_size_;
  std::string buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t consumed_ = 0;
};

class Encoder {
 public:
  explicit Encoder(ByteSink& sink) : sink_(sink) {}

  void u8(uint8_t v) { sink_.append(&v, 1); }
  void u32(uint32_t v);
  void u64(uint64_t v);
  void f32(float v);
  void f64(double v);
  // The elements of a float array back to back, without its count (the caller writes it).
  void f32_elements(std::span<const float> values);
  void boolean(bool v) { u8(v ? 1 : 0); }
  void optional_tag(bool present) { u8(present ? 1 : 0); }
  void variant(uint32_t index) { u32(index); }
  void count(uint64_t n) { u64(n); }
  void string(std::string_view s);
  void bytes(std::string_view s) { string(s); }
  void bitmap(const Bitmap& b);

 private:
  ByteSink& sink_;
  std::string scratch_;
};

class Decoder {
 public:
  // `limit` caps the total bytes this decoder may read (the snapshot's safety bound).
  explicit Decoder(ByteSource& source, uint64_t limit = UINT64_MAX)
      : source_(source), limit_(limit) {}

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }
  uint64_t consumed() const { return consumed_; }
  // Records a decoding error (only the first one counts).
  void fail(std::string message);

  uint8_t u8();
  uint32_t u32();
  uint64_t u64();
  float f32();
  double f64();
  bool boolean();
  // True when the optional value follows.
  bool optional_tag();
  // A variant index below `variants`.
  uint32_t variant(uint32_t variants, const char* type_name);
  // A sequence or map count; refused when even `min_element_bytes` per element would not fit
  // in what is left, so callers may reserve it.
  uint64_t count(size_t min_element_bytes);
  // A value of the machine's size type (32 bits on the reference platform).
  uint64_t size_value();
  std::string string();
  std::string bytes();
  Bitmap bitmap();

 private:
  bool read(void* buf, size_t n);
  uint64_t length();
  uint64_t left() const;

  ByteSource& source_;
  uint64_t limit_;
  uint64_t consumed_ = 0;
  Status status_;
};

}  // namespace tarnix
