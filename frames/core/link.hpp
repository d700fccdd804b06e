#pragma once

// One edge of the frame tree as a lookup carries it: a rigid motion, its stamp, and the
// two frame names borrowed from the history it was sampled from. Lookups only read the
// registry, so the names stay valid for the whole lookup and walking a chain copies no
// string. The arithmetic is that of Transform's compose and inverse, operation for
// operation in the same order, so a lookup yields bit for bit what composing the
// equivalent Transforms would.

#include <string_view>

#include "frames/geometry/quaternion.hpp"
#include "frames/geometry/transform.hpp"
#include "frames/result.hpp"
#include "frames/time/timestamp.hpp"

namespace frames::core {

// Names compare by content; views of one stored string match at once by address.
inline bool same_name(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && (a.data() == b.data() || a.compare(b) == 0);
}

struct Link {
  geometry::Vector3 translation;
  geometry::Quaternion rotation;
  time::Timestamp timestamp;
  std::string_view parent;
  std::string_view child;

  // Every field, names by content: two links are one when they are the same edge sampled
  // at the same time.
  friend bool operator==(const Link& a, const Link& b) noexcept {
    return a.translation == b.translation && a.rotation == b.rotation &&
           a.timestamp == b.timestamp && same_name(a.parent, b.parent) &&
           same_name(a.child, b.child);
  }
};

// lhs · rhs, lhs nearer the root: TimestampMismatch, then SameFrame, then NotParentChild.
// Inline with inverse: a lookup calls them once per link and the results are built in place.
inline Result<Link, geometry::TransformError> compose(const Link& lhs, const Link& rhs) noexcept {
  namespace te = geometry::transform_error;
  if (!lhs.timestamp.is_zero() && !rhs.timestamp.is_zero() && lhs.timestamp != rhs.timestamp) {
    return Unexpected{geometry::TransformError{
        te::TimestampMismatch{lhs.timestamp.to_seconds(), rhs.timestamp.to_seconds()}}};
  }
  if (same_name(lhs.child, rhs.child)) return Unexpected{geometry::TransformError{te::SameFrame{}}};
  if (!same_name(lhs.child, rhs.parent)) {
    return Unexpected{geometry::TransformError{te::NotParentChild{}}};
  }
  const geometry::Vector3 moved = geometry::rotate_vector(lhs.rotation, rhs.translation);
  return Link{
      {lhs.translation.x + moved.x, lhs.translation.y + moved.y, lhs.translation.z + moved.z},
      lhs.rotation * rhs.rotation,
      lhs.timestamp.is_zero() ? rhs.timestamp : lhs.timestamp,
      lhs.parent,
      rhs.child};
}

// Renormalises the rotation; fails only on a zero or non-finite one.
inline Result<Link, geometry::TransformError> inverse(const Link& link) noexcept {
  namespace te = geometry::transform_error;
  const Result<geometry::Quaternion, geometry::QuaternionError> unit =
      geometry::normalize(link.rotation);
  if (!unit) return Unexpected{geometry::TransformError{te::QuaternionFailure{unit.error()}}};
  const geometry::Quaternion q = geometry::conjugate(*unit);
  const geometry::Vector3 r = geometry::rotate_vector(q, link.translation);
  return Link{{-r.x, -r.y, -r.z}, q, link.timestamp, link.child, link.parent};
}

// compose and inverse without the arithmetic, for lookups that only ask whether they would
// succeed: the same checks in the same order, and the names and stamp of the result.
inline Result<Link, geometry::TransformError> compose_frames(const Link& lhs,
                                                             const Link& rhs) noexcept {
  namespace te = geometry::transform_error;
  if (!lhs.timestamp.is_zero() && !rhs.timestamp.is_zero() && lhs.timestamp != rhs.timestamp) {
    return Unexpected{geometry::TransformError{te::TimestampMismatch{0, 0}}};
  }
  if (same_name(lhs.child, rhs.child)) return Unexpected{geometry::TransformError{te::SameFrame{}}};
  if (!same_name(lhs.child, rhs.parent)) {
    return Unexpected{geometry::TransformError{te::NotParentChild{}}};
  }
  return Link{{}, geometry::Quaternion::identity(),
              lhs.timestamp.is_zero() ? rhs.timestamp : lhs.timestamp, lhs.parent, rhs.child};
}

inline Link invert_frames(const Link& link) noexcept {
  return Link{{}, geometry::Quaternion::identity(), link.timestamp, link.child, link.parent};
}

// The Transform with these values and owned copies of the names.
geometry::Transform to_transform(const Link& link);

}  // namespace frames::core
