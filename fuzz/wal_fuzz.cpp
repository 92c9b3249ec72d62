// The log decoder on arbitrary bytes. Every record it accepts must encode back to exactly the
// bytes it consumed: a decoder that accepted two spellings of one record, or read a field
// differently than the encoder wrote it, would replay something other than what was logged.
// The sanitizers and the fuzzer's allocation limit catch reads past the input and lengths
// trusted before they were checked. The in-place parser that replay uses must accept exactly
// the same records, with the same fields.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "storage/codec.h"
#include "storage/wal.h"
#include "storage/wal_record.h"

using namespace tarnix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  MemorySource source(input);
  while (source.remaining() > 0) {
    const size_t start = source.position();
    Decoder d(source);
    WalEntry entry = decode_wal_entry(d);
    WalRecordView view;
    size_t size = 0;
    std::string_view rest = input.substr(start);
    WalParse parsed = parse_wal_record(rest, rest.size(), view, size);
    if (!d.ok()) {
      if (parsed != WalParse::kBad) std::abort();
      break;
    }
    if (parsed != WalParse::kRecord || size != source.position() - start) std::abort();
    if (const auto* insert = std::get_if<WalInsert>(&entry)) {
      if (view.is_delete || view.id != insert->id || view.meta_json != insert->meta_json ||
          view.vec_count != insert->vec.size() ||
          (view.vec_count > 0 &&
           std::memcmp(view.vec_bytes, insert->vec.data(), view.vec_count * 4) != 0) ||
          view.has_skip_index != insert->skip_index.has_value() || view.ttl != insert->ttl) {
        std::abort();
      }
      if (insert->skip_index &&
          !std::equal(view.skip_index.begin(), view.skip_index.end(), insert->skip_index->begin(),
                      insert->skip_index->end())) {
        std::abort();
      }
    } else if (!view.is_delete || view.id != std::get<WalDelete>(entry).id) {
      std::abort();
    }
    // Cut anywhere inside, the record asks for more bytes; the log ending there fails it.
    const std::string_view half = rest.substr(0, size / 2);
    if (parse_wal_record(half, rest.size(), view, size) != WalParse::kShort ||
        parse_wal_record(half, half.size(), view, size) != WalParse::kBad) {
      std::abort();
    }
    std::string again;
    StringSink sink(again);
    Encoder e(sink);
    if (const auto* insert = std::get_if<WalInsert>(&entry)) {
      encode_wal_insert(e, insert->id, insert->vec, insert->meta_json, insert->skip_index,
                        insert->ttl);
    } else {
      encode_wal_delete(e, std::get<WalDelete>(entry).id);
    }
    if (again != input.substr(start, source.position() - start)) std::abort();
  }
  return 0;
}
