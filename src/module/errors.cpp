#include "module/errors.h"

#include <errno.h>

namespace tarnix::py {
namespace {

// The standard OSError subclass for an errno, as the interpreter itself would choose it.
PyObject* os_error_class(int err) {
  switch (err) {
    case EAGAIN:
    case EALREADY:
    case EINPROGRESS:
      return PyExc_BlockingIOError;
    case ECHILD:
      return PyExc_ChildProcessError;
    case EPIPE:
    case ESHUTDOWN:
      return PyExc_BrokenPipeError;
    case ECONNABORTED:
      return PyExc_ConnectionAbortedError;
    case ECONNREFUSED:
      return PyExc_ConnectionRefusedError;
    case ECONNRESET:
      return PyExc_ConnectionResetError;
    case EEXIST:
      return PyExc_FileExistsError;
    case ENOENT:
      return PyExc_FileNotFoundError;
    case EISDIR:
      return PyExc_IsADirectoryError;
    case ENOTDIR:
      return PyExc_NotADirectoryError;
    case EINTR:
      return PyExc_InterruptedError;
    case EACCES:
    case EPERM:
      return PyExc_PermissionError;
    case ESRCH:
      return PyExc_ProcessLookupError;
    case ETIMEDOUT:
      return PyExc_TimeoutError;
    default:
      return PyExc_OSError;
  }
}

// Messages may quote input cut in the middle of a character, so undecodable bytes are
// replaced rather than failing the raise itself.
PyRef message_object(const std::string& text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* raise_plain(PyObject* cls, const std::string& text) {
  PyRef message = message_object(text);
  if (message) PyErr_SetObject(cls, message.get());
  return nullptr;
}

PyObject* raise_os_error(PyObject* cls, const Status& status) {
  // Built from the message alone, so str(e) is exactly "<description> (os error N)".
  PyRef message = message_object(status.message());
  if (!message) return nullptr;
  PyRef exc(PyObject_CallFunctionObjArgs(cls, message.get(), nullptr));
  if (!exc) return nullptr;
  if (status.os_errno() != 0) {
    PyRef err(PyLong_FromLong(status.os_errno()));
    if (!err || PyObject_SetAttrString(exc.get(), "errno", err.get()) != 0) PyErr_Clear();
  }
  PyErr_SetObject(cls, exc.get());
  return nullptr;
}

}  // namespace

PyObject* raise_status(const Status& status) {
  const std::string& text = status.message();
  switch (status.code()) {
    case StatusCode::kInvalidArgument:
      return raise_plain(PyExc_ValueError, text);
    case StatusCode::kIoError:
      return raise_os_error(
          status.plain_os_error() ? PyExc_OSError : os_error_class(status.os_errno()), status);
    case StatusCode::kInvalidData:
      return raise_os_error(PyExc_OSError, status);
    case StatusCode::kOk:
    case StatusCode::kInternal:
      break;
  }
  return raise_plain(PyExc_RuntimeError, text.empty() ? "internal error" : text);
}

}  // namespace tarnix::py
