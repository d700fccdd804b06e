#pragma once

// Rotations as quaternions of doubles, scalar first. The type enforces nothing: any four
// doubles form a Quaternion. q and -q are one rotation; nothing canonicalises the sign.
// Unit length is checked where transforms enter a history (Transform validation).

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

// sqrt(((w*w + x*x) + y*y) + z*z), summed in this order.
double norm(const Quaternion& q) noexcept;
// Multiplies by the reciprocal of the norm; fails on a non-finite or sub-epsilon norm.
Result<Quaternion, QuaternionError> normalize(const Quaternion& q) noexcept;
Quaternion conjugate(const Quaternion& q) noexcept;
// Hamilton product p ⊗ q: applies q first, then p. Not normalised.
Quaternion operator*(const Quaternion& p, const Quaternion& q) noexcept;
// Vector part of q ⊗ (0, v) ⊗ conjugate(q); q is taken to be of unit length.
Vector3 rotate_vector(const Quaternion& q, const Vector3& v) noexcept;
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
