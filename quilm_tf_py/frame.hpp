#pragma once

// The module function require_frame(actual, expected, interface).

#include <Python.h>

namespace quilm_tf_py {

// A new function object bound to `module`; nullptr with an exception set on failure.
PyObject* new_require_frame_function(PyObject* module);

}  // namespace quilm_tf_py
