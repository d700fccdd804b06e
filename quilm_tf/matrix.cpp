#include "quilm_tf/matrix.hpp"

#include <cmath>

#include "frames/geometry/transform.hpp"

namespace quilm_tf {
namespace {

using frames::geometry::Quaternion;
using frames::geometry::UNIT_NORM_TOLERANCE;

Unexpected<TransformBufferError> not_rigid() {
  return Unexpected{TransformBufferError{buffer_error::NotRigid{}}};
}

Unexpected<TransformBufferError> non_finite() {
  return Unexpected{TransformBufferError{buffer_error::NonFiniteComponent{}}};
}

// Dot product of columns a and b of the rotation block, summed from the first term.
double column_dot(const Matrix4& m, std::size_t a, std::size_t b) noexcept {
  return (m(0, a) * m(0, b) + m(1, a) * m(1, b)) + m(2, a) * m(2, b);
}

// a*b + a*b rather than 2*a*b: the entries come out bit for bit as the reference formulas.
double twice(double a, double b) noexcept { return a * b + a * b; }

}  // namespace

Result<Isometry, TransformBufferError> matrix4_to_isometry(const Matrix4& m) noexcept {
  for (double entry : m.entries) {
    if (!std::isfinite(entry)) return non_finite();
  }
  if (std::fabs(m(3, 0)) > UNIT_NORM_TOLERANCE || std::fabs(m(3, 1)) > UNIT_NORM_TOLERANCE ||
      std::fabs(m(3, 2)) > UNIT_NORM_TOLERANCE || std::fabs(m(3, 3) - 1.0) > UNIT_NORM_TOLERANCE) {
    return not_rigid();
  }

  // Frobenius norm of RᵀR − I; it is symmetric, so each off-diagonal square counts twice.
  const double d00 = column_dot(m, 0, 0) - 1.0;
  const double d11 = column_dot(m, 1, 1) - 1.0;
  const double d22 = column_dot(m, 2, 2) - 1.0;
  const double d01 = column_dot(m, 0, 1);
  const double d02 = column_dot(m, 0, 2);
  const double d12 = column_dot(m, 1, 2);
  const double deviation = std::sqrt(d00 * d00 + d11 * d11 + d22 * d22 + 2.0 * (d01 * d01) +
                                     2.0 * (d02 * d02) + 2.0 * (d12 * d12));
  const double det = m(0, 2) * (m(1, 0) * m(2, 1) - m(2, 0) * m(1, 1)) +
                     (m(0, 0) * (m(1, 1) * m(2, 2) - m(2, 1) * m(1, 2)) -
                      m(0, 1) * (m(1, 0) * m(2, 2) - m(2, 0) * m(1, 2)));
  // Written as "not within" so that a NaN (finite entries can still overflow to inf − inf)
  // is refused; a reflection has determinant −1 and fails the second test.
  if (!(deviation <= UNIT_NORM_TOLERANCE) || !(std::fabs(det - 1.0) <= UNIT_NORM_TOLERANCE)) {
    return not_rigid();
  }

  Matrix3 r;
  for (std::size_t row = 0; row < 3; ++row) {
    for (std::size_t col = 0; col < 3; ++col) r(row, col) = m(row, col);
  }
  return Isometry{from_rotation_matrix(r), {m(0, 3), m(1, 3), m(2, 3)}};
}

Quaternion from_rotation_matrix(const Matrix3& r) noexcept {
  // Divide by the largest of 4w², 4x², 4y², 4z² (trace first, then the diagonal) so s never
  // gets close to zero.
  const double trace = (r(0, 0) + r(1, 1)) + r(2, 2);
  Quaternion q;
  if (trace > 0.0) {
    const double root = std::sqrt(trace + 1.0);
    const double s = root + root;
    q.w = s * 0.25;
    q.x = (r(2, 1) - r(1, 2)) / s;
    q.y = (r(0, 2) - r(2, 0)) / s;
    q.z = (r(1, 0) - r(0, 1)) / s;
  } else if (r(0, 0) > r(1, 1) && r(0, 0) > r(2, 2)) {
    const double root = std::sqrt(((r(0, 0) + 1.0) - r(1, 1)) - r(2, 2));
    const double s = root + root;
    q.x = s * 0.25;
    q.y = (r(0, 1) + r(1, 0)) / s;
    q.z = (r(0, 2) + r(2, 0)) / s;
    q.w = (r(2, 1) - r(1, 2)) / s;
  } else if (r(1, 1) > r(2, 2)) {
    const double root = std::sqrt(((r(1, 1) + 1.0) - r(0, 0)) - r(2, 2));
    const double s = root + root;
    q.y = s * 0.25;
    q.x = (r(0, 1) + r(1, 0)) / s;
    q.z = (r(1, 2) + r(2, 1)) / s;
    q.w = (r(0, 2) - r(2, 0)) / s;
  } else {
    const double root = std::sqrt(((r(2, 2) + 1.0) - r(0, 0)) - r(1, 1));
    const double s = root + root;
    q.z = s * 0.25;
    q.x = (r(0, 2) + r(2, 0)) / s;
    q.y = (r(1, 2) + r(2, 1)) / s;
    q.w = (r(1, 0) - r(0, 1)) / s;
  }
  return q;
}

Matrix4 isometry_to_matrix4(const Isometry& iso) noexcept {
  const double w = iso.rotation.w;
  const double x = iso.rotation.x;
  const double y = iso.rotation.y;
  const double z = iso.rotation.z;
  Matrix4 m;
  m(0, 0) = ((x * x + w * w) - y * y) - z * z;
  m(1, 0) = twice(x, y) + twice(z, w);
  m(2, 0) = twice(x, z) - twice(y, w);
  m(0, 1) = twice(x, y) - twice(z, w);
  m(1, 1) = (y * y + (w * w - x * x)) - z * z;
  m(2, 1) = twice(y, z) + twice(x, w);
  m(0, 2) = twice(x, z) + twice(y, w);
  m(1, 2) = twice(y, z) - twice(x, w);
  m(2, 2) = z * z + ((w * w - x * x) - y * y);
  m(0, 3) = iso.translation.x;
  m(1, 3) = iso.translation.y;
  m(2, 3) = iso.translation.z;
  m(3, 0) = 0.0;
  m(3, 1) = 0.0;
  m(3, 2) = 0.0;
  m(3, 3) = 1.0;
  return m;
}

Result<Isometry, TransformBufferError> isometry_from_components(
    const frames::geometry::Vector3& translation, const QuaternionXyzw& q) noexcept {
  const auto& t = translation;
  if (!std::isfinite(t.x) || !std::isfinite(t.y) || !std::isfinite(t.z) || !std::isfinite(q.x) ||
      !std::isfinite(q.y) || !std::isfinite(q.z) || !std::isfinite(q.w)) {
    return non_finite();
  }
  const double n = std::sqrt((q.x * q.x + q.z * q.z) + (q.y * q.y + q.w * q.w));
  // Finite components can still square to infinity; then n − 1 is not within the tolerance.
  if (!(std::fabs(n - 1.0) <= UNIT_NORM_TOLERANCE)) {
    return Unexpected{TransformBufferError{buffer_error::QuaternionNorm{n}}};
  }
  return Isometry{{q.w / n, q.x / n, q.y / n, q.z / n}, translation};
}

}  // namespace quilm_tf
