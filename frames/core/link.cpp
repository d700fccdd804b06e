#include "frames/core/link.hpp"

#include <string>

namespace frames::core {

namespace te = geometry::transform_error;

Result<Link, geometry::TransformError> compose(const Link& lhs, const Link& rhs) noexcept {
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

Result<Link, geometry::TransformError> inverse(const Link& link) noexcept {
  const Result<geometry::Quaternion, geometry::QuaternionError> unit =
      geometry::normalize(link.rotation);
  if (!unit) return Unexpected{geometry::TransformError{te::QuaternionFailure{unit.error()}}};
  const geometry::Quaternion q = geometry::conjugate(*unit);
  const geometry::Vector3 r = geometry::rotate_vector(q, link.translation);
  return Link{{-r.x, -r.y, -r.z}, q, link.timestamp, link.child, link.parent};
}

geometry::Transform to_transform(const Link& link) {
  return geometry::Transform{link.translation, link.rotation, link.timestamp,
                             std::string(link.parent), std::string(link.child)};
}

}  // namespace frames::core
