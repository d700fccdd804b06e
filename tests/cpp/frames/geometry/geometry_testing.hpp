#pragma once

// Sample rotations and tolerant comparisons shared by the geometry tests.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <tuple>
#include <utility>

#include "frames/geometry/quaternion.hpp"

namespace geometry_testing {

using frames::geometry::Quaternion;
using frames::geometry::Vector3;

inline constexpr double PI = std::numbers::pi;

inline Quaternion about(double angle, double x, double y, double z) {
  const double s = std::sin(angle / 2) / std::sqrt(x * x + y * y + z * z);
  return {std::cos(angle / 2), x * s, y * s, z * s};
}

inline Quaternion negated(const Quaternion& q) { return {-q.w, -q.x, -q.y, -q.z}; }

inline ::testing::AssertionResult near(const Quaternion& a, const Quaternion& b,
                                       double tol = 1e-15) {
  if (std::fabs(a.w - b.w) <= tol && std::fabs(a.x - b.x) <= tol && std::fabs(a.y - b.y) <= tol &&
      std::fabs(a.z - b.z) <= tol) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "(" << a.w << ", " << a.x << ", " << a.y << ", " << a.z
                                       << ") vs ("
                                       << b.w << ", " << b.x << ", " << b.y << ", " << b.z << ")";
}

inline ::testing::AssertionResult near(const Vector3& a, const Vector3& b, double tol = 1e-14) {
  return near(Quaternion{0, a.x, a.y, a.z}, Quaternion{0, b.x, b.y, b.z}, tol);
}

// Pairs of unit rotations for the laws, drawn from the identity, one too small for acos to
// resolve, a half turn, a generic rotation and its negation (the same rotation, other sign).
inline auto rotation_pairs() {
  const auto rotations = ::testing::Values(
      std::pair{"Identity", Quaternion::identity()}, std::pair{"Nano", about(1e-9, 1, 0, 0)},
      std::pair{"HalfTurn", about(PI, 0, 0.6, 0.8)}, std::pair{"Generic", about(0.3, 1, 2, 3)},
      std::pair{"GenericNegated", negated(about(0.3, 1, 2, 3))});
  return ::testing::Combine(rotations, rotations);
}

using RotationPair =
    std::tuple<std::pair<const char*, Quaternion>, std::pair<const char*, Quaternion>>;

inline std::string rotation_pair_name(const ::testing::TestParamInfo<RotationPair>& info) {
  return std::string(std::get<0>(info.param).first) + "_" + std::get<1>(info.param).first;
}

}  // namespace geometry_testing
