#pragma once

// Private module functions behind the quilm_tf package's queries: they read a buffer under
// one read lock and build their Python results after releasing it.

#include <Python.h>

namespace quilm_tf_py {

// Adds _latest_common_time, _lookup_latest, _frames and _escape_name to `module` (not to
// __all__). -1 with an exception set on failure.
int add_query_functions(PyObject* module) noexcept;

}  // namespace quilm_tf_py
