#include "storage/wal_record.h"

#include <algorithm>
#include <cstring>

#include "util/json.h"

namespace tarnix {
namespace {

// The reference platform's size type is 32 bits wide; a larger length or count is refused.
constexpr uint64_t kMaxSizeValue = UINT32_MAX;

// Reads fields from the start of a record, telling a record that goes on past the bytes at
// hand (kShort) from one that cannot decode at all (kBad).
class Cursor {
 public:
  Cursor(std::string_view bytes, uint64_t log_left) : bytes_(bytes), log_left_(log_left) {}

  WalParse result() const { return result_; }
  size_t position() const { return pos_; }
  bool ok() const { return result_ == WalParse::kRecord; }

  const char* take(uint64_t n) {
    if (!ok()) return nullptr;
    if (n > log_left_ - pos_) return fail(WalParse::kBad);
    if (n > bytes_.size() - pos_) return fail(WalParse::kShort);
    const char* p = bytes_.data() + pos_;
    pos_ += n;
    return p;
  }
  template <class T>
  T fixed() {
    T v{};
    if (const char* p = take(sizeof v)) std::memcpy(&v, p, sizeof v);
    return v;
  }
  // An optional's tag: 0 or 1.
  bool tag() {
    uint8_t v = fixed<uint8_t>();
    if (v > 1) fail(WalParse::kBad);
    return ok() && v == 1;
  }
  // A count of elements of at least `min_bytes` each, all of which must fit in the log.
  uint64_t count(uint64_t min_bytes) {
    uint64_t n = fixed<uint64_t>();
    if (ok() && (n > kMaxSizeValue || n > (log_left_ - pos_) / min_bytes)) fail(WalParse::kBad);
    return ok() ? n : 0;
  }
  std::string_view string() {
    uint64_t n = count(1);
    const char* p = take(n);
    if (!p) return {};
    std::string_view s(p, n);
    if (!is_valid_utf8(s)) fail(WalParse::kBad);
    return s;
  }

 private:
  const char* fail(WalParse why) {
    if (ok()) result_ = why;
    return nullptr;
  }

  std::string_view bytes_;
  uint64_t log_left_;
  size_t pos_ = 0;
  WalParse result_ = WalParse::kRecord;
};

}  // namespace

WalParse parse_wal_record(std::string_view bytes, uint64_t log_left, WalRecordView& out,
                          size_t& size) {
  Cursor c(bytes, log_left);
  uint32_t variant = c.fixed<uint32_t>();
  if (c.ok() && variant > 1) return WalParse::kBad;
  out.is_delete = variant == 1;
  out.id = c.string();
  if (!out.is_delete) {
    out.vec_count = c.count(4);
    out.vec_bytes = c.take(out.vec_count * 4);
    out.meta_json = c.string();
    out.has_skip_index = c.tag();
    out.skip_index.clear();
    if (out.has_skip_index) {
      uint64_t names = c.count(8);
      for (uint64_t i = 0; i < names && c.ok(); ++i) out.skip_index.push_back(c.string());
    }
    out.ttl.reset();
    if (c.tag()) {
      uint32_t ttl = c.fixed<uint32_t>();
      if (c.ok()) out.ttl = ttl;
    }
  }
  size = c.position();
  return c.result();
}

WalBlockReader::WalBlockReader(File& file, uint64_t from, uint64_t length, size_t block_bytes)
    : file_(file), from_(from), length_(std::max(from, length)), block_(block_bytes) {}

Result<bool> WalBlockReader::next(WalRecordView& out) {
  for (;;) {
    const uint64_t log_left = length_ - from_ - taken_;
    if (log_left == 0) return false;
    size_t size = 0;
    switch (parse_wal_record({block_.data() + begin_, end_ - begin_}, log_left, out, size)) {
      case WalParse::kRecord:
        begin_ += size;
        taken_ += size;
        return true;
      case WalParse::kBad:
        return false;
      case WalParse::kShort:
        TARNIX_RETURN_IF_ERROR(refill());
        break;
    }
  }
}

Status WalBlockReader::refill() {
  if (!seeked_) {
    TARNIX_RETURN_IF_ERROR(file_.seek(from_));
    seeked_ = true;
  }
  const size_t kept = end_ - begin_;
  if (begin_ > 0) std::memmove(block_.data(), block_.data() + begin_, kept);
  begin_ = 0;
  end_ = kept;
  // A record larger than the block: the block grows until it holds the record.
  if (end_ == block_.size()) block_.resize(std::max<size_t>(block_.size() * 2, 4096));
  while (end_ < block_.size() && read_ < length_ - from_) {
    size_t n =
        static_cast<size_t>(std::min<uint64_t>(block_.size() - end_, length_ - from_ - read_));
    Result<size_t> got = file_.read_some(block_.data() + end_, n);
    if (!got.ok()) return got.take_status();
    if (*got == 0) {
      // The file ended early: the log ends here, and a record cut by it does not decode.
      length_ = from_ + read_;
      break;
    }
    end_ += *got;
    read_ += *got;
  }
  return Status();
}

}  // namespace tarnix
