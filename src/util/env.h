// The parse rules for TARNIX_* environment variables. Variables are read afresh at each use,
// so a change to the environment takes effect at the next operation that reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarnix {

// Trimmed, optional "+", decimal digits, within 32 bits (the machine word of the reference
// platform, so 4294967296 is refused on every host).
std::optional<uint32_t> env_usize(const char* name);

// Trimmed, ASCII-lower-cased, and one of "1", "on", "yes", "true".
bool env_flag_true(const char* name);

// Untrimmed: optional "+", decimal digits, within 64 bits.
std::optional<uint64_t> env_u64_plain(const char* name);

// Untrimmed: optional "+", decimal digits, within 32 bits.
std::optional<uint32_t> env_u32_plain(const char* name);

// Trimmed: optional "+", decimal digits, within 64 bits.
std::optional<uint64_t> env_u64_trimmed(const char* name);

// The variable's text exactly as set; nothing when unset or not valid UTF-8.
std::optional<std::string> env_text(const char* name);

}  // namespace tarnix
