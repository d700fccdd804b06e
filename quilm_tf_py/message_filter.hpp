#pragma once

// The Python MessageFilter class.

#include <Python.h>

namespace quilm_tf_py {

// The type object, process-wide, created on first use. Borrowed; nullptr with an
// exception set if creation failed.
PyObject* message_filter_type();

}  // namespace quilm_tf_py
