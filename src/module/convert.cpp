#include "module/convert.h"

#include <algorithm>
#include <string_view>

namespace tarnix::py {
namespace {

bool type_error(const char* name, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got '%s'", name, expected,
               Py_TYPE(got)->tp_name);
  return false;
}

// Re-raises the pending error with the argument's name in front, keeping its class. Some
// classes cannot be built from a message alone (UnicodeEncodeError takes five arguments);
// their original error is raised unchanged rather than replaced by the failed construction.
bool name_pending_error(const char* name) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef text(value ? PyObject_Str(value) : nullptr);
  PyRef named(text ? PyUnicode_FromFormat("argument '%s': %U", name, text.get()) : nullptr);
  PyRef renamed(named ? PyObject_CallFunctionObjArgs(type, named.get(), nullptr) : nullptr);
  if (!renamed) {
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return false;
  }
  PyErr_SetObject(type, renamed.get());
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return false;
}

bool is_absent(PyObject* obj) { return obj == nullptr || obj == Py_None; }

// Iterates a sequence (never a str), calling f(element) for each; f returns false on error.
template <class F>
bool for_each_element(PyObject* obj, const char* name, const char* expected, F&& f) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return type_error(name, expected, obj);
  PyRef fast(PySequence_Fast(obj, ""));
  if (!fast) return name_pending_error(name);
  Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  PyObject** items = PySequence_Fast_ITEMS(fast.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!f(items[i], static_cast<size_t>(n))) return false;
  }
  return true;
}

// A buffer of float32 or float64 values in C order, or nothing when the object does not
// export one (then the sequence path handles it, with the same results).
class FloatBuffer {
 public:
  explicit FloatBuffer(PyObject* obj) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) ||
        !PyObject_CheckBuffer(obj)) {
      return;
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND) != 0) {
      PyErr_Clear();
      return;
    }
    held_ = true;
    const char* f = view_.format ? view_.format : "B";
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    if (f[0] == 'f' && f[1] == '\0' && view_.itemsize == 4) {
      kind_ = Kind::kFloat32;
    } else if (f[0] == 'd' && f[1] == '\0' && view_.itemsize == 8) {
      kind_ = Kind::kFloat64;
    }
  }
  ~FloatBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;

  bool usable(int ndim) const { return kind_ != Kind::kNone && view_.ndim == ndim; }
  Py_ssize_t shape(int i) const { return view_.shape[i]; }
  // Appends `n` values starting at element `start`.
  void copy(Py_ssize_t start, Py_ssize_t n, std::vector<float>* out) const {
    out->resize(static_cast<size_t>(n));
    if (kind_ == Kind::kFloat32) {
      const float* p = static_cast<const float*>(view_.buf) + start;
      std::copy(p, p + n, out->begin());
    } else {
      const double* p = static_cast<const double*>(view_.buf) + start;
      for (Py_ssize_t i = 0; i < n; ++i) (*out)[i] = static_cast<float>(p[i]);
    }
  }

 private:
  enum class Kind { kNone, kFloat32, kFloat64 };
  Py_buffer view_{};
  bool held_ = false;
  Kind kind_ = Kind::kNone;
};

}  // namespace

bool to_string(PyObject* obj, const char* name, std::string* out) {
  if (!PyUnicode_Check(obj)) return type_error(name, "str", obj);
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!data) return name_pending_error(name);
  out->assign(data, static_cast<size_t>(size));
  return true;
}

bool to_optional_string(PyObject* obj, const char* name, std::optional<std::string>* out) {
  if (is_absent(obj)) {
    out->reset();
    return true;
  }
  out->emplace();
  return to_string(obj, name, &**out);
}

bool to_float_vector(PyObject* obj, const char* name, std::vector<float>* out) {
  out->clear();
  FloatBuffer buffer(obj);
  if (buffer.usable(1)) {
    buffer.copy(0, buffer.shape(0), out);
    return true;
  }
  return for_each_element(obj, name, "a sequence of floats", [&](PyObject* item, size_t n) {
    if (out->capacity() < n) out->reserve(n);
    double v = PyFloat_AsDouble(item);
    if (v == -1.0 && PyErr_Occurred()) return name_pending_error(name);
    out->push_back(static_cast<float>(v));
    return true;
  });
}

bool to_float_vectors(PyObject* obj, const char* name, std::vector<std::vector<float>>* out) {
  out->clear();
  FloatBuffer buffer(obj);
  if (buffer.usable(2)) {
    Py_ssize_t rows = buffer.shape(0), cols = buffer.shape(1);
    out->resize(static_cast<size_t>(rows));
    for (Py_ssize_t r = 0; r < rows; ++r) buffer.copy(r * cols, cols, &(*out)[r]);
    return true;
  }
  return for_each_element(obj, name, "a sequence of float sequences", [&](PyObject* item,
                                                                           size_t n) {
    if (out->capacity() < n) out->reserve(n);
    out->emplace_back();
    return to_float_vector(item, name, &out->back());
  });
}

bool to_string_list(PyObject* obj, const char* name, std::vector<std::string>* out) {
  out->clear();
  return for_each_element(obj, name, "a sequence of str", [&](PyObject* item, size_t n) {
    if (out->capacity() < n) out->reserve(n);
    out->emplace_back();
    return to_string(item, name, &out->back());
  });
}

bool to_optional_string_list(PyObject* obj, const char* name,
                             std::optional<std::vector<std::string>>* out) {
  if (is_absent(obj)) {
    out->reset();
    return true;
  }
  out->emplace();
  return to_string_list(obj, name, &**out);
}

bool to_u64(PyObject* obj, const char* name, uint64_t* out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) return name_pending_error(name);
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return name_pending_error(name);
  }
  *out = v;
  return true;
}

bool to_u32(PyObject* obj, const char* name, uint32_t* out) {
  uint64_t v;
  if (!to_u64(obj, name, &v)) return false;
  if (v > UINT32_MAX) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': %llu does not fit in 32 bits", name,
                 static_cast<unsigned long long>(v));
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

bool to_optional_u32(PyObject* obj, const char* name, std::optional<uint32_t>* out) {
  if (is_absent(obj)) {
    out->reset();
    return true;
  }
  uint32_t v;
  if (!to_u32(obj, name, &v)) return false;
  *out = v;
  return true;
}

bool to_bool(PyObject* obj, const char* name, bool* out) {
  if (!PyBool_Check(obj)) return type_error(name, "bool", obj);
  *out = obj == Py_True;
  return true;
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace tarnix::py
