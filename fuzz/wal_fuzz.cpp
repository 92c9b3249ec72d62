// The log decoder on arbitrary bytes. Every record it accepts must encode back to exactly the
// bytes it consumed: a decoder that accepted two spellings of one record, or read a field
// differently than the encoder wrote it, would replay something other than what was logged.
// The sanitizers and the fuzzer's allocation limit catch reads past the input and lengths
// trusted before they were checked.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "storage/codec.h"
#include "storage/wal.h"

using namespace tarnix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  MemorySource source(input);
  while (source.remaining() > 0) {
    const size_t start = source.position();
    Decoder d(source);
    WalEntry entry = decode_wal_entry(d);
    if (!d.ok()) break;
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
