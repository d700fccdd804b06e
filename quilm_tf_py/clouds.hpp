#pragma once

// The private module functions behind the package's point cloud functions (transform_cloud,
// deskew_cloud): a cloud's bytes in through the buffer protocol, the moved copy written
// into a buffer the caller allocated.

#include <Python.h>

namespace quilm_tf_py {

// Adds _transform_cloud and _deskew_cloud to `module`, outside its __all__. 0, or -1 with
// an exception set.
int add_cloud_functions(PyObject* module) noexcept;

}  // namespace quilm_tf_py
