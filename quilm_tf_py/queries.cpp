// def _latest_common_time(buffer, frame_a, frame_b) -> int: ...
//     # the newest stamp every dynamic link between the frames covers; 0 if all are static
// def _lookup_latest(buffer, from_frame, to_frame) -> tuple[list[list[float]], int]: ...
//     # lookup at _latest_common_time, both under one read lock
// def _frames(buffer) -> list[tuple[str, str, bool, int, int, int]]: ...
//     # (name, parent, is_static, samples, oldest_ns, newest_ns) per child frame, by name
// def _lookup_across_time(buffer, from_frame, from_stamp_ns, to_frame, to_stamp_ns,
//                         fixed_frame) -> list[list[float]]: ...
//     # lookup(fixed_frame, to_frame, to_stamp_ns) @ lookup(from_frame, fixed_frame,
//     # from_stamp_ns), both under one read lock, the GIL released
// def _escape_name(name: str | bytes) -> str: ...
//     # a name as every message writes it; bytes that are not UTF-8 show as \u{hex}

#include "quilm_tf_py/queries.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quilm_tf/across_time.hpp"
#include "frames/escape.hpp"
#include "quilm_tf/buffer.hpp"
#include "quilm_tf_py/args.hpp"
#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/functions.hpp"
#include "quilm_tf_py/gil.hpp"
#include "quilm_tf_py/locks.hpp"
#include "quilm_tf_py/owned_ref.hpp"
#include "quilm_tf_py/ros.hpp"
#include "quilm_tf_py/transform_buffer.hpp"

namespace quilm_tf_py {
namespace {

constexpr const char* LATEST_PARAMS[] = {"buffer", "frame_a", "frame_b"};

PyObject* latest_common_time(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[3];
    TransformBufferObject* buffer = nullptr;
    std::string_view frame_a;
    std::string_view frame_b;
    if (!parse_args("_latest_common_time", args, nargs, kwnames, LATEST_PARAMS, 3, values) ||
        !convert_arg(to_transform_buffer, values[0], "buffer", &buffer) ||
        !convert_arg(to_str, values[1], "frame_a", &frame_a) ||
        !convert_arg(to_str, values[2], "frame_b", &frame_b)) {
      return Raised{};
    }
    auto service = buffer->state.service.read();
    if (!service) {
      return Raised{};
    }
    auto latest = service->latest_common_time_ns(frame_a, frame_b);
    service.unlock();
    if (!latest) {
      return raise(latest.error());
    }
    return u128_to_python(*latest);
  });
}

constexpr const char* LOOKUP_LATEST_PARAMS[] = {"buffer", "from_frame", "to_frame"};

PyObject* lookup_latest(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[3];
    TransformBufferObject* buffer = nullptr;
    std::string_view from_frame;
    std::string_view to_frame;
    if (!parse_args("_lookup_latest", args, nargs, kwnames, LOOKUP_LATEST_PARAMS, 3, values) ||
        !convert_arg(to_transform_buffer, values[0], "buffer", &buffer) ||
        !convert_arg(to_str, values[1], "from_frame", &from_frame) ||
        !convert_arg(to_str, values[2], "to_frame", &to_frame)) {
      return Raised{};
    }
    // One read lock for both: an insert in between could expire the stamp just found.
    auto service = buffer->state.service.read();
    if (!service) {
      return Raised{};
    }
    auto latest = service->latest_common_time_ns(from_frame, to_frame);
    if (!latest) {
      service.unlock();
      return raise(latest.error());
    }
    auto found = service->lookup_ns(from_frame, to_frame, *latest);
    service.unlock();
    if (!found) {
      return raise(found.error());
    }
    OwnedRef matrix = OwnedRef::steal(matrix_to_python(quilm_tf::isometry_to_matrix4(*found)));
    OwnedRef stamp = OwnedRef::steal(u128_to_python(*latest));
    if (!matrix || !stamp) {
      return nullptr;
    }
    return PyTuple_Pack(2, matrix.get(), stamp.get());
  });
}

constexpr const char* ACROSS_PARAMS[] = {"buffer",      "from_frame",  "from_stamp_ns",
                                         "to_frame",    "to_stamp_ns", "fixed_frame"};

PyObject* lookup_across_time(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[6];
    TransformBufferObject* buffer = nullptr;
    std::string_view from_frame;
    std::string_view to_frame;
    std::string_view fixed_frame;
    u128 from_stamp_ns = 0;
    u128 to_stamp_ns = 0;
    if (!parse_args("_lookup_across_time", args, nargs, kwnames, ACROSS_PARAMS, 6, values) ||
        !convert_arg(to_transform_buffer, values[0], "buffer", &buffer) ||
        !convert_arg(to_str, values[1], "from_frame", &from_frame) ||
        !convert_arg(to_u128, values[2], "from_stamp_ns", &from_stamp_ns) ||
        !convert_arg(to_str, values[3], "to_frame", &to_frame) ||
        !convert_arg(to_u128, values[4], "to_stamp_ns", &to_stamp_ns) ||
        !convert_arg(to_str, values[5], "fixed_frame", &fixed_frame)) {
      return Raised{};
    }
    if (from_stamp_ns >= ROS_TIME_LIMIT_NS || to_stamp_ns >= ROS_TIME_LIMIT_NS) {
      return raise(Invalid::StampRange);
    }
    // Both lookups under one read lock: an insert between them could pair two states of
    // the buffer.
    using Found = frames::Result<quilm_tf::Matrix4, quilm_tf::TransformBufferError>;
    const std::optional<Found> found = without_gil([&]() -> std::optional<Found> {
      std::optional<Found> result;
      auto service = buffer->state.service.read_or_empty();
      if (service) {
        quilm_tf::AcrossTime across(*service, from_frame, to_frame, fixed_frame, to_stamp_ns);
        result.emplace(across.matrix_at_ns(from_stamp_ns));
      }
      return result;
    });
    if (!found) {
      return raise_internal(BUFFER_LOCK_POISONED);
    }
    if (!*found) {
      return raise(found->error());
    }
    return matrix_to_python(**found);
  });
}

// A new str from a frame name: names come from str arguments, so they are valid UTF-8.
PyObject* new_str(const std::string& text) noexcept {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* frame_row(const quilm_tf::FrameSummary& frame) noexcept {
  OwnedRef row = OwnedRef::steal(PyTuple_New(6));
  if (!row) {
    return nullptr;
  }
  PyObject* items[6] = {new_str(frame.name),
                        new_str(frame.parent),
                        PyBool_FromLong(frame.is_static ? 1 : 0),
                        PyLong_FromSize_t(frame.samples),
                        u128_to_python(frame.oldest_ns),
                        u128_to_python(frame.newest_ns)};
  bool complete = true;
  for (Py_ssize_t i = 0; i < 6; ++i) {
    // PyTuple_SetItem steals even when it fails; a null item is dropped with the tuple.
    if (items[i] == nullptr || PyTuple_SetItem(row.get(), i, items[i]) < 0) {
      complete = false;
    }
  }
  return complete ? row.release() : nullptr;
}

constexpr const char* FRAMES_PARAMS[] = {"buffer"};

PyObject* frames(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[1];
    TransformBufferObject* buffer = nullptr;
    if (!parse_args("_frames", args, nargs, kwnames, FRAMES_PARAMS, 1, values) ||
        !convert_arg(to_transform_buffer, values[0], "buffer", &buffer)) {
      return Raised{};
    }
    // Copied under the lock, turned into Python objects after it.
    std::vector<quilm_tf::FrameSummary> summaries;
    {
      auto service = buffer->state.service.read();
      if (!service) {
        return Raised{};
      }
      summaries = service->frames();
    }
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(summaries.size())));
    if (!list) {
      return nullptr;
    }
    for (std::size_t i = 0; i < summaries.size(); ++i) {
      PyObject* row = frame_row(summaries[i]);
      if (row == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row) < 0) {
        return nullptr;
      }
    }
    return list.release();
  });
}

constexpr const char* ESCAPE_PARAMS[] = {"name"};

PyObject* escape_name(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[1];
    if (!parse_args("_escape_name", args, nargs, kwnames, ESCAPE_PARAMS, 1, values)) {
      return Raised{};
    }
    std::string_view name;
    if (PyBytes_Check(values[0])) {
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(values[0], &data, &size) < 0) {
        return Raised{};
      }
      name = std::string_view(data, static_cast<std::size_t>(size));
    } else if (!convert_arg(to_str, values[0], "name", &name)) {
      return Raised{};
    }
    std::string escaped;
    frames::append_escaped(escaped, name);
    return new_str(escaped);
  });
}

PyMethodDef query_defs[] = {
    {"_latest_common_time", as_cfunction(latest_common_time), METH_FASTCALL | METH_KEYWORDS,
     "_latest_common_time(buffer, frame_a, frame_b)\n--\n\n"},
    {"_lookup_latest", as_cfunction(lookup_latest), METH_FASTCALL | METH_KEYWORDS,
     "_lookup_latest(buffer, from_frame, to_frame)\n--\n\n"},
    {"_frames", as_cfunction(frames), METH_FASTCALL | METH_KEYWORDS, "_frames(buffer)\n--\n\n"},
    {"_lookup_across_time", as_cfunction(lookup_across_time), METH_FASTCALL | METH_KEYWORDS,
     "_lookup_across_time(buffer, from_frame, from_stamp_ns, to_frame, to_stamp_ns, "
     "fixed_frame)\n--\n\n"},
    {"_escape_name", as_cfunction(escape_name), METH_FASTCALL | METH_KEYWORDS,
     "_escape_name(name)\n--\n\n"},
};

}  // namespace

int add_query_functions(PyObject* module) noexcept {
  return add_functions(module, query_defs);
}

}  // namespace quilm_tf_py
