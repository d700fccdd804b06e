#include "frames/geometry/transform.hpp"

#include <cmath>

#include "frames/format.hpp"

namespace frames::geometry {

namespace {

namespace te = transform_error;

Vector3 add(const Vector3& a, const Vector3& b) noexcept {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}

}  // namespace

void append_to(std::string& out, const TransformError& error) {
  struct Visitor {
    std::string& out;
    void operator()(const te::NonUnitRotation& e) {
      out += "rotation is not a unit quaternion (norm: ";
      append_number(out, e.norm);
      out += ')';
    }
    void operator()(const te::NonFinite&) { out += "transform contains non-finite values"; }
    void operator()(const te::TimestampMismatch& e) {
      out += "transform timestamps do not match (lhs: ";
      append_number(out, e.lhs);
      out += ", rhs: ";
      append_number(out, e.rhs);
      out += ')';
    }
    void operator()(const te::TimestampOutOfRange& e) {
      out += "requested timestamp ";
      append_number(out, e.requested);
      out += " is outside the covered range [";
      append_number(out, e.first);
      out += ", ";
      append_number(out, e.last);
      out += ']';
    }
    void operator()(const te::SameFrame&) {
      out += "cannot multiply transforms with the same frame";
    }
    void operator()(const te::NotParentChild&) {
      out += "frames do not have a parent-child relationship";
    }
    void operator()(const te::TimeFailure& e) {
      out += "timestamp error: ";
      out += time::to_string(e.error);
    }
    void operator()(const te::QuaternionFailure& e) {
      out += "quaternion error: ";
      out += to_string(e.error);
    }
  };
  std::visit(Visitor{out}, error.kind);
}

std::string to_string(const TransformError& error) {
  std::string out;
  append_to(out, error);
  return out;
}

Transform identity(std::string_view parent, std::string_view child, Timestamp stamp) {
  return Transform{{}, Quaternion::identity(), stamp, std::string(parent), std::string(child)};
}

Result<void, TransformError> validate(const Transform& t) noexcept {
  const Vector3& v = t.translation;
  const Quaternion& q = t.rotation;
  for (double value : {v.x, v.y, v.z, q.w, q.x, q.y, q.z}) {
    if (!std::isfinite(value)) return Unexpected{TransformError{te::NonFinite{}}};
  }
  // Finite components can still overflow when squared; the norm is then inf and fails here.
  const double n = norm(q);
  if (std::fabs(n - 1.0) > UNIT_NORM_TOLERANCE) {
    return Unexpected{TransformError{te::NonUnitRotation{n}}};
  }
  return {};
}

Result<Transform, TransformError> compose(const Transform& lhs, const Transform& rhs) {
  // Stamps first: a mismatch in time is reported before any frame mismatch.
  if (!lhs.timestamp.is_zero() && !rhs.timestamp.is_zero() && lhs.timestamp != rhs.timestamp) {
    return Unexpected{TransformError{
        te::TimestampMismatch{lhs.timestamp.to_seconds(), rhs.timestamp.to_seconds()}}};
  }
  if (lhs.child == rhs.child) return Unexpected{TransformError{te::SameFrame{}}};
  if (lhs.child != rhs.parent) return Unexpected{TransformError{te::NotParentChild{}}};
  // A static link (stamp zero) takes the other's stamp; two static links stay static.
  const Timestamp stamp = lhs.timestamp.is_zero() ? rhs.timestamp : lhs.timestamp;
  return Transform{add(lhs.translation, rotate_vector(lhs.rotation, rhs.translation)),
                   lhs.rotation * rhs.rotation, stamp, lhs.parent, rhs.child};
}

Result<Transform, TransformError> inverse(const Transform& t) {
  const Result<Quaternion, QuaternionError> unit = normalize(t.rotation);
  if (!unit) return Unexpected{TransformError{te::QuaternionFailure{unit.error()}}};
  const Quaternion q = conjugate(*unit);
  const Vector3 r = rotate_vector(q, t.translation);
  return Transform{{-r.x, -r.y, -r.z}, q, t.timestamp, t.child, t.parent};
}

Result<Transform, TransformError> interpolate(const Transform& earlier, const Transform& later,
                                              Timestamp time) {
  if (later.timestamp < earlier.timestamp) {
    return Unexpected{TransformError{
        te::TimestampMismatch{earlier.timestamp.to_seconds(), later.timestamp.to_seconds()}}};
  }
  if (time < earlier.timestamp || time > later.timestamp) {
    return Unexpected{TransformError{te::TimestampOutOfRange{
        time.to_seconds(), earlier.timestamp.to_seconds(), later.timestamp.to_seconds()}}};
  }
  if (earlier.child != later.child || earlier.parent != later.parent) {
    return Unexpected{TransformError{te::NotParentChild{}}};
  }
  const Result<time::Duration, time::TimeError> span =
      later.timestamp.duration_since(earlier.timestamp);
  if (!span) return Unexpected{TransformError{te::TimeFailure{span.error()}}};
  if (*span == time::Duration{}) return earlier;
  const Result<time::Duration, time::TimeError> offset = time.duration_since(earlier.timestamp);
  if (!offset) return Unexpected{TransformError{te::TimeFailure{offset.error()}}};

  const double r = offset->as_seconds() / span->as_seconds();
  const Vector3& a = earlier.translation;
  const Vector3& b = later.translation;
  return Transform{
      {a.x * (1.0 - r) + b.x * r, a.y * (1.0 - r) + b.y * r, a.z * (1.0 - r) + b.z * r},
      slerp(earlier.rotation, later.rotation, r),
      time,
      earlier.parent,
      earlier.child};
}

}  // namespace frames::geometry
