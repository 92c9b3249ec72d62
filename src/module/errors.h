// Turning core errors into Python exceptions, in one place.
#pragma once

#include "module/py_ref.h"
#include "util/status.h"

namespace tarnix::py {

// Sets the exception for a failed status and returns null:
//   invalid argument -> ValueError; operating-system error -> OSError, or the subclass its
//   errno picks (FileNotFoundError, PermissionError, ...) unless the status asks for the
//   base class; undecodable data -> OSError; anything else -> RuntimeError.
// The message is the status's text; OSError also carries `errno`.
PyObject* raise_status(const Status& status);

// Runs f (which returns a new reference or null with an exception set), turning any C++
// exception into a Python one: no C++ exception ever crosses into the interpreter.
template <class F>
PyObject* guarded(F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
    return nullptr;
  }
}

}  // namespace tarnix::py
