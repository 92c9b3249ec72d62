#include "util/json.h"

namespace tarnix {
namespace {

// Finds the deepest nesting of arrays and objects without building anything, so that an
// over-deep text is refused before the parser allocates a node per level.
bool nests_deeper_than(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        if (++depth > limit) return true;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return false;
}

}  // namespace

Result<Json> parse_json(std::string_view text) {
  if (nests_deeper_than(text, kMaxJsonDepth)) {
    return Status::invalid_argument("nesting deeper than " + std::to_string(kMaxJsonDepth) +
                                    " levels");
  }
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const Json::exception& e) {
    return Status::invalid_argument(e.what());
  }
}

Result<Json> parse_json_object(std::string_view text) {
  Result<Json> parsed = parse_json(text);
  if (parsed.ok() && !parsed->is_object()) {
    return Status::invalid_argument(std::string("expected a JSON object, found ") +
                                    parsed->type_name());
  }
  return parsed;
}

std::string dump_compact(const Json& value) {
  try {
    return value.dump();
  } catch (const Json::exception&) {
    return "{}";
  }
}

void append_json_string(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

float json_number_to_float(const Json& number) {
  double d;
  if (number.is_number_unsigned()) {
    d = static_cast<double>(number.get<uint64_t>());
  } else if (number.is_number_integer()) {
    d = static_cast<double>(number.get<int64_t>());
  } else {
    d = number.get<double>();
  }
  return static_cast<float>(d);
}

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < len) return false;
    for (size_t i = 1; i < len; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    p += len;
  }
  return true;
}

}  // namespace tarnix
