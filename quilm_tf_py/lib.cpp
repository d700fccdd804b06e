// Module entry point: multi-phase initialisation, attributes added by the exec step.
#include <Python.h>

namespace {

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "module expected");
    return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&module_def); }
