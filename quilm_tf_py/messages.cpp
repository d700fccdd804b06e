#include "quilm_tf_py/messages.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quilm_tf/matrix.hpp"
#include "quilm_tf_py/args.hpp"
#include "quilm_tf_py/errors.hpp"

namespace quilm_tf_py {
namespace {

constexpr std::array<const char*, 14> ATTR_TEXTS = {
    "header",      "stamp",    "sec", "nanosec", "frame_id", "child_frame_id", "transform",
    "translation", "rotation", "x",   "y",       "z",        "w",              "transforms",
};

// Interned once per process and never released; interned names make the attribute
// lookups of every message hit the fast identity path of the interpreter's dictionaries.
std::array<PyObject*, ATTR_TEXTS.size()> attr_names{};
bool attr_names_ready = false;

PyObject* attr_name(Attr name) {
  if (!attr_names_ready) {
    std::array<PyObject*, ATTR_TEXTS.size()> created{};
    for (std::size_t i = 0; i < ATTR_TEXTS.size(); ++i) {
      created[i] = PyUnicode_InternFromString(ATTR_TEXTS[i]);
      if (created[i] == nullptr) {
        for (PyObject* done : created) {
          Py_XDECREF(done);
        }
        return nullptr;
      }
    }
    // Interning may have let another thread finish first; keep its set.
    if (attr_names_ready) {
      for (PyObject* done : created) {
        Py_DECREF(done);
      }
    } else {
      attr_names = created;
      attr_names_ready = true;
    }
  }
  return attr_names[static_cast<std::size_t>(name)];
}

bool to_i32(PyObject* object, std::int32_t* out) {
  const long value = run_python([&] { return PyLong_AsLong(object); });
  if (value == -1 && PyErr_Occurred() != nullptr) {
    return false;
  }
  if (value < INT32_MIN || value > INT32_MAX) {
    raise_int_too_large("C int");
    return false;
  }
  *out = static_cast<std::int32_t>(value);
  return true;
}

bool to_u32(PyObject* object, std::uint32_t* out) {
  const long value = run_python([&] { return PyLong_AsLong(object); });
  if (value == -1 && PyErr_Occurred() != nullptr) {
    return false;
  }
  if (value < 0) {
    raise_negative_unsigned();
    return false;
  }
  if (value > static_cast<long>(UINT32_MAX)) {
    raise_int_too_large("C unsigned int");
    return false;
  }
  *out = static_cast<std::uint32_t>(value);
  return true;
}

template <class T>
bool read(PyObject* object, Attr name, bool (*convert)(PyObject*, T*), T* out) {
  OwnedRef value = get_attr(object, name);
  return value && convert(value.get(), out);
}

bool read_name(PyObject* object, Attr name, std::string* out) {
  OwnedRef value = get_attr(object, name);
  std::string_view text;
  if (!value || !to_str(value.get(), &text)) {
    return false;
  }
  out->assign(text);
  return true;
}

}  // namespace

OwnedRef get_attr(PyObject* object, Attr name) {
  PyObject* key = attr_name(name);
  if (key == nullptr) {
    return {};
  }
  return OwnedRef::steal(run_python([&] { return PyObject_GetAttr(object, key); }));
}

bool stamp_from_python(PyObject* stamp, frames::time::u128* out) {
  std::int32_t sec = 0;
  std::uint32_t nanosec = 0;
  if (!read(stamp, Attr::sec, to_i32, &sec) || !read(stamp, Attr::nanosec, to_u32, &nanosec)) {
    return false;
  }
  if (sec < 0) {
    raise(Invalid::StampSecondsNegative);
    return false;
  }
  if (nanosec >= frames::time::NS_PER_SECOND) {
    raise(Invalid::StampNanosecondsLarge);
    return false;
  }
  *out = frames::time::u128{static_cast<std::uint64_t>(sec)} * frames::time::NS_PER_SECOND +
         nanosec;
  return true;
}

bool transform_stamped_from_python(PyObject* message, ParsedTransform* out) {
  OwnedRef header = get_attr(message, Attr::header);
  if (!header) {
    return false;
  }
  OwnedRef transform = get_attr(message, Attr::transform);
  if (!transform) {
    return false;
  }
  OwnedRef translation = get_attr(transform.get(), Attr::translation);
  if (!translation) {
    return false;
  }
  OwnedRef rotation = get_attr(transform.get(), Attr::rotation);
  if (!rotation) {
    return false;
  }
  OwnedRef stamp = get_attr(header.get(), Attr::stamp);
  if (!stamp || !stamp_from_python(stamp.get(), &out->stamp_ns)) {
    return false;
  }
  frames::geometry::Vector3 position;
  quilm_tf::QuaternionXyzw orientation;
  if (!read(translation.get(), Attr::x, to_double, &position.x) ||
      !read(translation.get(), Attr::y, to_double, &position.y) ||
      !read(translation.get(), Attr::z, to_double, &position.z) ||
      !read(rotation.get(), Attr::x, to_double, &orientation.x) ||
      !read(rotation.get(), Attr::y, to_double, &orientation.y) ||
      !read(rotation.get(), Attr::z, to_double, &orientation.z) ||
      !read(rotation.get(), Attr::w, to_double, &orientation.w)) {
    return false;
  }
  auto isometry = quilm_tf::isometry_from_components(position, orientation);
  if (!isometry) {
    raise(isometry.error());
    return false;
  }
  out->isometry = *isometry;
  return read_name(header.get(), Attr::frame_id, &out->parent) &&
         read_name(message, Attr::child_frame_id, &out->child);
}

}  // namespace quilm_tf_py
