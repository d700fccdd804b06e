// class MessageFilter:
//     """Queues stamped Python messages until quilm-tf can transform them."""
//     def __init__(self, buffer, target_frame, queue_size, callback=None, tolerance_ns=0): ...
//     def add(self, message): ...                      # dispatches this call's drops
//     def register_callback(self, callback): ...
//     def register_failure_callback(self, callback): ...
//     def set_target_frame(self, target_frame): ...    # dispatches on success
//     def set_target_frames(self, target_frames): ...  # dispatches on success
//     def set_tolerance_ns(self, tolerance_ns): ...    # dispatches
//     def set_queue_size(self, queue_size): ...        # dispatches the evictions
//     def clear(self): ...
//     pending_count: int         # read-only properties
//     queue_size: int
//     tolerance_ns: int
//     target_frames: list[str]
//     def dispatch(self): ...
//
// Messages are read (attributes, stamp, frame) before the state mutex is taken; every
// reference that leaves the state under the mutex is released, or delivered, after it is
// unlocked. So a callback or a message finalizer may call back into the same filter.
// Every change under the mutex is all or nothing when it cannot allocate (the library
// filter's guarantee), so a MemoryError leaves the filter as it was and usable.

#include "quilm_tf_py/message_filter.hpp"

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quilm_tf_py/args.hpp"
#include "quilm_tf_py/dispatch.hpp"
#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/functions.hpp"
#include "quilm_tf_py/filter_state.hpp"
#include "quilm_tf_py/owned_ref.hpp"
#include "quilm_tf_py/messages.hpp"
#include "quilm_tf_py/transform_buffer.hpp"

namespace quilm_tf_py {
namespace {

struct MessageFilterObject {
  PyObject_HEAD
  std::shared_ptr<MessageFilterState> state;  // never null once tp_new has built it
  OwnedRef buffer;  // the TransformBuffer waited on; empty only after the collector's clear
};

MessageFilterObject* as_filter(PyObject* self) noexcept {
  return reinterpret_cast<MessageFilterObject*>(self);
}

Mutex<FilterFields>& fields_of(PyObject* self) noexcept {
  return as_filter(self)->state->fields;
}

// Null once the collector has cleared the filter: it then no longer drains.
TransformBufferObject* buffer_of(PyObject* self) noexcept {
  return reinterpret_cast<TransformBufferObject*>(as_filter(self)->buffer.get());
}

PyObject* new_none() noexcept { Py_RETURN_NONE; }

// The dispatch that follows a state change; a callback's exception becomes the result.
PyObject* dispatch_after(PyObject* self, Drops drops = {}) {
  if (!dispatch(*as_filter(self)->state, buffer_of(self), std::move(drops))) {
    return Raised{};
  }
  return new_none();
}

// Type slots: tp_new, GC, dealloc.

constexpr const char* NEW_PARAMS[] = {"buffer", "target_frame", "queue_size", "callback",
                                      "tolerance_ns"};

PyObject* filter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* values[5];
    if (!parse_args("MessageFilter", args, kwargs, NEW_PARAMS, 3, values)) {
      return Raised{};
    }
    TransformBufferObject* buffer = nullptr;
    std::string_view target_frame;
    std::size_t queue_size = 0;
    u128 tolerance_ns = 0;
    if (!convert_arg(to_transform_buffer, values[0], "buffer", &buffer) ||
        !convert_arg(to_str, values[1], "target_frame", &target_frame) ||
        !convert_arg(to_usize, values[2], "queue_size", &queue_size) ||
        (values[4] != nullptr &&
         !convert_arg(to_u128, values[4], "tolerance_ns", &tolerance_ns))) {
      return Raised{};
    }
    PyObject* callback = values[3] == Py_None ? nullptr : values[3];
    if (tolerance_ns >= ROS_TIME_LIMIT_NS) {
      return raise(Invalid::StampRange);
    }
    if (callback != nullptr && PyCallable_Check(callback) == 0) {
      return raise(Invalid::CallbackNotCallable);
    }

    OwnedRef first_callback = OwnedRef::borrow(callback);
    auto state = std::make_shared<MessageFilterState>(queue_size);
    std::optional<quilm_tf::TransformBufferError> refused;
    {
      auto fields = state->fields.lock();
      if (!fields) {
        return Raised{};
      }
      auto targets = fields->filter.set_target_frames(std::array{target_frame});
      if (targets) {
        fields->filter.set_tolerance_ns(tolerance_ns);
        if (first_callback) {
          fields->callbacks.push_back(std::move(first_callback));
        }
      } else {
        refused.emplace(std::move(targets).error());
      }
    }
    if (refused) {
      return raise(*refused);
    }

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
      return nullptr;
    }
    // Both moves are noexcept, so the object is whole before anything else can run.
    new (&as_filter(self)->state) std::shared_ptr<MessageFilterState>(std::move(state));
    new (&as_filter(self)->buffer) OwnedRef(OwnedRef::borrow(values[0]));
    if (!attach_filter(buffer, as_filter(self)->state)) {
      Py_DECREF(self);
      return nullptr;
    }
    return self;
  });
}

// The state mutex is always free when the collector calls traverse or clear. Its holders
// run no Python code and make no Python object, so no collection starts inside a locked
// section, and a holder on another thread would hold the GIL that the collector holds.
// Were a collection ever to start inside a locked section of this thread, blocking would
// deadlock; try_lock instead fails, and keeps failing for that whole collection (the
// holder is suspended beneath it), so the slot visits or clears nothing every time, which
// only keeps objects alive.

// Traverse visits the type, the buffer and every reference in the state: the queued
// messages and both lists of callables.
int filter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  MessageFilterObject* filter = as_filter(self);
  Py_VISIT(filter->buffer.get());
  if (!filter->state) {
    return 0;  // traversed between allocation and construction
  }
  auto fields = filter->state->fields.try_lock();
  if (!fields) {
    return 0;
  }
  for (const OwnedRef& callback : fields->callbacks) {
    Py_VISIT(callback.get());
  }
  for (const OwnedRef& callback : fields->failure_callbacks) {
    Py_VISIT(callback.get());
  }
  return fields->filter.for_each_payload(
      [&](const OwnedRef& message) noexcept { return visit(message.get(), arg); });
}

// Clear drops the buffer, the callables and the queued messages, which breaks every cycle
// through the filter. They leave the state under the mutex and are released after it is
// unlocked, since a finalizer may call back into this filter. A dispatch in progress
// holds its own references and is not disturbed.
int filter_clear(PyObject* self) {
  MessageFilterObject* filter = as_filter(self);
  const OwnedRef buffer = std::move(filter->buffer);
  std::vector<OwnedRef> messages;
  std::vector<OwnedRef> callbacks;
  std::vector<OwnedRef> failure_callbacks;
  if (!filter->state) {
    return 0;
  }
  auto fields = filter->state->fields.try_lock();
  if (!fields) {
    return 0;
  }
  callbacks.swap(fields->callbacks);
  failure_callbacks.swap(fields->failure_callbacks);
  try {
    messages = fields->filter.take_all();
  } catch (const std::bad_alloc&) {
    // take_all changed nothing; the messages stay queued and the cycle is already broken
    // at the callables, or the collector finds it again later.
  }
  fields.unlock();
  return 0;
}

// Dealloc untracks, drops the buffer and this object's share of the state, frees, then
// drops the type. It leaves the state whole: a wake-up in progress still holds it and
// delivers its ready messages; the state releases the rest when its last holder goes.
void filter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  MessageFilterObject* filter = as_filter(self);
  filter->buffer.~OwnedRef();
  filter->state.~shared_ptr();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Methods.

constexpr const char* ADD_PARAMS[] = {"message"};

PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* message = nullptr;
    if (!parse_args("add", args, nargs, kwnames, ADD_PARAMS, 1, &message)) {
      return Raised{};
    }
    // Read in this order; the first failure is raised and nothing is queued.
    OwnedRef header = get_attr(message, Attr::header);
    if (!header) {
      return Raised{};
    }
    OwnedRef stamp = get_attr(header.get(), Attr::stamp);
    u128 stamp_ns = 0;
    if (!stamp || !stamp_from_python(stamp.get(), &stamp_ns)) {
      return Raised{};
    }
    OwnedRef frame_id = get_attr(header.get(), Attr::frame_id);
    std::string_view frame;
    if (!frame_id || !to_str(frame_id.get(), &frame)) {
      return Raised{};
    }
    OwnedRef queued = OwnedRef::borrow(message);
    Drops drops;
    {
      auto fields = fields_of(self).lock();
      if (!fields) {
        return Raised{};
      }
      drops = fields.all_or_nothing([&] {
        return fields->filter.add(std::move(queued), frame, frames::time::Timestamp(stamp_ns));
      });
    }
    return dispatch_after(self, std::move(drops));
  });
}

constexpr const char* CALLBACK_PARAMS[] = {"callback"};

PyObject* register_into(PyObject* self, const char* fn, std::vector<OwnedRef> FilterFields::*list,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* callback = nullptr;
  if (!parse_args(fn, args, nargs, kwnames, CALLBACK_PARAMS, 1, &callback)) {
    return Raised{};
  }
  if (PyCallable_Check(callback) == 0) {
    return raise(Invalid::CallbackNotCallable);
  }
  OwnedRef registered = OwnedRef::borrow(callback);
  auto fields = fields_of(self).lock();
  if (!fields) {
    return Raised{};
  }
  fields.all_or_nothing([&] { ((*fields).*list).push_back(std::move(registered)); });
  fields.unlock();
  return new_none();
}

PyObject* register_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    return register_into(self, "register_callback", &FilterFields::callbacks, args, nargs,
                         kwnames);
  });
}

PyObject* register_failure_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    return register_into(self, "register_failure_callback", &FilterFields::failure_callbacks,
                         args, nargs, kwnames);
  });
}

// Replaces the targets all at once; a refusal leaves the old ones and dispatches nothing.
template <class Names>
PyObject* retarget(PyObject* self, const Names& names) {
  std::optional<quilm_tf::TransformBufferError> refused;
  {
    auto fields = fields_of(self).lock();
    if (!fields) {
      return Raised{};
    }
    auto done = fields.all_or_nothing([&] { return fields->filter.set_target_frames(names); });
    if (!done) {
      refused.emplace(std::move(done).error());
    }
  }
  if (refused) {
    return raise(*refused);
  }
  return dispatch_after(self);
}

constexpr const char* TARGET_FRAME_PARAMS[] = {"target_frame"};

PyObject* set_target_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* value = nullptr;
    std::string_view target_frame;
    if (!parse_args("set_target_frame", args, nargs, kwnames, TARGET_FRAME_PARAMS, 1, &value) ||
        !convert_arg(to_str, value, "target_frame", &target_frame)) {
      return Raised{};
    }
    return retarget(self, std::array{target_frame});
  });
}

constexpr const char* TARGET_FRAMES_PARAMS[] = {"target_frames"};

PyObject* set_target_frames(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* value = nullptr;
    std::vector<std::string> target_frames;
    if (!parse_args("set_target_frames", args, nargs, kwnames, TARGET_FRAMES_PARAMS, 1,
                    &value) ||
        !convert_arg(to_str_vector, value, "target_frames", &target_frames)) {
      return Raised{};
    }
    return retarget(self, target_frames);
  });
}

constexpr const char* TOLERANCE_PARAMS[] = {"tolerance_ns"};

PyObject* set_tolerance_ns(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* value = nullptr;
    u128 tolerance_ns = 0;
    if (!parse_args("set_tolerance_ns", args, nargs, kwnames, TOLERANCE_PARAMS, 1, &value) ||
        !convert_arg(to_u128, value, "tolerance_ns", &tolerance_ns)) {
      return Raised{};
    }
    if (tolerance_ns >= ROS_TIME_LIMIT_NS) {
      return raise(Invalid::StampRange);
    }
    {
      auto fields = fields_of(self).lock();
      if (!fields) {
        return Raised{};
      }
      fields->filter.set_tolerance_ns(tolerance_ns);
    }
    return dispatch_after(self);
  });
}

constexpr const char* QUEUE_SIZE_PARAMS[] = {"queue_size"};

PyObject* set_queue_size(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* value = nullptr;
    std::size_t queue_size = 0;
    if (!parse_args("set_queue_size", args, nargs, kwnames, QUEUE_SIZE_PARAMS, 1, &value) ||
        !convert_arg(to_usize, value, "queue_size", &queue_size)) {
      return Raised{};
    }
    Drops evicted;
    {
      auto fields = fields_of(self).lock();
      if (!fields) {
        return Raised{};
      }
      evicted = fields.all_or_nothing([&] {
        const std::size_t previous = fields->filter.queue_size();
        fields->filter.set_queue_size(queue_size);
        try {
          return fields->filter.enforce_queue_size();
        } catch (const std::bad_alloc&) {
          fields->filter.set_queue_size(previous);
          throw;
        }
      });
    }
    return dispatch_after(self, std::move(evicted));
  });
}

PyObject* clear(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    std::vector<OwnedRef> discarded;  // released after the unlock, unreported
    {
      auto fields = fields_of(self).lock();
      if (!fields) {
        return Raised{};
      }
      discarded = fields.all_or_nothing([&] { return fields->filter.take_all(); });
    }
    release_all(discarded);
    return new_none();
  });
}

PyObject* dispatch_now(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* { return dispatch_after(self); });
}

// Properties: each copies its value under the mutex and builds the Python object after.

template <class Read>
auto read_fields(PyObject* self, Read&& read) -> std::optional<decltype(read(
    std::declval<const quilm_tf::MessageFilter<OwnedRef>&>()))> {
  auto fields = fields_of(self).lock();
  if (!fields) {
    return std::nullopt;
  }
  return fields.all_or_nothing([&] { return read(std::as_const(fields->filter)); });
}

PyObject* get_pending_count(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    auto count = read_fields(self, [](const auto& filter) { return filter.pending_count(); });
    return count ? PyLong_FromSize_t(*count) : Raised{};
  });
}

PyObject* get_queue_size(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    auto size = read_fields(self, [](const auto& filter) { return filter.queue_size(); });
    return size ? PyLong_FromSize_t(*size) : Raised{};
  });
}

PyObject* get_tolerance_ns(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    auto tolerance = read_fields(self, [](const auto& filter) { return filter.tolerance_ns(); });
    return tolerance ? u128_to_python(*tolerance) : Raised{};
  });
}

PyObject* get_target_frames(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    auto names = read_fields(self, [](const auto& filter) { return filter.target_frames(); });
    if (!names) {
      return Raised{};
    }
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(names->size())));
    if (!list) {
      return Raised{};
    }
    for (std::size_t i = 0; i < names->size(); ++i) {
      const std::string& name = (*names)[i];
      PyObject* item =
          PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
      // PyList_SetItem steals even when it fails.
      if (item == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) {
        return Raised{};
      }
    }
    return list.release();
  });
}

PyMethodDef filter_methods[] = {
    {"add", as_cfunction(add), METH_FASTCALL | METH_KEYWORDS, "add($self, message)\n--\n\n"},
    {"register_callback", as_cfunction(register_callback), METH_FASTCALL | METH_KEYWORDS,
     "register_callback($self, callback)\n--\n\n"},
    {"register_failure_callback", as_cfunction(register_failure_callback),
     METH_FASTCALL | METH_KEYWORDS, "register_failure_callback($self, callback)\n--\n\n"},
    {"set_target_frame", as_cfunction(set_target_frame), METH_FASTCALL | METH_KEYWORDS,
     "set_target_frame($self, target_frame)\n--\n\n"},
    {"set_target_frames", as_cfunction(set_target_frames), METH_FASTCALL | METH_KEYWORDS,
     "set_target_frames($self, target_frames)\n--\n\n"},
    {"set_tolerance_ns", as_cfunction(set_tolerance_ns), METH_FASTCALL | METH_KEYWORDS,
     "set_tolerance_ns($self, tolerance_ns)\n--\n\n"},
    {"set_queue_size", as_cfunction(set_queue_size), METH_FASTCALL | METH_KEYWORDS,
     "set_queue_size($self, queue_size)\n--\n\n"},
    {"clear", as_cfunction(clear), METH_NOARGS, "clear($self)\n--\n\n"},
    {"dispatch", as_cfunction(dispatch_now), METH_NOARGS, "dispatch($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef filter_properties[] = {
    {"pending_count", get_pending_count, nullptr, nullptr, nullptr},
    {"queue_size", get_queue_size, nullptr, nullptr, nullptr},
    {"tolerance_ns", get_tolerance_ns, nullptr, nullptr, nullptr},
    {"target_frames", get_target_frames, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot filter_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "MessageFilter(buffer, target_frame, queue_size, callback=None, "
                    "tolerance_ns=0)\n--\n\n"
                    "Queues stamped Python messages until quilm-tf can transform them.")},
    {Py_tp_new, reinterpret_cast<void*>(filter_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(filter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(filter_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(filter_dealloc)},
    {Py_tp_methods, filter_methods},
    {Py_tp_getset, filter_properties},
    {0, nullptr},
};

PyType_Spec filter_spec = {
    .name = "quilm_tf._native.MessageFilter",
    .basicsize = sizeof(MessageFilterObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = filter_slots,
};

// The interpreter enters a type's methods before its properties; entering dispatch again
// puts it after them, so the class lists its members in their documented order.
bool move_dispatch_last(PyObject* type) {
  OwnedRef name = OwnedRef::steal(PyUnicode_InternFromString("dispatch"));
  if (!name) {
    return false;
  }
  OwnedRef descriptor = OwnedRef::steal(PyObject_GetAttr(type, name.get()));
  return descriptor && PyObject_DelAttr(type, name.get()) == 0 &&
         PyObject_SetAttr(type, name.get(), descriptor.get()) == 0;
}

// Process-wide, never released.
PyObject* filter_type = nullptr;

}  // namespace

PyObject* message_filter_type() {
  if (filter_type != nullptr) {
    return filter_type;
  }
  OwnedRef created = OwnedRef::steal(PyType_FromSpec(&filter_spec));
  if (created && !move_dispatch_last(created.get())) {
    return nullptr;
  }
  return publish_once(filter_type, std::move(created));
}

}  // namespace quilm_tf_py
