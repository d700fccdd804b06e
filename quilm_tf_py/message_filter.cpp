// class MessageFilter: the name only, so the module's attribute order is complete.

#include "quilm_tf_py/message_filter.hpp"

namespace quilm_tf_py {
namespace {

PyType_Slot filter_slots[] = {
    {0, nullptr},
};

PyType_Spec filter_spec = {
    .name = "quilm_tf._native.MessageFilter",
    .basicsize = 0,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = filter_slots,
};

// Process-wide, never released.
PyObject* filter_type = nullptr;

}  // namespace

PyObject* message_filter_type() noexcept {
  if (filter_type != nullptr) {
    return filter_type;
  }
  PyObject* created = PyType_FromSpec(&filter_spec);
  if (created != nullptr && filter_type != nullptr) {
    Py_DECREF(created);
    return filter_type;
  }
  filter_type = created;
  return filter_type;
}

}  // namespace quilm_tf_py
