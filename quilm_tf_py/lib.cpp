// Module entry point: multi-phase initialisation, attributes added by the exec step.
//
// import quilm_tf._native
// __all__ = ["TransformBuffer", "MessageFilter", "FilterFailureReason", "require_frame",
//            "TransformError", "FrameError"]
// # and the private helpers of the package's queries: _latest_common_time, _lookup_latest,
// # _frames, _lookup_across_time; of the array functions: _lookup_many,
// # _can_transform_many, _transform_points; of the cloud functions: _transform_cloud,
// # _deskew_cloud

#include <Python.h>

#include "quilm_tf_py/batch.hpp"
#include "quilm_tf_py/clouds.hpp"
#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/failure_reason.hpp"
#include "quilm_tf_py/frame.hpp"
#include "quilm_tf_py/message_filter.hpp"
#include "quilm_tf_py/owned_ref.hpp"
#include "quilm_tf_py/queries.hpp"
#include "quilm_tf_py/transform_buffer.hpp"

namespace quilm_tf_py {
namespace {

// Appends `name` to the module's __all__ (created on first use), then sets the attribute.
// `value` is borrowed; nullptr means its accessor failed and its error is pending.
int add_public(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) {
    return -1;
  }
  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return -1;
    }
    PyErr_Clear();
    all = OwnedRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      return -1;
    }
  }
  OwnedRef key = OwnedRef::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) {
    return -1;
  }
  return PyModule_AddObjectRef(module, name, value);
}

int exec_module(PyObject* module) {
  return guarded([&]() -> int {
    if (!PyModule_Check(module)) {
      return raise_not_convertible(module, "module");
    }
    // Made now rather than at its first raise, which may well be under memory pressure.
    if (internal_error_type() == nullptr) {
      return -1;
    }
    OwnedRef require_frame = OwnedRef::steal(new_require_frame_function(module));
    if (add_public(module, "TransformBuffer", transform_buffer_type()) < 0 ||
        add_public(module, "MessageFilter", message_filter_type()) < 0 ||
        add_public(module, "FilterFailureReason", failure_reason_type()) < 0 ||
        add_public(module, "require_frame", require_frame.get()) < 0 ||
        add_public(module, "TransformError", transform_error_type()) < 0 ||
        add_public(module, "FrameError", frame_error_type()) < 0 ||
        add_batch_functions(module) < 0 ||
        add_cloud_functions(module) < 0 ||
        add_query_functions(module) < 0) {
      return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_native",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace quilm_tf_py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&quilm_tf_py::module_def); }
