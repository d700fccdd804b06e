#pragma once

// Entry points as method tables take them, and tables of private module functions.

#include <Python.h>

#include <span>

namespace quilm_tf_py {

// An entry point (METH_FASTCALL | METH_KEYWORDS or METH_NOARGS) as a PyMethodDef slot. The
// cast goes through void (*)(): a direct cast between function types trips
// -Wcast-function-type.
template <class F>
PyCFunction as_cfunction(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Adds each function of `defs` to `module` under its own name, bound to the module, outside
// its __all__. The table must outlive the module (a static one does). 0, or -1 with an
// exception set.
int add_functions(PyObject* module, std::span<PyMethodDef> defs) noexcept;

}  // namespace quilm_tf_py
