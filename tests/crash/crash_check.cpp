#include "crash_check.h"

#include "scripts.h"
#include "store/store.h"
#include "util/json.h"

namespace tarnix::crash {
namespace {

std::string first_difference(const Content& got, const Content& want) {
  for (const auto& [id, meta] : want) {
    auto it = got.find(id);
    if (it == got.end()) return "item " + id + " is missing";
    if (it->second != meta) return "item " + id + " is " + it->second + ", not " + meta;
  }
  for (const auto& [id, meta] : got) {
    if (!want.contains(id)) return "item " + id + " is new";
  }
  return "";
}

Result<std::unique_ptr<Store>> open_at(const std::string& dir, int64_t clock_ns) {
  return Store::open(
      dir, StoreOptions{posix_file_system(), std::make_shared<ScriptClock>(clock_ns), false});
}

std::string to_hex(std::string_view bytes) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

std::optional<std::string> from_hex(std::string_view hex) {
  if (hex.size() % 2) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out(hex.size() / 2, '\0');
  for (size_t i = 0; i < out.size(); ++i) {
    int hi = digit(hex[2 * i]), lo = digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<char>(hi * 16 + lo);
  }
  return out;
}

Json item_to_json(const testing::Item& item) {
  return Json{{"meta", item.meta}, {"vector", item.vector}};
}

}  // namespace

CheckResult check_store_dir(const std::string& dir, const testing::Expectation& expect,
                            int64_t clock_ns, const Content* reference) {
  CheckResult r;
  auto fail = [&](std::string message) {
    r.ok = false;
    r.message = std::move(message);
    return r;
  };
  {
    Result<std::unique_ptr<Store>> store = open_at(dir, clock_ns);
    if (!store.ok()) return fail("open failed: " + store.status().message());
    ::testing::AssertionResult v = testing::verify_store(**store, expect, &r.content);
    if (!v) return fail(std::string("after the open: ") + v.message());
  }
  if (reference) {
    std::string diff = first_difference(r.content, *reference);
    if (!diff.empty()) return fail("not the content of the state it recovers from: " + diff);
  }
  Result<std::unique_ptr<Store>> again = open_at(dir, clock_ns);
  if (!again.ok()) return fail("second open failed: " + again.status().message());
  Content second;
  ::testing::AssertionResult v = testing::verify_store(**again, expect, &second);
  if (!v) return fail(std::string("after a second open: ") + v.message());
  std::string diff = first_difference(second, r.content);
  if (!diff.empty()) return fail("a second open gives another content: " + diff);
  return r;
}

std::string saved_state_to_json(const SavedState& state) {
  Json files = Json::object();
  for (const auto& [name, data] : state.image.files) {
    Json pages = Json::object();
    for (const auto& [index, bytes] : data.pages) {
      if (index * kPageBytes >= data.size) continue;
      std::string_view b = bytes;
      while (!b.empty() && b.back() == '\0') b.remove_suffix(1);
      if (!b.empty()) pages[std::to_string(index)] = to_hex(b);
    }
    files[name] = Json{{"size", data.size}, {"pages", pages}};
  }
  Json expect = Json::object();
  for (const auto& [id, states] : state.expect.states()) {
    Json list = Json::array();
    for (const auto& s : states) list.push_back(s ? item_to_json(*s) : Json(nullptr));
    expect[id] = list;
  }
  Json out = {
      {"note", state.note}, {"clock_ns", state.clock_ns}, {"exists", state.image.exists},
      {"files", files},     {"expect", expect},           {"prefixes", state.expect.prefixes()}};
  if (state.reference) out["reference"] = *state.reference;
  return out.dump(1);
}

Result<SavedState> saved_state_from_json(const std::string& text) {
  Result<Json> parsed = parse_json(text);
  if (!parsed.ok()) return parsed.take_status();
  const Json& j = *parsed;
  SavedState s;
  try {
    s.note = j.at("note").get<std::string>();
    s.clock_ns = j.at("clock_ns").get<int64_t>();
    s.image.exists = j.at("exists").get<bool>();
    for (const auto& [name, file] : j.at("files").items()) {
      FileData data;
      for (const auto& [index, hex] : file.at("pages").items()) {
        std::optional<std::string> bytes = from_hex(hex.get<std::string>());
        if (!bytes) return Status::invalid_data("bad page bytes in " + name);
        data.write(std::stoull(index) * kPageBytes, *bytes);
      }
      data.resize(file.at("size").get<uint64_t>());
      s.image.files[name] = std::move(data);
    }
    std::map<std::string, testing::Item> some_item;
    for (const auto& [id, states] : j.at("expect").items()) {
      bool first = true;
      for (const Json& state : states) {
        std::optional<testing::Item> item;
        if (!state.is_null()) {
          item = testing::Item{state.at("meta").get<std::string>(),
                               state.at("vector").get<std::vector<float>>()};
          some_item[id] = *item;
        }
        if (first) {
          item ? s.expect.put(id, *item) : s.expect.erase(id);
        } else {
          item ? s.expect.maybe_put(id, *item) : s.expect.maybe_erase(id);
        }
        first = false;
      }
    }
    for (const Json& prefix : j.at("prefixes")) {
      std::vector<std::pair<std::string, testing::Item>> batch;
      for (const Json& id : prefix) {
        std::string name = id.get<std::string>();
        batch.emplace_back(name, some_item.at(name));
      }
      s.expect.maybe_put_prefix(batch);
    }
    if (j.contains("reference")) s.reference = j.at("reference").get<Content>();
  } catch (const std::exception& e) {
    return Status::invalid_data(std::string("saved crash state: ") + e.what());
  }
  return s;
}

}  // namespace tarnix::crash
