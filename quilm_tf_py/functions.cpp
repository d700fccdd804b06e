#include "quilm_tf_py/functions.hpp"

#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {

int add_functions(PyObject* module, std::span<PyMethodDef> defs) noexcept {
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) {
    return -1;
  }
  for (PyMethodDef& def : defs) {
    OwnedRef created = OwnedRef::steal(PyCFunction_NewEx(&def, module, module_name.get()));
    if (!created || PyModule_AddObjectRef(module, def.ml_name, created.get()) < 0) {
      return -1;
    }
  }
  return 0;
}

}  // namespace quilm_tf_py
