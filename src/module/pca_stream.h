// The Pca3DStream host class: an iterator over batches of projected points. Only the store
// creates instances; calling the class raises TypeError.
#pragma once

#include "module/py_ref.h"

namespace tarnix::py {

PyTypeObject* pca_stream_type();

}  // namespace tarnix::py
