#include "module/pca_stream.h"

#include "module/convert.h"
#include "module/errors.h"

namespace tarnix::py {
namespace {

struct PcaStreamObject {
  PyObject_HEAD
  PcaStream* stream;
};

PyTypeObject pca_stream = {PyVarObject_HEAD_INIT(nullptr, 0)};

// An explicit tp_new: some interpreters build a type whose tp_new is null into one that
// can be called.
PyObject* pca_stream_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'tarnix.Pca3DStream' instances");
  return nullptr;
}

void pca_stream_dealloc(PyObject* self) {
  delete reinterpret_cast<PcaStreamObject*>(self)->stream;
  Py_TYPE(self)->tp_free(self);
}

// The next batch as a list of (id, x, y, z, metadata), or null without an exception at the
// end of the stream.
PyObject* pca_stream_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    PcaStream* stream = reinterpret_cast<PcaStreamObject*>(self)->stream;
    if (!stream) return nullptr;
    std::vector<PcaStream::Item> batch = stream->next_batch();
    if (batch.empty()) return nullptr;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(batch.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < batch.size(); ++i) {
      const PcaPoint& p = *batch[i].point;
      PyObject* tuple = PyTuple_New(5);
      if (!tuple) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
      PyObject* fields[5] = {new_str(p.id()), PyFloat_FromDouble(p.x), PyFloat_FromDouble(p.y),
                             PyFloat_FromDouble(p.z), new_str(batch[i].metadata)};
      bool ok = true;
      for (int f = 0; f < 5; ++f) {
        if (!fields[f]) ok = false;
        PyTuple_SET_ITEM(tuple, f, fields[f]);
      }
      if (!ok) return nullptr;
    }
    return list.release();
  });
}

}  // namespace

PyTypeObject* pca_stream_type() {
  pca_stream.tp_name = "tarnix.Pca3DStream";
  pca_stream.tp_basicsize = sizeof(PcaStreamObject);
  pca_stream.tp_flags = Py_TPFLAGS_DEFAULT;
  pca_stream.tp_new = pca_stream_new;
  pca_stream.tp_dealloc = pca_stream_dealloc;
  pca_stream.tp_iter = PyObject_SelfIter;
  pca_stream.tp_iternext = pca_stream_next;
  if (PyType_Ready(&pca_stream) < 0) return nullptr;
  return &pca_stream;
}

PyObject* wrap_pca_stream(std::unique_ptr<PcaStream> stream) {
  PyObject* self = pca_stream.tp_alloc(&pca_stream, 0);
  if (!self) return nullptr;
  reinterpret_cast<PcaStreamObject*>(self)->stream = stream.release();
  return self;
}

}  // namespace tarnix::py
