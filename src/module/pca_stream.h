// The Pca3DStream host class: an iterator over batches of projected points. Only the store
// creates instances; calling the class raises TypeError.
#pragma once

#include <memory>

#include "module/py_ref.h"
#include "projection/pca_stream.h"

namespace tarnix::py {

PyTypeObject* pca_stream_type();

// A new Pca3DStream owning `stream`, or null with an exception set.
PyObject* wrap_pca_stream(std::unique_ptr<PcaStream> stream);

}  // namespace tarnix::py
