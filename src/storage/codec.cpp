#include "storage/codec.h"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "util/json.h"

namespace tarnix {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the record encoding is written for little-endian hosts");

// The reference platform's size type is 32 bits wide, so a length beyond that does not fit.
constexpr uint64_t kMaxSizeValue = UINT32_MAX;

}  // namespace

BufferedFileWriter::BufferedFileWriter(File& file, size_t capacity)
    : file_(file), capacity_(capacity) {
  buffer_.reserve(capacity);
}

void BufferedFileWriter::append(const void* data, size_t n) {
  if (!error_.ok()) return;
  if (buffer_.size() + n > capacity_) {
    error_ = file_.write_all(buffer_.data(), buffer_.size());
    buffer_.clear();
    if (!error_.ok()) return;
    if (n > capacity_) {
      error_ = file_.write_all(data, n);
      return;
    }
  }
  buffer_.append(static_cast<const char*>(data), n);
}

Status BufferedFileWriter::flush() {
  if (error_.ok() && !buffer_.empty()) error_ = file_.write_all(buffer_.data(), buffer_.size());
  buffer_.clear();
  return error_;
}

Status MemorySource::read(void* buf, size_t n) {
  if (n > remaining()) return Status::invalid_data("unexpected end of input");
  std::memcpy(buf, bytes_.data() + pos_, n);
  pos_ += n;
  return Status();
}

BufferedFileReader::BufferedFileReader(File& file, uint64_t file_size, size_t buffer_size)
    : file_(file), file_size_(file_size), buffer_(buffer_size, '\0') {}

Status BufferedFileReader::read(void* buf, size_t n) {
  char* out = static_cast<char*>(buf);
  while (n > 0) {
    if (begin_ == end_) {
      Result<size_t> got = file_.read_some(buffer_.data(), buffer_.size());
      if (!got.ok()) return got.take_status();
      if (*got == 0) return Status::invalid_data("unexpected end of file");
      begin_ = 0;
      end_ = *got;
    }
    size_t take = std::min(n, end_ - begin_);
    std::memcpy(out, buffer_.data() + begin_, take);
    begin_ += take;
    out += take;
    n -= take;
    consumed_ += take;
  }
  return Status();
}

void Encoder::u32(uint32_t v) { sink_.append(&v, 4); }
void Encoder::u64(uint64_t v) { sink_.append(&v, 8); }
void Encoder::f32(float v) { sink_.append(&v, 4); }
void Encoder::f64(double v) { sink_.append(&v, 8); }
void Encoder::f32_elements(std::span<const float> values) {
  // The host is little-endian, so the array's bytes are already the encoding.
  sink_.append(values.data(), values.size_bytes());
}

void Encoder::string(std::string_view s) {
  u64(s.size());
  sink_.append(s.data(), s.size());
}

void Encoder::bitmap(const Bitmap& b) {
  scratch_.clear();
  b.portable_serialize(scratch_);
  bytes(scratch_);
}

void Decoder::fail(std::string message) {
  if (status_.ok()) status_ = Status::invalid_data(std::move(message));
}

uint64_t Decoder::left() const {
  uint64_t by_limit = limit_ - std::min(limit_, consumed_);
  return std::min(by_limit, source_.remaining());
}

bool Decoder::read(void* buf, size_t n) {
  if (!status_.ok()) return false;
  if (n > limit_ - std::min(limit_, consumed_)) {
    fail("record exceeds the size limit of " + std::to_string(limit_) + " bytes");
    return false;
  }
  Status s = source_.read(buf, n);
  if (!s.ok()) {
    if (status_.ok()) status_ = std::move(s);
    return false;
  }
  consumed_ += n;
  return true;
}

uint8_t Decoder::u8() {
  uint8_t v = 0;
  read(&v, 1);
  return v;
}

uint32_t Decoder::u32() {
  uint32_t v = 0;
  if (!read(&v, 4)) return 0;
  return v;
}

uint64_t Decoder::u64() {
  uint64_t v = 0;
  if (!read(&v, 8)) return 0;
  return v;
}

float Decoder::f32() {
  float v = 0;
  if (!read(&v, 4)) return 0;
  return v;
}

double Decoder::f64() {
  double v = 0;
  if (!read(&v, 8)) return 0;
  return v;
}

bool Decoder::boolean() {
  uint8_t v = u8();
  if (v > 1) fail("invalid boolean byte " + std::to_string(v));
  return v == 1 && ok();
}

bool Decoder::optional_tag() {
  uint8_t v = u8();
  if (v > 1) fail("invalid optional tag " + std::to_string(v));
  return v == 1 && ok();
}

uint32_t Decoder::variant(uint32_t variants, const char* type_name) {
  uint32_t v = u32();
  if (ok() && v >= variants) {
    fail("invalid variant index " + std::to_string(v) + " for enum " + type_name);
  }
  return ok() ? v : 0;
}

uint64_t Decoder::size_value() {
  uint64_t v = u64();
  if (ok() && v > kMaxSizeValue) fail("value " + std::to_string(v) + " does not fit a size");
  return ok() ? v : 0;
}

uint64_t Decoder::length() {
  uint64_t n = size_value();
  // A 32-bit process could not hold such a record even where the file is that long.
  if constexpr (SIZE_MAX < UINT64_MAX) {
    if (ok() && n > SIZE_MAX) fail("length " + std::to_string(n) + " exceeds the machine word");
  }
  if (ok() && n > left()) {
    fail("length " + std::to_string(n) + " exceeds the " + std::to_string(left()) +
         " bytes that remain");
  }
  return ok() ? n : 0;
}

uint64_t Decoder::count(size_t min_element_bytes) {
  uint64_t n = size_value();
  if constexpr (SIZE_MAX < UINT64_MAX) {
    if (ok() && n > SIZE_MAX) fail("count " + std::to_string(n) + " exceeds the machine word");
  }
  if (ok() && min_element_bytes > 0 && n > left() / min_element_bytes) {
    fail("count " + std::to_string(n) + " exceeds the bytes that remain");
  }
  return ok() ? n : 0;
}

std::string Decoder::bytes() {
  uint64_t n = length();
  std::string out;
  if (!ok()) return out;
  out.resize(n);
  if (!read(out.data(), n)) out.clear();
  return out;
}

std::string Decoder::string() {
  std::string s = bytes();
  if (ok() && !is_valid_utf8(s)) {
    fail("string is not valid UTF-8");
    s.clear();
  }
  return s;
}

Bitmap Decoder::bitmap() {
  std::string raw = bytes();
  if (!ok()) return Bitmap();
  Result<Bitmap> b = Bitmap::portable_deserialize(raw.data(), raw.size());
  if (!b.ok()) {
    fail(b.status().message());
    return Bitmap();
  }
  return std::move(b).value();
}

}  // namespace tarnix
