// The extension module `tarnix`: registers TarnDB, then Pca3DStream.
#include "module/pca_stream.h"
#include "module/tarn_db.h"

namespace {

PyModuleDef tarnix_module = {
    PyModuleDef_HEAD_INIT,
    "tarnix",
    "An embedded, persistent vector database with metadata filters.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (!type) return false;
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    return false;
  }
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_tarnix() {
  tarnix::py::PyRef module(PyModule_Create(&tarnix_module));
  if (!module) return nullptr;
  if (!add_type(module.get(), "TarnDB", tarnix::py::tarn_db_type()) ||
      !add_type(module.get(), "Pca3DStream", tarnix::py::pca_stream_type())) {
    return nullptr;
  }
  return module.release();
}
