#include "module/pca_stream.h"

namespace tarnix::py {
namespace {

struct PcaStreamObject {
  PyObject_HEAD
};

// An explicit tp_new: some interpreters build a type whose tp_new is null into one that
// can be called.
PyObject* pca_stream_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'tarnix.Pca3DStream' instances");
  return nullptr;
}

PyObject* pca_stream_next(PyObject*) { return nullptr; }

PyTypeObject pca_stream = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

PyTypeObject* pca_stream_type() {
  pca_stream.tp_name = "tarnix.Pca3DStream";
  pca_stream.tp_basicsize = sizeof(PcaStreamObject);
  pca_stream.tp_flags = Py_TPFLAGS_DEFAULT;
  pca_stream.tp_new = pca_stream_new;
  pca_stream.tp_iter = PyObject_SelfIter;
  pca_stream.tp_iternext = pca_stream_next;
  if (PyType_Ready(&pca_stream) < 0) return nullptr;
  return &pca_stream;
}

}  // namespace tarnix::py
