// JSON values and the one parse entry point every caller uses.
//
// nlohmann::json keeps unsigned, signed and floating numbers apart, stores objects in a
// std::map (ascending byte order of keys) and dumps compactly with shortest round-trip floats:
// exactly the normal form that metadata is stored in.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "util/status.h"

namespace tarnix {

using Json = nlohmann::json;

// Copying, dumping and destroying nested values recurse, so nesting is bounded well below
// what the stack could take.
inline constexpr size_t kMaxJsonDepth = 512;

// Parses any JSON value. Fails with invalid_argument carrying the parser's message when the
// text is not JSON or nests deeper than kMaxJsonDepth.
Result<Json> parse_json(std::string_view text);

// Parses a metadata text, which must be a JSON object. The message is the detail that goes
// after "Invalid JSON: ".
Result<Json> parse_json_object(std::string_view text);

// Compact text with keys in ascending byte order; "{}" if the value cannot be written.
std::string dump_compact(const Json& value);

// Appends `text` as a JSON string literal: quotation mark, backslash and control characters
// escaped, everything else copied as UTF-8.
void append_json_string(std::string& out, std::string_view text);

// A JSON number as a 32-bit float: integers and doubles go through a 64-bit float first.
float json_number_to_float(const Json& number);

// True when `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

}  // namespace tarnix
