#include "util/env.h"

#include <cstdlib>
#include <string_view>

#include "util/json.h"

namespace tarnix {
namespace {

std::optional<std::string_view> read_var(const char* name) {
  const char* raw = std::getenv(name);
  if (!raw) return std::nullopt;
  std::string_view text(raw);
  if (!is_valid_utf8(text)) return std::nullopt;
  return text;
}

bool is_unicode_space(std::string_view text, size_t at, size_t* len) {
  // ASCII whitespace plus the Unicode spaces a trimming routine would recognise.
  unsigned char c = static_cast<unsigned char>(text[at]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) {
    *len = 1;
    return true;
  }
  static constexpr std::string_view kWide[] = {
      "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
      "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",
      "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9",
      "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  for (std::string_view w : kWide) {
    if (text.substr(at, w.size()) == w) {
      *len = w.size();
      return true;
    }
  }
  return false;
}

std::string_view trim(std::string_view text) {
  size_t len;
  while (!text.empty() && is_unicode_space(text, 0, &len)) text.remove_prefix(len);
  while (!text.empty()) {
    // Step back to the start of the last character, then test it.
    size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    if (!is_unicode_space(text, start, &len) || start + len != text.size()) break;
    text.remove_suffix(len);
  }
  return text;
}

std::optional<uint64_t> parse_decimal(std::string_view text, uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

std::optional<uint32_t> env_usize(const char* name) {
  auto text = read_var(name);
  if (!text) return std::nullopt;
  auto v = parse_decimal(trim(*text), UINT32_MAX);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

bool env_flag_true(const char* name) {
  auto text = read_var(name);
  if (!text) return false;
  std::string lowered(trim(*text));
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered == "1" || lowered == "on" || lowered == "yes" || lowered == "true";
}

std::optional<uint64_t> env_u64_plain(const char* name) {
  auto text = read_var(name);
  if (!text) return std::nullopt;
  return parse_decimal(*text, UINT64_MAX);
}

std::optional<uint32_t> env_u32_plain(const char* name) {
  auto text = read_var(name);
  if (!text) return std::nullopt;
  auto v = parse_decimal(*text, UINT32_MAX);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

std::optional<uint64_t> env_u64_trimmed(const char* name) {
  auto text = read_var(name);
  if (!text) return std::nullopt;
  return parse_decimal(trim(*text), UINT64_MAX);
}

std::optional<std::string> env_text(const char* name) {
  auto text = read_var(name);
  if (!text) return std::nullopt;
  return std::string(*text);
}

}  // namespace tarnix
