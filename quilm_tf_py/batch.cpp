// def _lookup_many(buffer, from_frame, to_frame, stamps_ns, out) -> None:
//     for i, stamp in enumerate(stamps_ns):    # the first failure raises, noted with its index
//         out[i] = buffer.lookup(from_frame, to_frame, stamp)
//
// def _can_transform_many(buffer, from_frame, to_frame, stamps_ns, out) -> None:
//     for i, stamp in enumerate(stamps_ns):
//         out[i] = stamp >= 0 and buffer.can_transform(from_frame, to_frame, stamp)
//
// def _transform_points(buffer, from_frame, to_frame, stamp_ns, points, out) -> None:
//     for i, (x, y, z) in enumerate(points):   # stamp_ns: an int, or an array of one per point
//         m = buffer.lookup(from_frame, to_frame, stamp_ns if is_int else stamp_ns[i])
//         out[i] = [((m[r][0] * x + m[r][1] * y) + m[r][2] * z) + m[r][3] for r in range(3)]
//
// Arrays come through the buffer protocol, in native byte order with any strides: stamps
// 1-D of integers of any width, points (N, 3) of float32 or float64, out float64 of shape
// (N, 4, 4) or (N, 3), or bool of shape (N,). The caller allocates out. A call takes the
// shared lock once and makes no Python object per element; a failing stamp is raised as
// lookup raises it, after the lock is released, with a note naming its index.

#include "quilm_tf_py/batch.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "frames/result.hpp"
#include "quilm_tf/matrix.hpp"
#include "quilm_tf/points.hpp"
#include "quilm_tf/stamp_order.hpp"
#include "quilm_tf_py/args.hpp"
#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/functions.hpp"
#include "quilm_tf_py/gil.hpp"
#include "quilm_tf_py/locks.hpp"
#include "quilm_tf_py/owned_ref.hpp"
#include "quilm_tf_py/ros.hpp"
#include "quilm_tf_py/transform_buffer.hpp"
#include "quilm_tf_py/view.hpp"

namespace quilm_tf_py {
namespace {

using quilm_tf::Matrix4;

enum class Kind : std::uint8_t { Signed, Unsigned, Float, Bool, Other };

// The element kind of a one-item format in native byte order ("l", "<d", "=Q"). Its width
// is the view's itemsize, which is right whichever size mode the prefix selects.
Kind element_kind(const Py_buffer& view) noexcept {
  std::string_view format = view.format == nullptr ? "B" : view.format;
  constexpr char native_order = std::endian::native == std::endian::little ? '<' : '>';
  if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == native_order)) {
    format.remove_prefix(1);
  }
  if (format.size() != 1) {
    return Kind::Other;
  }
  switch (format[0]) {
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      return Kind::Signed;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      return Kind::Unsigned;
    case 'f': case 'd':
      return Kind::Float;
    case '?':
      return Kind::Bool;
    default:
      return Kind::Other;
  }
}

bool has_shape(const Py_buffer& view, std::initializer_list<Py_ssize_t> shape) noexcept {
  if (view.ndim != static_cast<int>(shape.size())) {
    return false;
  }
  int d = 0;
  for (const Py_ssize_t extent : shape) {
    if (view.shape[d++] != extent) {
      return false;
    }
  }
  return true;
}

// Reads and writes through memcpy: a strided view need not be aligned.
template <class T>
T load(const char* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

void store(char* at, double value) noexcept { std::memcpy(at, &value, sizeof value); }

// A stamp as lookup's conversion sees it: a negative one cannot be converted at all.
struct Stamp {
  u128 ns = 0;
  bool negative = false;
  friend bool operator==(const Stamp&, const Stamp&) = default;
};

// A 1-D array of integers of any width and stride.
class StampArray {
 public:
  // TypeError or ValueError naming `name` unless `view` is a 1-D array of integers.
  bool bind(const Py_buffer& view, const char* name) noexcept {
    const Kind kind = element_kind(view);
    const Py_ssize_t size = view.itemsize;
    if ((kind != Kind::Signed && kind != Kind::Unsigned) ||
        (size != 1 && size != 2 && size != 4 && size != 8)) {
      raise_array_format(name, "integers", view);
      return false;
    }
    if (view.ndim != 1) {
      raise_array_shape(name, "(N,)", view);
      return false;
    }
    data_ = static_cast<const char*>(view.buf);
    stride_ = view.strides[0];
    size_ = view.shape[0];
    itemsize_ = size;
    signed_ = kind == Kind::Signed;
    return true;
  }

  Py_ssize_t size() const noexcept { return size_; }

  Stamp operator[](Py_ssize_t index) const noexcept {
    const char* at = data_ + index * stride_;
    if (signed_) {
      std::int64_t value = 0;
      switch (itemsize_) {
        case 1: value = load<std::int8_t>(at); break;
        case 2: value = load<std::int16_t>(at); break;
        case 4: value = load<std::int32_t>(at); break;
        default: value = load<std::int64_t>(at); break;
      }
      return value < 0 ? Stamp{0, true} : Stamp{static_cast<u128>(value), false};
    }
    std::uint64_t value = 0;
    switch (itemsize_) {
      case 1: value = load<std::uint8_t>(at); break;
      case 2: value = load<std::uint16_t>(at); break;
      case 4: value = load<std::uint32_t>(at); break;
      default: value = load<std::uint64_t>(at); break;
    }
    return Stamp{value, false};
  }

 private:
  const char* data_ = nullptr;
  Py_ssize_t stride_ = 0;
  Py_ssize_t size_ = 0;
  Py_ssize_t itemsize_ = 8;
  bool signed_ = true;
};

// Why the stamp at `index` could not be looked up, kept until the lock is released.
struct StampFailure {
  Py_ssize_t index = 0;
  bool negative = false;
  std::optional<quilm_tf::TransformBufferError> error;  // empty: negative or out of range
};

struct Frames {
  std::string_view from;
  std::string_view to;
};

// lookup's checks for one stamp, in its order: conversion, the ROS time range, the service.
frames::Result<Matrix4, StampFailure> lookup_stamp(quilm_tf::BatchLookup& lookups, Stamp stamp,
                                                   Py_ssize_t index) {
  if (stamp.negative || stamp.ns >= ROS_TIME_LIMIT_NS) {
    return frames::Unexpected{StampFailure{index, stamp.negative, std::nullopt}};
  }
  auto found = lookups.lookup_ns(stamp.ns);
  if (!found) {
    return frames::Unexpected{StampFailure{index, false, std::move(found).error()}};
  }
  return quilm_tf::isometry_to_matrix4(*found);
}

// The exception lookup raises for the failed stamp, noted with its index in `name`.
Raised raise_stamp_failure(const StampFailure& failure, const char* name) {
  if (failure.error) {
    raise(*failure.error);
  } else if (failure.negative) {
    raise_negative_unsigned();
  } else {
    raise(Invalid::StampRange);
  }
  add_index_note(name, failure.index);
  return {};
}

// The arguments every function starts with.
struct Common {
  TransformBufferObject* buffer = nullptr;
  Frames frames;
};

template <std::size_t N>
bool parse_common(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  const char* const (&names)[N], PyObject* (&values)[N], Common* out) {
  return parse_args(fn, args, nargs, kwnames, names, N, values) &&
         convert_arg(to_transform_buffer, values[0], "buffer", &out->buffer) &&
         convert_arg(to_str, values[1], "from_frame", &out->frames.from) &&
         convert_arg(to_str, values[2], "to_frame", &out->frames.to);
}

// Binds a float64 or bool output array of exactly `shape`; the shape is the caller's
// promise of where writes may go, so anything else is refused.
bool bind_out(const Py_buffer& view, Kind kind, std::initializer_list<Py_ssize_t> shape,
              const char* expected_shape) noexcept {
  const Py_ssize_t itemsize = kind == Kind::Float ? 8 : 1;
  if (element_kind(view) != kind || view.itemsize != itemsize) {
    raise_array_format("out", kind == Kind::Float ? "float64" : "bool", view);
    return false;
  }
  if (!has_shape(view, shape)) {
    raise_array_shape("out", expected_shape, view);
    return false;
  }
  return true;
}

void store_matrix(const Py_buffer& out, Py_ssize_t index, const Matrix4& matrix) noexcept {
  char* at = static_cast<char*>(out.buf) + index * out.strides[0];
  if (out.strides[1] == 32 && out.strides[2] == 8) {
    std::memcpy(at, matrix.entries.data(), sizeof matrix.entries);
    return;
  }
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) {
      store(at + static_cast<Py_ssize_t>(r) * out.strides[1] +
                static_cast<Py_ssize_t>(c) * out.strides[2],
            matrix(r, c));
    }
  }
}

constexpr int READ_FLAGS = PyBUF_STRIDES | PyBUF_FORMAT;
constexpr int WRITE_FLAGS = READ_FLAGS | PyBUF_WRITABLE;

constexpr const char* MANY_PARAMS[] = {"buffer", "from_frame", "to_frame", "stamps_ns", "out"};

// The arguments of _lookup_many and _can_transform_many, converted and bound to their
// arrays; the views are released when it goes.
struct ManyArgs {
  PyObject* values[5];
  Common common;
  View stamps_view;
  View out_view;
  StampArray stamps;

  // `out` is float64 of shape (N, 4, 4) for matrices, bool of shape (N,) otherwise.
  bool bind(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
            Kind out_kind) {
    if (!parse_common(fn, args, nargs, kwnames, MANY_PARAMS, values, &common) ||
        !stamps_view.acquire(values[3], READ_FLAGS) || !stamps.bind(*stamps_view, "stamps_ns") ||
        !out_view.acquire(values[4], WRITE_FLAGS)) {
      return false;
    }
    return out_kind == Kind::Float
               ? bind_out(*out_view, Kind::Float, {stamps.size(), 4, 4}, "(N, 4, 4)")
               : bind_out(*out_view, Kind::Bool, {stamps.size()}, "(N,)");
  }
};

// What a loop run without the GIL hands back: done, a failing stamp, or a poisoned lock
// (whose fatal error is raised once the GIL is back).
struct LoopOutcome {
  bool poisoned = false;
  std::optional<StampFailure> failure;
};

Raised raise_outcome(const LoopOutcome& outcome, const char* name) {
  if (outcome.poisoned) {
    return raise_internal(BUFFER_LOCK_POISONED);
  }
  return raise_stamp_failure(*outcome.failure, name);
}

PyObject* lookup_many(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ManyArgs a;
    if (!a.bind("_lookup_many", args, nargs, kwnames, Kind::Float)) {
      return Raised{};
    }
    const StampArray& stamps = a.stamps;
    const Common& common = a.common;
    const Py_buffer& out = *a.out_view;
    const LoopOutcome outcome = without_gil([&] {
      LoopOutcome result;
      // Sorted before the lock is taken.
      std::vector<quilm_tf::StampIndex> order;
      order.reserve(static_cast<std::size_t>(stamps.size()));
      for (Py_ssize_t i = 0; i < stamps.size(); ++i) {
        const Stamp stamp = stamps[i];
        if (!stamp.negative && stamp.ns < ROS_TIME_LIMIT_NS) {
          order.push_back({static_cast<std::uint64_t>(stamp.ns), static_cast<std::size_t>(i)});
        }
      }
      quilm_tf::sort_stamps(order);
      std::vector<unsigned char> answered(static_cast<std::size_t>(stamps.size()), 0);
      auto service = common.buffer->state.service.read_or_empty();
      if (!service) {
        result.poisoned = true;
        return result;
      }
      quilm_tf::BatchLookup lookups(*service, common.frames.from, common.frames.to);
      for (const auto& [ns, i] : order) {
        if (const std::optional<quilm_tf::Isometry> found = lookups.sampled_ns(ns)) {
          store_matrix(out, static_cast<Py_ssize_t>(i), quilm_tf::isometry_to_matrix4(*found));
          answered[i] = 1;
        }
      }
      // The rest in the caller's order, each as lookup answers it: the first that fails
      // is the one lookups in order would have stopped at.
      for (Py_ssize_t i = 0; i < stamps.size(); ++i) {
        if (answered[static_cast<std::size_t>(i)] != 0) {
          continue;
        }
        auto matrix = lookup_stamp(lookups, stamps[i], i);
        if (!matrix) {
          result.failure.emplace(std::move(matrix).error());
          break;
        }
        store_matrix(out, i, *matrix);
      }
      return result;
    });
    if (outcome.poisoned || outcome.failure) {
      return raise_outcome(outcome, "stamps_ns");
    }
    Py_RETURN_NONE;
  });
}

PyObject* can_transform_many(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ManyArgs a;
    if (!a.bind("_can_transform_many", args, nargs, kwnames, Kind::Bool)) {
      return Raised{};
    }
    const StampArray& stamps = a.stamps;
    const Common& common = a.common;
    const Py_buffer& out = *a.out_view;
    const bool answered = without_gil([&] {
      auto service = common.buffer->state.service.read_or_empty();
      if (!service) {
        return false;
      }
      for (Py_ssize_t i = 0; i < stamps.size(); ++i) {
        const Stamp stamp = stamps[i];
        const bool found =
            !stamp.negative && stamp.ns < ROS_TIME_LIMIT_NS &&
            service->can_transform_ns(common.frames.from, common.frames.to, stamp.ns);
        static_cast<char*>(out.buf)[i * out.strides[0]] = found ? 1 : 0;
      }
      return true;
    });
    if (!answered) {
      return raise_internal(BUFFER_LOCK_POISONED);
    }
    Py_RETURN_NONE;
  });
}

// (N, 3) points as the kernel reads them: three coordinates a column stride apart.
quilm_tf::CoordinateLayout point_rows(const Py_buffer& view, bool float32) noexcept {
  const quilm_tf::Scalar type = float32 ? quilm_tf::Scalar::Float32 : quilm_tf::Scalar::Float64;
  return {{0, view.strides[1], 2 * view.strides[1]}, {type, type, type}, view.strides[0], false};
}

constexpr const char* POINTS_PARAMS[] = {"buffer", "from_frame", "to_frame", "stamp_ns",
                                         "points", "out"};

PyObject* transform_points(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values[6];
    Common common;
    View points_view;
    View out_view;
    if (!parse_common("_transform_points", args, nargs, kwnames, POINTS_PARAMS, values,
                      &common) ||
        !points_view.acquire(values[4], READ_FLAGS)) {
      return Raised{};
    }
    const Py_buffer& points = *points_view;
    if (element_kind(points) != Kind::Float || (points.itemsize != 4 && points.itemsize != 8)) {
      return raise_array_format("points", "float32 or float64", points);
    }
    if (points.ndim != 2 || points.shape[1] != 3) {
      return raise_array_shape("points", "(N, 3)", points);
    }
    const Py_ssize_t n = points.shape[0];
    if (!out_view.acquire(values[5], WRITE_FLAGS) ||
        !bind_out(*out_view, Kind::Float, {n, 3}, "(N, 3)")) {
      return Raised{};
    }
    const auto* in = static_cast<const char*>(points.buf);
    auto* out = static_cast<char*>((*out_view).buf);
    const quilm_tf::CoordinateLayout in_rows = point_rows(points, points.itemsize == 4);
    const quilm_tf::CoordinateLayout out_rows = point_rows(*out_view, false);
    const auto transform = [&](const Matrix4& m, Py_ssize_t begin, Py_ssize_t end) {
      quilm_tf::transform_records(m, in + begin * in_rows.stride, in_rows,
                                  out + begin * out_rows.stride, out_rows,
                                  static_cast<std::size_t>(end - begin));
    };

    // An object without a buffer, or a zero-dimensional one (a numpy integer scalar), is
    // one stamp, converted and looked up as lookup does; the transform runs unlocked.
    View stamps_view;
    const bool has_buffer = PyObject_CheckBuffer(values[3]) != 0;
    if (has_buffer && !stamps_view.acquire(values[3], READ_FLAGS)) {
      return Raised{};
    }
    if (!has_buffer || (*stamps_view).ndim == 0) {
      u128 stamp_ns = 0;
      if (!convert_arg(to_u128, values[3], "stamp_ns", &stamp_ns)) {
        return Raised{};
      }
      if (stamp_ns >= ROS_TIME_LIMIT_NS) {
        return raise(Invalid::StampRange);
      }
      using Found = frames::Result<quilm_tf::Isometry, quilm_tf::TransformBufferError>;
      const std::optional<Found> found = without_gil([&]() -> std::optional<Found> {
        std::optional<Found> result;
        {
          auto service = common.buffer->state.service.read_or_empty();
          if (!service) {
            return result;
          }
          result.emplace(service->lookup_ns(common.frames.from, common.frames.to, stamp_ns));
        }
        if (*result) {
          transform(quilm_tf::isometry_to_matrix4(**result), 0, n);
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
    }

    // One stamp per point: a run of equal stamps shares one lookup.
    StampArray stamps;
    if (!stamps.bind(*stamps_view, "stamp_ns")) {
      return Raised{};
    }
    if (stamps.size() != n) {
      return raise_array_shape("stamp_ns", "(N,) with N the number of points", *stamps_view);
    }
    const LoopOutcome outcome = without_gil([&] {
      LoopOutcome result;
      auto service = common.buffer->state.service.read_or_empty();
      if (!service) {
        result.poisoned = true;
        return result;
      }
      quilm_tf::BatchLookup lookups(*service, common.frames.from, common.frames.to);
      Py_ssize_t begin = 0;
      while (begin < n) {
        const Stamp stamp = stamps[begin];
        Py_ssize_t end = begin + 1;
        while (end < n && stamps[end] == stamp) {
          ++end;
        }
        auto matrix = lookup_stamp(lookups, stamp, begin);
        if (!matrix) {
          result.failure.emplace(std::move(matrix).error());
          break;
        }
        transform(*matrix, begin, end);
        begin = end;
      }
      return result;
    });
    if (outcome.poisoned || outcome.failure) {
      return raise_outcome(outcome, "stamp_ns");
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef batch_functions[] = {
    {"_lookup_many", as_cfunction(lookup_many), METH_FASTCALL | METH_KEYWORDS,
     "_lookup_many(buffer, from_frame, to_frame, stamps_ns, out)\n--\n\n"},
    {"_can_transform_many", as_cfunction(can_transform_many), METH_FASTCALL | METH_KEYWORDS,
     "_can_transform_many(buffer, from_frame, to_frame, stamps_ns, out)\n--\n\n"},
    {"_transform_points", as_cfunction(transform_points), METH_FASTCALL | METH_KEYWORDS,
     "_transform_points(buffer, from_frame, to_frame, stamp_ns, points, out)\n--\n\n"},
};

}  // namespace

int add_batch_functions(PyObject* module) noexcept {
  return add_functions(module, batch_functions);
}

}  // namespace quilm_tf_py
