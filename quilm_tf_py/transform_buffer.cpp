// class TransformBuffer:
//     def __init__(self, history_seconds: float): ...
//     def insert_transform(self, parent, child, matrix, stamp_ns, is_static=False): ...
//     def insert_transform_stamped(self, message, is_static=False): ...
//     def insert_transform_message(self, message, is_static=False): ...
//     def lookup(self, from_frame, to_frame, stamp_ns) -> list[list[float]]: ...
//     def can_transform(self, from_frame, to_frame, stamp_ns) -> bool: ...
//     def clear_dynamic(self): ...
//
// Every method converts and checks its arguments (reading message attributes included)
// before taking the lock, and builds its result and wakes the filters after releasing it,
// so no Python code runs and no Python object is touched under the lock. Inserts also copy
// the names before locking: a name too large to copy raises MemoryError with the lock
// untouched, whereas an exception inside the locked insert poisons the lock, since the
// frame tree may then be half changed.

#include "quilm_tf_py/transform_buffer.hpp"

#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "quilm_tf/matrix.hpp"
#include "quilm_tf_py/args.hpp"
#include "quilm_tf_py/dispatch.hpp"
#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/functions.hpp"
#include "quilm_tf_py/owned_ref.hpp"
#include "quilm_tf_py/messages.hpp"

namespace quilm_tf_py {
namespace {

using frames::time::Duration;
using frames::time::NS_PER_SECOND;

TransformBufferObject* as_buffer(PyObject* self) noexcept {
  return reinterpret_cast<TransformBufferObject*>(self);
}

PyObject* new_none() noexcept { Py_RETURN_NONE; }

// Stores a prepared insert under the write lock, then wakes the filters; a refusal, or
// else a callback's error, is the result.
PyObject* insert_and_notify(PyObject* self,
                            quilm_tf::Result<quilm_tf::PreparedInsert,
                                             quilm_tf::TransformBufferError>&& prepared) {
  if (!prepared) {
    return raise(prepared.error());
  }
  auto service = as_buffer(self)->state.service.write();
  if (!service) {
    return Raised{};
  }
  auto inserted = service->insert(std::move(*prepared));
  service.unlock();
  if (!inserted) {
    return raise(inserted.error());
  }
  if (!notify_filters(as_buffer(self))) {
    return Raised{};
  }
  return new_none();
}

// 0.0 and 1.0, shared by every result: the bottom row always holds them, and sharing
// saves a float allocation and release per entry. Process-wide, never released.
PyObject* shared_zero = nullptr;
PyObject* shared_one = nullptr;

PyObject* new_float(double value) {
  if (value == 1.0 && shared_one != nullptr) {
    return Py_NewRef(shared_one);
  }
  if (value == 0.0 && !std::signbit(value) && shared_zero != nullptr) {
    return Py_NewRef(shared_zero);
  }
  PyObject* created = PyFloat_FromDouble(value);
  if (created != nullptr && value == 1.0) {
    shared_one = Py_NewRef(created);
  } else if (created != nullptr && value == 0.0 && !std::signbit(value)) {
    shared_zero = Py_NewRef(created);
  }
  return created;
}

}  // namespace

PyObject* matrix_to_python(const quilm_tf::Matrix4& matrix) {
  OwnedRef rows = OwnedRef::steal(PyList_New(4));
  if (!rows) {
    return nullptr;
  }
  for (Py_ssize_t r = 0; r < 4; ++r) {
    PyObject* row = PyList_New(4);
    // PyList_SetItem steals even when it fails.
    if (row == nullptr || PyList_SetItem(rows.get(), r, row) < 0) {
      return nullptr;
    }
    for (Py_ssize_t c = 0; c < 4; ++c) {
      PyObject* entry =
          new_float(matrix(static_cast<std::size_t>(r), static_cast<std::size_t>(c)));
      if (entry == nullptr || PyList_SetItem(row, c, entry) < 0) {
        return nullptr;
      }
    }
  }
  return rows.release();
}

namespace {

// Type slots: tp_new, GC, dealloc.

constexpr const char* NEW_PARAMS[] = {"history_seconds"};

// Drops an object whose C++ state was never constructed.
void free_unconstructed(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* buffer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* values[1];
    if (!parse_args("TransformBuffer", args, kwargs, NEW_PARAMS, 1, values)) {
      return Raised{};
    }
    double history_seconds = 0.0;
    if (!convert_arg(to_double, values[0], "history_seconds", &history_seconds)) {
      return Raised{};
    }
    // -0.0 is not below zero and is accepted.
    if (!std::isfinite(history_seconds) || history_seconds < 0.0) {
      return raise(Invalid::HistorySeconds);
    }
    const std::optional<Duration> history = frames::time::duration_from_seconds(history_seconds);
    if (!history) {
      return raise(Invalid::HistoryTooLarge);
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
      return nullptr;
    }
    try {
      new (&as_buffer(self)->state) TransformBufferState(*history);
    } catch (...) {
      free_unconstructed(self);
      throw;
    }
    return self;
  });
}

// Traverse visits only the type: the instance holds no other Python object.
int buffer_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

// Clear has nothing to drop.
int buffer_clear(PyObject* /*self*/) noexcept { return 0; }

// Dealloc untracks, clears, destroys the C++ state, frees, then drops the type.
void buffer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  buffer_clear(self);
  as_buffer(self)->state.~TransformBufferState();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Methods.

constexpr const char* INSERT_TRANSFORM_PARAMS[] = {"parent", "child", "matrix", "stamp_ns",
                                                   "is_static"};

PyObject* insert_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[5];
    if (!parse_args("insert_transform", args, nargs, kwnames, INSERT_TRANSFORM_PARAMS, 4,
                    values)) {
      return Raised{};
    }
    std::string_view parent;
    std::string_view child;
    MatrixArg matrix;
    frames::time::u128 stamp_ns = 0;
    bool is_static = false;
    if (!convert_arg(to_str, values[0], "parent", &parent) ||
        !convert_arg(to_str, values[1], "child", &child) ||
        !convert_arg(to_matrix, values[2], "matrix", &matrix) ||
        !convert_arg(to_u128, values[3], "stamp_ns", &stamp_ns) ||
        (values[4] != nullptr && !convert_arg(to_bool, values[4], "is_static", &is_static))) {
      return Raised{};
    }
    if (!matrix.is_4x4) {
      return raise(Invalid::MatrixShape);
    }
    auto isometry = quilm_tf::matrix4_to_isometry(quilm_tf::Matrix4{matrix.entries});
    if (!isometry) {
      return raise(isometry.error());
    }
    return insert_and_notify(self, quilm_tf::TransformBuffer::prepare_insert(
                                       parent, child, *isometry, stamp_ns, is_static));
  });
}

constexpr const char* INSERT_MESSAGE_PARAMS[] = {"message", "is_static"};

PyObject* insert_transform_stamped(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[2];
    bool is_static = false;
    if (!parse_args("insert_transform_stamped", args, nargs, kwnames, INSERT_MESSAGE_PARAMS, 1,
                    values) ||
        (values[1] != nullptr && !convert_arg(to_bool, values[1], "is_static", &is_static))) {
      return Raised{};
    }
    ParsedTransform parsed;
    if (!transform_stamped_from_python(values[0], &parsed)) {
      return Raised{};
    }
    return insert_and_notify(
        self, quilm_tf::TransformBuffer::prepare_insert(parsed.parent, parsed.child,
                                                        parsed.isometry, parsed.stamp_ns,
                                                        is_static));
  });
}

PyObject* insert_transform_message(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[2];
    bool is_static = false;
    if (!parse_args("insert_transform_message", args, nargs, kwnames, INSERT_MESSAGE_PARAMS, 1,
                    values) ||
        (values[1] != nullptr && !convert_arg(to_bool, values[1], "is_static", &is_static))) {
      return Raised{};
    }
    OwnedRef transforms = get_attr(values[0], Attr::transforms);
    if (!transforms) {
      return Raised{};
    }
    OwnedRef iterator =
        OwnedRef::steal(run_python([&] { return PyObject_GetIter(transforms.get()); }));
    if (!iterator) {
      return Raised{};
    }
    // Decode everything first: a malformed item must leave the buffer untouched.
    std::vector<ParsedTransform> parsed;
    while (OwnedRef item =
               OwnedRef::steal(run_python([&] { return PyIter_Next(iterator.get()); }))) {
      if (!transform_stamped_from_python(item.get(), &parsed.emplace_back())) {
        return Raised{};
      }
    }
    if (PyErr_Occurred() != nullptr) {
      return Raised{};
    }
    // The transforms before a refused one stay: each insert is whole on its own. So all
    // are prepared up to the first refusal, before locking, and the prepared ones stored.
    std::optional<quilm_tf::TransformBufferError> refused;
    std::vector<quilm_tf::PreparedInsert> prepared;
    prepared.reserve(parsed.size());
    for (const ParsedTransform& transform : parsed) {
      auto ready = quilm_tf::TransformBuffer::prepare_insert(
          transform.parent, transform.child, transform.isometry, transform.stamp_ns, is_static);
      if (!ready) {
        refused.emplace(std::move(ready).error());
        break;
      }
      prepared.push_back(std::move(*ready));
    }
    {
      auto service = as_buffer(self)->state.service.write();
      if (!service) {
        return Raised{};
      }
      for (quilm_tf::PreparedInsert& transform : prepared) {
        auto inserted = service->insert(std::move(transform));
        if (!inserted) {
          refused.emplace(std::move(inserted).error());
          break;
        }
      }
    }
    // The inserts that went in may have made queued messages ready, so wake the filters
    // even after a refusal; the refusal then outranks a callback's error.
    const bool notified = notify_filters(as_buffer(self));
    if (refused) {
      if (!notified) {
        PyErr_Clear();
      }
      return raise(*refused);
    }
    return notified ? new_none() : Raised{};
  });
}

constexpr const char* LOOKUP_PARAMS[] = {"from_frame", "to_frame", "stamp_ns"};

struct LookupArgs {
  std::string_view from_frame;
  std::string_view to_frame;
  frames::time::u128 stamp_ns = 0;
};

bool parse_lookup(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  LookupArgs* out) {
  PyObject* values[3];
  return parse_args(fn, args, nargs, kwnames, LOOKUP_PARAMS, 3, values) &&
         convert_arg(to_str, values[0], "from_frame", &out->from_frame) &&
         convert_arg(to_str, values[1], "to_frame", &out->to_frame) &&
         convert_arg(to_u128, values[2], "stamp_ns", &out->stamp_ns);
}

PyObject* lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    LookupArgs parsed;
    if (!parse_lookup("lookup", args, nargs, kwnames, &parsed)) {
      return Raised{};
    }
    auto service = as_buffer(self)->state.service.read();
    if (!service) {
      return Raised{};
    }
    auto found = service->lookup_ns(parsed.from_frame, parsed.to_frame, parsed.stamp_ns);
    service.unlock();
    if (!found) {
      return raise(found.error());
    }
    return matrix_to_python(quilm_tf::isometry_to_matrix4(*found));
  });
}

PyObject* can_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    LookupArgs parsed;
    if (!parse_lookup("can_transform", args, nargs, kwnames, &parsed)) {
      return Raised{};
    }
    auto service = as_buffer(self)->state.service.read();
    if (!service) {
      return Raised{};
    }
    const bool found =
        service->can_transform_ns(parsed.from_frame, parsed.to_frame, parsed.stamp_ns);
    service.unlock();
    return PyBool_FromLong(found ? 1 : 0);
  });
}

PyObject* clear_dynamic(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    auto service = as_buffer(self)->state.service.write();
    if (!service) {
      return Raised{};
    }
    service->clear_dynamic();
    service.unlock();
    return new_none();
  });
}

PyMethodDef buffer_methods[] = {
    {"insert_transform", as_cfunction(insert_transform), METH_FASTCALL | METH_KEYWORDS,
     "insert_transform($self, parent, child, matrix, stamp_ns, is_static=False)\n--\n\n"},
    {"insert_transform_stamped", as_cfunction(insert_transform_stamped),
     METH_FASTCALL | METH_KEYWORDS,
     "insert_transform_stamped($self, message, is_static=False)\n--\n\n"},
    {"insert_transform_message", as_cfunction(insert_transform_message),
     METH_FASTCALL | METH_KEYWORDS,
     "insert_transform_message($self, message, is_static=False)\n--\n\n"},
    {"lookup", as_cfunction(lookup), METH_FASTCALL | METH_KEYWORDS,
     "lookup($self, from_frame, to_frame, stamp_ns)\n--\n\n"},
    {"can_transform", as_cfunction(can_transform), METH_FASTCALL | METH_KEYWORDS,
     "can_transform($self, from_frame, to_frame, stamp_ns)\n--\n\n"},
    {"clear_dynamic", as_cfunction(clear_dynamic), METH_NOARGS, "clear_dynamic($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot buffer_slots[] = {
    {Py_tp_doc, const_cast<char*>("TransformBuffer(history_seconds)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(buffer_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(buffer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(buffer_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_tp_methods, buffer_methods},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    .name = "quilm_tf._native.TransformBuffer",
    .basicsize = sizeof(TransformBufferObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = buffer_slots,
};

// Process-wide, never released.
PyObject* buffer_type = nullptr;

}  // namespace

PyObject* transform_buffer_type() {
  if (buffer_type != nullptr) {
    return buffer_type;
  }
  return publish_once(buffer_type, OwnedRef::steal(PyType_FromSpec(&buffer_spec)));
}

bool to_transform_buffer(PyObject* object, TransformBufferObject** out) {
  PyObject* type = transform_buffer_type();
  if (type == nullptr) {
    return false;
  }
  if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
    raise_not_convertible(object, "TransformBuffer");
    return false;
  }
  *out = as_buffer(object);
  return true;
}

}  // namespace quilm_tf_py
