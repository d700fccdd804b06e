// class FilterFailureReason:
//     """Why a message was discarded before its transform became available."""
//     EMPTY_FRAME_ID: FilterFailureReason    # value 0
//     INVALID_FRAME_ID: FilterFailureReason  # value 1
//     QUEUE_FULL: FilterFailureReason        # value 2
//     def __str__(self): return ("empty frame id", "invalid frame id", "queue full")[value]
//     def __repr__(self): return "FilterFailureReason." + NAMES[value]
//     def __eq__(self, other): same value if other is a FilterFailureReason, else NotImplemented
//     def __ne__(self, other): return not (self == other)
//     # no constructor, no hash, ordering unsupported

#include "quilm_tf_py/failure_reason.hpp"

#include <array>

#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {
namespace {

constexpr std::array<const char*, 3> ATTRIBUTE_NAMES = {"EMPTY_FRAME_ID", "INVALID_FRAME_ID",
                                                        "QUEUE_FULL"};
constexpr std::array<const char*, 3> STR_TEXTS = {"empty frame id", "invalid frame id",
                                                  "queue full"};
constexpr std::array<const char*, 3> REPR_TEXTS = {"FilterFailureReason.EMPTY_FRAME_ID",
                                                   "FilterFailureReason.INVALID_FRAME_ID",
                                                   "FilterFailureReason.QUEUE_FULL"};

struct FailureReasonObject {
  PyObject_HEAD
  std::uint8_t value;  // always below 3
};

FailureReasonObject* as_reason(PyObject* self) noexcept {
  return reinterpret_cast<FailureReasonObject*>(self);
}

// No GC slots: an instance holds no Python object.
// Dealloc frees through tp_free and drops the type, which a heap-type instance owns.
void reason_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* reason_repr(PyObject* self) {
  return PyUnicode_FromString(REPR_TEXTS[as_reason(self)->value]);
}

PyObject* reason_str(PyObject* self) {
  return PyUnicode_FromString(STR_TEXTS[as_reason(self)->value]);
}

PyObject* reason_richcompare(PyObject* self, PyObject* other, int op) {
  if (op == Py_EQ) {
    if (!PyObject_TypeCheck(other, Py_TYPE(self))) {
      Py_RETURN_NOTIMPLEMENTED;
    }
    return PyBool_FromLong(as_reason(self)->value == as_reason(other)->value);
  }
  if (op == Py_NE) {
    // The whole `self == other`, reflected comparison included, then its truth value.
    OwnedRef equal =
        OwnedRef::steal(run_python([&] { return PyObject_RichCompare(self, other, Py_EQ); }));
    if (!equal) {
      return nullptr;
    }
    const int truth = run_python([&] { return PyObject_IsTrue(equal.get()); });
    if (truth < 0) {
      return nullptr;
    }
    return PyBool_FromLong(truth == 0);
  }
  Py_RETURN_NOTIMPLEMENTED;
}

PyType_Slot reason_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Why a message was discarded before its transform became available.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(reason_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(reason_repr)},
    {Py_tp_str, reinterpret_cast<void*>(reason_str)},
    {Py_tp_richcompare, reinterpret_cast<void*>(reason_richcompare)},
    {0, nullptr},
};

PyType_Spec reason_spec = {
    .name = "quilm_tf._native.FilterFailureReason",
    .basicsize = sizeof(FailureReasonObject),
    .itemsize = 0,
    // Instances come only from the class attributes and from the filters.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = reason_slots,
};

// Process-wide, never released.
PyObject* reason_type = nullptr;

PyObject* make_reason(PyObject* type, std::uint8_t value) {
  auto* type_object = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type_object, Py_tp_alloc));
  PyObject* self = alloc(type_object, 0);
  if (self != nullptr) {
    as_reason(self)->value = value;
  }
  return self;
}

}  // namespace

PyObject* failure_reason_type() {
  if (reason_type != nullptr) {
    return reason_type;
  }
  OwnedRef type = OwnedRef::steal(PyType_FromSpec(&reason_spec));
  if (!type) {
    return nullptr;
  }
  for (std::uint8_t value = 0; value < ATTRIBUTE_NAMES.size(); ++value) {
    OwnedRef instance = OwnedRef::steal(make_reason(type.get(), value));
    if (!instance ||
        PyObject_SetAttrString(type.get(), ATTRIBUTE_NAMES[value], instance.get()) < 0) {
      return nullptr;
    }
  }
  return publish_once(reason_type, std::move(type));
}

PyObject* new_failure_reason(std::uint8_t value) {
  if (value >= ATTRIBUTE_NAMES.size()) {
    return raise_internal("unknown filter failure reason");
  }
  PyObject* type = failure_reason_type();
  if (type == nullptr) {
    return nullptr;
  }
  return make_reason(type, value);
}

}  // namespace quilm_tf_py
