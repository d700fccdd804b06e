#include "frames/geometry/quaternion.hpp"

#include <cmath>

namespace frames::geometry {

namespace {

// 2^-52, the double machine epsilon: below it a norm is treated as zero.
constexpr double EPSILON = 0x1p-52;
// 1 - 2^-52, the second double below 1: above it slerp's sin(theta) is too small to
// divide by, so the ends are blended linearly instead.
constexpr double LINEAR_SLERP_DOT = 1.0 - 0x1p-52;

constexpr Quaternion scaled(const Quaternion& q, double k) noexcept {
  return {q.w * k, q.x * k, q.y * k, q.z * k};
}

constexpr Quaternion sum(const Quaternion& a, const Quaternion& b) noexcept {
  return {a.w + b.w, a.x + b.x, a.y + b.y, a.z + b.z};
}

}  // namespace

std::string to_string(QuaternionError error) {
  switch (error) {
    case QuaternionError::ZeroLength:
      return "cannot normalize a zero-length quaternion";
    case QuaternionError::NonFiniteComponents:
      return "quaternion has non-finite components";
  }
  return {};
}

SlerpArc slerp_arc(const Quaternion& a, const Quaternion& b_in) noexcept {
  Quaternion b = b_in;
  const double d = ((b.w * a.w + b.x * a.x) + b.y * a.y) + b.z * a.z;
  // q and -q are one rotation; flip to the short arc. -0.0 is not below zero.
  if (d < 0.0) b = {-b.w, -b.x, -b.y, -b.z};
  double c = std::fabs(d);
  if (c > 1.0) c = 1.0;
  if (c > LINEAR_SLERP_DOT) return {a, b, c, 0.0, 0.0};
  const double theta = std::acos(c);
  return {a, b, c, theta, std::sin(theta)};
}

Quaternion slerp(const SlerpArc& arc, double t) noexcept {
  if (t < 0.0) t = 0.0;
  if (t > 1.0) t = 1.0;
  if (arc.c > LINEAR_SLERP_DOT) {
    const Quaternion r = sum(scaled(arc.a, 1.0 - t), scaled(arc.b, t));
    const double m = norm(r);
    if (m < EPSILON) return r;
    return scaled(r, 1.0 / m);
  }
  const double wa = std::sin((1.0 - t) * arc.theta) / arc.s;
  const double wb = std::sin(t * arc.theta) / arc.s;
  return sum(scaled(arc.a, wa), scaled(arc.b, wb));
}

Quaternion slerp(const Quaternion& a, const Quaternion& b, double t) noexcept {
  return slerp(slerp_arc(a, b), t);
}

}  // namespace frames::geometry
