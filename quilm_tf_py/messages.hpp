#pragma once

// Reading ROS 2 TransformStamped-shaped objects: any Python object with the attributes of
// the message (generated classes, named tuples, plain objects) is read attribute by
// attribute, in a fixed order, and never modified. Errors are raised as they come: the
// interpreter's AttributeError, the conversions' own TypeError or OverflowError (no
// argument note: they concern the message, not a parameter), the stamp's ValueErrors and,
// for the pose, TransformError.

#include <Python.h>

#include <cstdint>
#include <string>

#include "frames/time/timestamp.hpp"
#include "quilm_tf/buffer.hpp"
#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {

// Stamps and tolerances from Python lie below it; the service refuses stamps beyond.
using quilm_tf::ROS_TIME_LIMIT_NS;

// The attribute names read from messages, interned once per process.
enum class Attr {
  header,
  stamp,
  sec,
  nanosec,
  frame_id,
  child_frame_id,
  transform,
  translation,
  rotation,
  x,
  y,
  z,
  w,
  transforms,
};

// object.<name>: a new reference, or empty with the error set (AttributeError if missing).
OwnedRef get_attr(PyObject* object, Attr name);

// One decoded transform, names as the message holds them (the service normalises them).
struct ParsedTransform {
  frames::time::u128 stamp_ns = 0;  // always below ROS_TIME_LIMIT_NS
  std::string parent;               // header.frame_id
  std::string child;                // child_frame_id
  quilm_tf::Isometry isometry;      // rotation already divided by its norm
};

// A ROS time (sec: signed 32-bit, nanosec: unsigned 32-bit) in nanoseconds. Both fields are
// read and converted before either is checked.
bool stamp_from_python(PyObject* stamp, frames::time::u128* out);

// header, transform, translation, rotation, the stamp, the translation and rotation values,
// the pose check, header.frame_id, child_frame_id: in this order, first failure raised.
bool transform_stamped_from_python(PyObject* message, ParsedTransform* out);

}  // namespace quilm_tf_py
