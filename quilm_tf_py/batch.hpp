#pragma once

// The private module functions behind the package's array functions (lookup_many,
// can_transform_many, transform_points): whole arrays in one call, read and written through
// the buffer protocol, so the extension needs no numpy headers.

#include <Python.h>

namespace quilm_tf_py {

// Adds _lookup_many, _can_transform_many and _transform_points to `module`, outside its
// __all__. 0, or -1 with an exception set.
int add_batch_functions(PyObject* module) noexcept;

}  // namespace quilm_tf_py
