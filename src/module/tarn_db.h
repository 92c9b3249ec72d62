// The TarnDB host class: argument parsing and result building around a Store.
#pragma once

#include "module/py_ref.h"

namespace tarnix::py {

// Readies the type; returns it (a borrowed reference) or null with an exception set.
PyTypeObject* tarn_db_type();

}  // namespace tarnix::py
