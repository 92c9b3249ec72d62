#include "storage/codec.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "storage/wal.h"
#include "storage/wal_record.h"
#include "test_util.h"

namespace tarnix {
namespace {

std::string hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

template <class F>
std::string encode(F&& f) {
  std::string out;
  StringSink sink(out);
  Encoder e(sink);
  f(e);
  return out;
}

TEST(Codec, ByteExactExamples) {
  EXPECT_EQ(hex(encode([](Encoder& e) { e.string("abc"); })),
            "03 00 00 00 00 00 00 00 61 62 63");
  EXPECT_EQ(hex(encode([](Encoder& e) { e.optional_tag(false); })), "00");
  EXPECT_EQ(hex(encode([](Encoder& e) {
              e.optional_tag(true);
              e.u32(5);
            })),
            "01 05 00 00 00");
  EXPECT_EQ(hex(encode([](Encoder& e) {
              e.variant(1);
              e.f32(1.0f);
              e.f64(-2.0);
              e.boolean(true);
            })),
            "01 00 00 00 00 00 80 3f 00 00 00 00 00 00 00 c0 01");
  // An empty bitmap is 8 bytes of portable Roaring, behind its 8-byte length.
  EXPECT_EQ(encode([](Encoder& e) { e.bitmap(Bitmap()); }).size(), 16u);
}

TEST(Codec, RoundTripsEveryType) {
  Bitmap b = Bitmap::of({1, 5, 70000, 4000000000u});
  std::string bytes = encode([&](Encoder& e) {
    e.u8(7);
    e.u32(0xDEADBEEF);
    e.u64(1ull << 40);
    e.f32(3.5f);
    e.f64(-0.25);
    e.boolean(false);
    e.string("héllo");
    e.bytes(std::string("\0\xff", 2));
    e.bitmap(b);
    e.count(3);
  });
  MemorySource src(bytes);
  Decoder d(src);
  EXPECT_EQ(d.u8(), 7);
  EXPECT_EQ(d.u32(), 0xDEADBEEF);
  EXPECT_EQ(d.u64(), 1ull << 40);
  EXPECT_EQ(d.f32(), 3.5f);
  EXPECT_EQ(d.f64(), -0.25);
  EXPECT_FALSE(d.boolean());
  EXPECT_EQ(d.string(), "héllo");
  EXPECT_EQ(d.bytes(), std::string("\0\xff", 2));
  EXPECT_EQ(d.bitmap(), b);
  EXPECT_EQ(d.count(0), 3u);
  EXPECT_TRUE(d.ok()) << d.status().message();
  EXPECT_EQ(d.consumed(), bytes.size());
}

struct BadCase {
  const char* name;
  std::string bytes;
  std::function<void(Decoder&)> read;
};

TEST(Codec, RefusesMalformedInput) {
  std::string bad_utf8 = encode([](Encoder& e) { e.string("\xc3\x28"); });
  std::string truncated = encode([](Encoder& e) { e.string("abcdef"); });
  truncated.resize(truncated.size() - 1);
  std::string huge_length = encode([](Encoder& e) { e.u64(1ull << 40); });
  std::string huge_count = encode([](Encoder& e) { e.u64(1000); });
  std::string unsorted_bitmap = encode([](Encoder& e) { e.bitmap(Bitmap::of({1, 2, 3})); });
  // Portable format: cookie (4) + container count (4) + key/cardinality (4) + offsets (4),
  // then the array values; swap the first two values.
  std::swap(unsorted_bitmap[8 + 16], unsorted_bitmap[8 + 18]);
  std::vector<BadCase> cases = {
      {"boolean 2", std::string("\x02", 1), [](Decoder& d) { d.boolean(); }},
      {"tag 7", std::string("\x07", 1), [](Decoder& d) { d.optional_tag(); }},
      {"variant 2 of 2", std::string("\x02\0\0\0", 4), [](Decoder& d) { d.variant(2, "E"); }},
      {"bad utf-8", bad_utf8, [](Decoder& d) { d.string(); }},
      {"truncated", truncated, [](Decoder& d) { d.string(); }},
      {"empty input", "", [](Decoder& d) { d.u32(); }},
      {"length past the end", huge_length, [](Decoder& d) { d.bytes(); }},
      {"count past the end", huge_count, [](Decoder& d) { d.count(4); }},
      {"unsorted bitmap", unsorted_bitmap, [](Decoder& d) { d.bitmap(); }},
  };
  for (auto& c : cases) {
    MemorySource src(c.bytes);
    Decoder d(src);
    c.read(d);
    EXPECT_FALSE(d.ok()) << c.name;
  }
}

TEST(Codec, ByteLimitStopsTheDecoder) {
  std::string bytes = encode([](Encoder& e) { e.string("0123456789"); });
  MemorySource src(bytes);
  Decoder d(src, 12);
  d.string();
  EXPECT_FALSE(d.ok());
}

// The replay's in-place reader against the decoder, over a log with every field in use, a
// record larger than the block, a record that does not decode and a torn tail, read through
// blocks smaller than one field, smaller than a record, and larger than the log.
TEST(WalBlockReader, ReadsWhatTheDecoderReadsThroughAnyBlock) {
  std::string big_meta(9000, ' ');
  big_meta.append("{}");
  std::string log = encode([&](Encoder& e) {
    std::vector<float> vec = {0.5f, -1.0f, 0.25f};
    encode_wal_insert(e, "a", vec, R"({"g":1})", std::nullopt, std::nullopt);
    encode_wal_delete(e, "a");
    encode_wal_insert(e, "b", vec, big_meta, std::vector<std::string>{"g", "n"}, 3600u);
    encode_wal_insert(e, "", {}, "", std::vector<std::string>{}, 0u);
    encode_wal_delete(e, "zz");
  });
  const size_t whole = log.size();
  std::string bad_id = encode([](Encoder& e) { encode_wal_delete(e, "\xc3\x28"); });
  std::string torn = encode([](Encoder& e) {
    encode_wal_insert(e, "c", std::vector<float>{1.0f}, "{}", std::nullopt, std::nullopt);
  });
  torn.resize(torn.size() - 2);

  testing::TempDir dir;
  for (const std::string& tail : {std::string(), bad_id + log, torn}) {
    const std::string path = dir.file("wal.bin");
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << log << tail;
    }
    std::vector<std::string> expected;
    const std::string bytes = log + tail;
    MemorySource source(bytes);
    for (;;) {
      Decoder d(source);
      WalEntry entry = decode_wal_entry(d);
      if (!d.ok()) break;
      std::string again;
      StringSink sink(again);
      Encoder e(sink);
      if (auto* ins = std::get_if<WalInsert>(&entry)) {
        encode_wal_insert(e, ins->id, ins->vec, ins->meta_json, ins->skip_index, ins->ttl);
      } else {
        encode_wal_delete(e, std::get<WalDelete>(entry).id);
      }
      expected.push_back(again);
    }
    ASSERT_EQ(expected.size(), 5u);
    for (size_t block : {size_t{1}, size_t{13}, size_t{4096}, size_t{1} << 20}) {
      SCOPED_TRACE("block " + std::to_string(block) + ", tail " + std::to_string(tail.size()));
      Result<File> file = File::open(*posix_file_system(), path, O_RDONLY);
      ASSERT_TRUE(file.ok());
      // From an offset, as a store catching up with another's appends reads.
      const uint64_t from = block == 13 ? 4 + 8 + 1 + 8 + 12 + 8 + 7 + 2 : 0;
      WalBlockReader reader(*file, from, whole + tail.size(), block);
      WalRecordView r;
      std::vector<std::string> got;
      for (;;) {
        Result<bool> more = reader.next(r);
        ASSERT_TRUE(more.ok());
        if (!*more) break;
        std::string again;
        StringSink sink(again);
        Encoder e(sink);
        if (r.is_delete) {
          encode_wal_delete(e, r.id);
        } else {
          std::vector<float> vec(r.vec_count);
          if (!vec.empty()) std::memcpy(vec.data(), r.vec_bytes, vec.size() * 4);
          std::optional<std::vector<std::string>> skip;
          if (r.has_skip_index) skip.emplace(r.skip_index.begin(), r.skip_index.end());
          encode_wal_insert(e, r.id, vec, r.meta_json, skip, r.ttl);
        }
        got.push_back(again);
      }
      std::vector<std::string> want(expected.begin() + (from ? 1 : 0), expected.end());
      EXPECT_EQ(got, want);
      EXPECT_EQ(reader.good_end(), whole);
    }
  }
}

}  // namespace
}  // namespace tarnix
