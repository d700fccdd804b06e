// def _transform_cloud(buffer, source_frame, target_frame, stamp_ns, fields, height, width,
//                      point_step, row_step, is_bigendian, data, out) -> None:
//     m = buffer.lookup(source_frame, target_frame, stamp_ns)
//     out[:] = data, with each point's x, y, z moved by m
//
// def _deskew_cloud(buffer, source_frame, target_frame, fixed_frame, stamp_ns, fields, height,
//                   width, point_step, row_step, is_bigendian, data, out, time_field,
//                   absolute, resolution_ns) -> None:
//     out[:] = data, with point i moved by lookup_across_time(buffer, source_frame, t[i],
//              target_frame, stamp_ns, fixed_frame), t[i] its time in nanoseconds
//
// `fields` is a list of (name, offset, datatype, count) tuples; `data` any contiguous
// buffer, `out` a writable one of the same length, which the caller allocates. The GIL is
// released for the passes over the points.

#include "quilm_tf_py/clouds.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "quilm_tf/across_time.hpp"
#include "quilm_tf/cloud.hpp"
#include "quilm_tf_py/args.hpp"
#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/functions.hpp"
#include "quilm_tf_py/gil.hpp"
#include "quilm_tf_py/locks.hpp"
#include "quilm_tf_py/ros.hpp"
#include "quilm_tf_py/transform_buffer.hpp"
#include "quilm_tf_py/view.hpp"

namespace quilm_tf_py {
namespace {

bool to_u64(PyObject* object, std::uint64_t* out) {
  std::size_t value = 0;
  if (!to_usize(object, &value)) {
    return false;
  }
  *out = value;
  return true;
}

// One (name, offset, datatype, count) tuple; the name views the str, which the list keeps.
bool to_field(PyObject* item, quilm_tf::FieldSpec* out) {
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 4) {
    return raise_not_convertible(item, "(name, offset, datatype, count)"), false;
  }
  return to_str(PyTuple_GetItem(item, 0), &out->name) &&
         to_u64(PyTuple_GetItem(item, 1), &out->offset) &&
         to_u64(PyTuple_GetItem(item, 2), &out->datatype) &&
         to_u64(PyTuple_GetItem(item, 3), &out->count);
}

bool to_fields(PyObject* object, std::vector<quilm_tf::FieldSpec>* out) {
  if (!PyList_Check(object)) {
    return raise_not_convertible(object, "list"), false;
  }
  const Py_ssize_t n = PyList_Size(object);
  out->resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!to_field(PyList_GetItem(object, i), &(*out)[static_cast<std::size_t>(i)])) {
      add_index_note("fields", i);
      return false;
    }
  }
  return true;
}

// The arguments both functions share, from `first` on: the header stamp, the layout, the
// data and the output, checked and decoded.
struct CloudArgs {
  u128 stamp_ns = 0;
  std::vector<quilm_tf::FieldSpec> fields;
  quilm_tf::CloudSpec spec;
  View data_view;
  View out_view;
  quilm_tf::CloudLayout layout;

  const char* data() const noexcept { return static_cast<const char*>((*data_view).buf); }
  char* out() const noexcept { return static_cast<char*>((*out_view).buf); }

  bool bind(PyObject* const* values) {
    if (!convert_arg(to_u128, values[0], "stamp_ns", &stamp_ns) ||
        !convert_arg(to_fields, values[1], "fields", &fields) ||
        !convert_arg(to_u64, values[2], "height", &spec.height) ||
        !convert_arg(to_u64, values[3], "width", &spec.width) ||
        !convert_arg(to_u64, values[4], "point_step", &spec.point_step) ||
        !convert_arg(to_u64, values[5], "row_step", &spec.row_step) ||
        !convert_arg(to_bool, values[6], "is_bigendian", &spec.big_endian) ||
        !data_view.acquire(values[7], PyBUF_SIMPLE) ||
        !out_view.acquire(values[8], PyBUF_SIMPLE | PyBUF_WRITABLE)) {
      return false;
    }
    if (stamp_ns >= ROS_TIME_LIMIT_NS) {
      return raise(Invalid::StampRange), false;
    }
    const Py_buffer& in = *data_view;
    const Py_buffer& to = *out_view;
    if (to.len != in.len) {
      return raise_array_shape("out", "(len(data),)", to), false;
    }
    const char* in_begin = data();
    const char* out_begin = out();
    if (in.len > 0 && in_begin < out_begin + to.len && out_begin < in_begin + in.len) {
      return raise_array_shape("out", "(len(data),) apart from data", to), false;
    }
    spec.data_size = static_cast<std::size_t>(in.len);
    spec.fields = fields;
    auto decoded = quilm_tf::decode_cloud(spec);
    if (!decoded) {
      return raise(decoded.error()), false;
    }
    layout = *decoded;
    return true;
  }
};

constexpr const char* TRANSFORM_PARAMS[] = {
    "buffer", "source_frame", "target_frame", "stamp_ns", "fields", "height", "width",
    "point_step", "row_step", "is_bigendian", "data", "out"};

PyObject* transform_cloud(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[12];
    TransformBufferObject* buffer = nullptr;
    std::string_view source;
    std::string_view target;
    CloudArgs cloud;
    if (!parse_args("_transform_cloud", args, nargs, kwnames, TRANSFORM_PARAMS, 12, values) ||
        !convert_arg(to_transform_buffer, values[0], "buffer", &buffer) ||
        !convert_arg(to_str, values[1], "source_frame", &source) ||
        !convert_arg(to_str, values[2], "target_frame", &target) || !cloud.bind(values + 3)) {
      return Raised{};
    }
    using Found = frames::Result<quilm_tf::Isometry, quilm_tf::TransformBufferError>;
    const std::optional<Found> found = without_gil([&]() -> std::optional<Found> {
      std::optional<Found> result;
      {
        auto service = buffer->state.service.read_or_empty();
        if (!service) {
          return result;
        }
        result.emplace(service->lookup_ns(source, target, cloud.stamp_ns));
      }
      if (*result) {
        quilm_tf::transform_cloud(quilm_tf::isometry_to_matrix4(**result), cloud.layout,
                                  cloud.data(), cloud.out());
      }
      return result;
    });
    if (!found) {
      return raise_internal(BUFFER_LOCK_POISONED);
    }
    if (!*found) {
      return raise(found->error());
    }
    Py_RETURN_NONE;
  });
}

constexpr const char* DESKEW_PARAMS[] = {
    "buffer", "source_frame", "target_frame", "fixed_frame", "stamp_ns", "fields", "height",
    "width", "point_step", "row_step", "is_bigendian", "data", "out", "time_field",
    "absolute", "resolution_ns"};

// What the pass without the GIL hands back.
struct DeskewOutcome {
  bool poisoned = false;
  std::optional<quilm_tf::CloudError> bad_time;
  std::optional<quilm_tf::DeskewFailure> failure;
};

PyObject* deskew_cloud(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[16];
    TransformBufferObject* buffer = nullptr;
    std::string_view source;
    std::string_view target;
    std::string_view fixed;
    CloudArgs cloud;
    std::string_view time_name;
    bool absolute = false;
    std::uint64_t resolution_ns = 0;
    if (!parse_args("_deskew_cloud", args, nargs, kwnames, DESKEW_PARAMS, 16, values) ||
        !convert_arg(to_transform_buffer, values[0], "buffer", &buffer) ||
        !convert_arg(to_str, values[1], "source_frame", &source) ||
        !convert_arg(to_str, values[2], "target_frame", &target) ||
        !convert_arg(to_str, values[3], "fixed_frame", &fixed) || !cloud.bind(values + 4) ||
        !convert_arg(to_str, values[13], "time_field", &time_name) ||
        !convert_arg(to_bool, values[14], "absolute", &absolute) ||
        !convert_arg(to_u64, values[15], "resolution_ns", &resolution_ns)) {
      return Raised{};
    }
    auto time_field = quilm_tf::decode_time_field(cloud.spec, time_name);
    if (!time_field) {
      return raise(time_field.error());
    }
    const DeskewOutcome outcome = without_gil([&] {
      DeskewOutcome result;
      auto times = quilm_tf::point_times_ns(
          cloud.layout, *time_field, cloud.data(), cloud.stamp_ns,
          absolute ? quilm_tf::TimeBase::Absolute : quilm_tf::TimeBase::Relative, resolution_ns);
      if (!times) {
        result.bad_time.emplace(std::move(times).error());
        return result;
      }
      auto service = buffer->state.service.read_or_empty();
      if (!service) {
        result.poisoned = true;
        return result;
      }
      quilm_tf::AcrossTime across(*service, source, target, fixed, cloud.stamp_ns);
      auto done = quilm_tf::deskew_cloud(across, cloud.layout, *times, resolution_ns,
                                         ROS_TIME_LIMIT_NS, cloud.data(), cloud.out());
      if (!done) {
        result.failure.emplace(std::move(done).error());
      }
      return result;
    });
    if (outcome.poisoned) {
      return raise_internal(BUFFER_LOCK_POISONED);
    }
    if (outcome.bad_time) {
      return raise(*outcome.bad_time);
    }
    if (outcome.failure) {
      const quilm_tf::DeskewFailure& failure = *outcome.failure;
      if (failure.error) {
        raise(*failure.error);
      } else if (failure.stamp_ns < 0) {
        raise_negative_unsigned();
      } else {
        raise(Invalid::StampRange);
      }
      add_index_note("points", static_cast<Py_ssize_t>(failure.index));
      return Raised{};
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef cloud_functions[] = {
    {"_transform_cloud", as_cfunction(transform_cloud), METH_FASTCALL | METH_KEYWORDS,
     "_transform_cloud(buffer, source_frame, target_frame, stamp_ns, fields, height, width, "
     "point_step, row_step, is_bigendian, data, out)\n--\n\n"},
    {"_deskew_cloud", as_cfunction(deskew_cloud), METH_FASTCALL | METH_KEYWORDS,
     "_deskew_cloud(buffer, source_frame, target_frame, fixed_frame, stamp_ns, fields, "
     "height, width, point_step, row_step, is_bigendian, data, out, time_field, absolute, "
     "resolution_ns)\n--\n\n"},
};

}  // namespace

int add_cloud_functions(PyObject* module) noexcept {
  return add_functions(module, cloud_functions);
}

}  // namespace quilm_tf_py
