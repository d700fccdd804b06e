#pragma once

// One time-stamped rigid motion from a named parent frame to a named child frame. It maps
// coordinates given in the child into the parent: p_parent = rotate(rotation, p_child) +
// translation. Stamp zero marks a static transform, valid at all times. Stored transforms
// have a unit rotation within UNIT_NORM_TOLERANCE; products are not renormalised.

#include <string>
#include <string_view>
#include <variant>

#include "frames/geometry/quaternion.hpp"
#include "frames/result.hpp"
#include "frames/time/timestamp.hpp"

namespace frames::geometry {

using frames::time::Timestamp;

// The double nearest to 1e-6; a deviation of exactly this much passes.
inline constexpr double UNIT_NORM_TOLERANCE = 1e-6;

// Payloads hold seconds as doubles, computed when the error is raised.
namespace transform_error {
struct NonUnitRotation { double norm; };
struct NonFinite {};
struct TimestampMismatch { double lhs; double rhs; };
struct TimestampOutOfRange { double requested; double first; double last; };
struct SameFrame {};
struct NotParentChild {};
struct TimeFailure { time::TimeError error; };
struct QuaternionFailure { QuaternionError error; };
}  // namespace transform_error

struct TransformError {
  std::variant<transform_error::NonUnitRotation, transform_error::NonFinite,
               transform_error::TimestampMismatch, transform_error::TimestampOutOfRange,
               transform_error::SameFrame, transform_error::NotParentChild,
               transform_error::TimeFailure, transform_error::QuaternionFailure>
      kind;
};

std::string to_string(const TransformError& error);
void append_to(std::string& out, const TransformError& error);

struct Transform {
  Vector3 translation;
  Quaternion rotation;
  Timestamp timestamp;
  std::string parent;
  std::string child;

  // Field by field in declaration order; doubles compare as doubles.
  friend bool operator==(const Transform&, const Transform&) = default;
};

// A rigid motion without names or stamp; same convention as Transform.
struct Isometry {
  Quaternion rotation;
  Vector3 translation;
};

Transform identity(std::string_view parent, std::string_view child, Timestamp stamp);

// NonFinite, then NonUnitRotation; stamp and names are not examined.
Result<void, TransformError> validate(const Transform& t) noexcept;
// lhs · rhs, lhs being the link nearer the root (lhs.child must be rhs.parent).
Result<Transform, TransformError> compose(const Transform& lhs, const Transform& rhs);
// Renormalises the rotation, so the inverse is unit even for a slightly-off input.
Result<Transform, TransformError> inverse(const Transform& t);
// The link at `time` between two samples of it (slerp and linear blend).
Result<Transform, TransformError> interpolate(const Transform& earlier, const Transform& later,
                                              Timestamp time);

}  // namespace frames::geometry
