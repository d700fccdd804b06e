#pragma once

// Rotations as quaternions of doubles, scalar first. The type enforces nothing: any four
// doubles form a Quaternion. q and -q are one rotation; nothing canonicalises the sign.
// Unit length is checked where transforms enter a history (Transform validation).

#include <cmath>
#include <cstdint>
#include <string>

#include "frames/result.hpp"

namespace frames::geometry {

struct Vector3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;

  friend constexpr bool operator==(const Vector3&, const Vector3&) = default;
};

enum class QuaternionError : std::uint8_t { ZeroLength, NonFiniteComponents };

std::string to_string(QuaternionError error);

struct Quaternion {
  double w = 1.0;
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;

  static constexpr Quaternion identity() noexcept { return {1.0, 0.0, 0.0, 0.0}; }

  // Field-wise double equality in the order w, x, y, z (NaN never equal, 0.0 == -0.0).
  friend constexpr bool operator==(const Quaternion&, const Quaternion&) = default;
};

// Inline: a lookup runs these several times per link, and a call each costs as much as
// the arithmetic. Inlining changes no bit (floating-point contraction is off).

// sqrt(((w*w + x*x) + y*y) + z*z), summed in this order.
inline double norm(const Quaternion& q) noexcept {
  return std::sqrt(((q.w * q.w + q.x * q.x) + q.y * q.y) + q.z * q.z);
}
// Multiplies by the reciprocal of the norm; fails on a non-finite or sub-epsilon norm
// (below 2^-52, the double machine epsilon).
// normalize writing into `out`, for loops that keep no Result per step: false, with
// `error` set, where normalize fails.
inline bool normalize_into(const Quaternion& q, Quaternion& out, QuaternionError& error) noexcept {
  const double n = norm(q);
  if (!std::isfinite(n)) {
    error = QuaternionError::NonFiniteComponents;
    return false;
  }
  if (n < 0x1p-52) {
    error = QuaternionError::ZeroLength;
    return false;
  }
  const double k = 1.0 / n;
  out = {q.w * k, q.x * k, q.y * k, q.z * k};
  return true;
}
inline Result<Quaternion, QuaternionError> normalize(const Quaternion& q) noexcept {
  Quaternion unit;
  QuaternionError error{};
  if (!normalize_into(q, unit, error)) return Unexpected{error};
  return unit;
}
inline Quaternion conjugate(const Quaternion& q) noexcept { return {q.w, -q.x, -q.y, -q.z}; }
// Hamilton product p ⊗ q: applies q first, then p. Not normalised.
inline Quaternion operator*(const Quaternion& p, const Quaternion& q) noexcept {
  return {
      p.w * q.w - p.x * q.x - p.y * q.y - p.z * q.z,
      p.w * q.x + p.x * q.w + p.y * q.z - p.z * q.y,
      p.w * q.y - p.x * q.z + p.y * q.w + p.z * q.x,
      p.w * q.z + p.x * q.y - p.y * q.x + p.z * q.w,
  };
}
// Vector part of q ⊗ (0, v) ⊗ conjugate(q); q is taken to be of unit length. Two full
// products, zero terms included, so results match the quaternion algebra bit for bit
// rather than a rotation-matrix shortcut.
inline Vector3 rotate_vector(const Quaternion& q, const Vector3& v) noexcept {
  const Quaternion r = q * Quaternion{0.0, v.x, v.y, v.z} * conjugate(q);
  return {r.x, r.y, r.z};
}
// Spherical interpolation from a (t = 0) to b (t = 1) along the shorter arc.
Quaternion slerp(const Quaternion& a, const Quaternion& b, double t) noexcept;

// What slerp works out from its two ends alone: b on a's side, the clamped |dot| c, and
// (when the ends are not blended linearly) the angle and its sine. slerp(a, b, t) is
// slerp(slerp_arc(a, b), t) operation for operation, so one arc serves many t.
struct SlerpArc {
  Quaternion a;
  Quaternion b;
  double c;
  double theta;
  double s;
};
SlerpArc slerp_arc(const Quaternion& a, const Quaternion& b) noexcept;
Quaternion slerp(const SlerpArc& arc, double t) noexcept;

}  // namespace frames::geometry
