// Argument conversion: host values into C++ values, with the TypeError or OverflowError
// that names the argument. Each function returns false with the exception set on failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module/py_ref.h"

namespace tarnix::py {

// A str; its UTF-8 text is copied.
bool to_string(PyObject* obj, const char* name, std::string* out);
// None (or an omitted argument, passed as null) is absent; otherwise as to_string.
bool to_optional_string(PyObject* obj, const char* name, std::optional<std::string>* out);
// Any sequence except str; each element through the host's float conversion.
bool to_float_vector(PyObject* obj, const char* name, std::vector<float>* out);
bool to_float_vectors(PyObject* obj, const char* name, std::vector<std::vector<float>>* out);
bool to_string_list(PyObject* obj, const char* name, std::vector<std::string>* out);
bool to_optional_string_list(PyObject* obj, const char* name,
                             std::optional<std::vector<std::string>>* out);
// An integer in 0..2^32-1 (OverflowError outside, TypeError for a non-integer).
bool to_u32(PyObject* obj, const char* name, uint32_t* out);
bool to_optional_u32(PyObject* obj, const char* name, std::optional<uint32_t>* out);
bool to_u64(PyObject* obj, const char* name, uint64_t* out);
// Only True or False.
bool to_bool(PyObject* obj, const char* name, bool* out);

// A new str from UTF-8 text (replacing undecodable bytes).
PyObject* new_str(std::string_view text);

}  // namespace tarnix::py
