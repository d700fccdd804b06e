#pragma once

// The private module function behind the bag readers of the package's tools: serialized tf
// messages inserted into a TransformBuffer in one call, with no message object built.

#include <Python.h>

namespace quilm_tf_py {

// Adds _insert_tf_payloads to `module`, outside its __all__. 0, or -1 with an exception set.
int add_tf_payload_functions(PyObject* module) noexcept;

}  // namespace quilm_tf_py
