#pragma once

// Sample rotations and tolerant comparisons shared by the geometry tests.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "frames/geometry/quaternion.hpp"

namespace geometry_testing {

using frames::geometry::Quaternion;
using frames::geometry::Vector3;

inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double INF = std::numeric_limits<double>::infinity();
inline constexpr double PI = std::numbers::pi;

inline Quaternion about(double angle, double x, double y, double z) {
  const double s = std::sin(angle / 2) / std::sqrt(x * x + y * y + z * z);
  return {std::cos(angle / 2), x * s, y * s, z * s};
}

inline Quaternion negated(const Quaternion& q) { return {-q.w, -q.x, -q.y, -q.z}; }

inline ::testing::AssertionResult near(const Quaternion& a, const Quaternion& b,
                                       double tol = 1e-15) {
  for (const auto& [u, v] : {std::pair{a.w, b.w}, {a.x, b.x}, {a.y, b.y}, {a.z, b.z}}) {
    if (!(std::fabs(u - v) <= tol)) {
      return ::testing::AssertionFailure()
             << "(" << a.w << ", " << a.x << ", " << a.y << ", " << a.z << ") vs (" << b.w << ", "
             << b.x << ", " << b.y << ", " << b.z << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult near(const Vector3& a, const Vector3& b, double tol = 1e-14) {
  return near(Quaternion{0, a.x, a.y, a.z}, Quaternion{0, b.x, b.y, b.z}, tol);
}

// Unit rotations for the laws: the identity, one too small for acos to resolve, a half
// turn, a generic rotation and its negation (the same rotation with the other sign).
inline const std::vector<std::pair<const char*, Quaternion>> ROTATIONS = {
    {"Identity", Quaternion::identity()},
    {"Nano", about(1e-9, 1, 0, 0)},
    {"HalfTurn", about(PI, 0, 0.6, 0.8)},
    {"Generic", about(0.3, 1, 2, 3)},
    {"GenericNegated", negated(about(0.3, 1, 2, 3))},
};

using RotationPair =
    std::tuple<std::pair<const char*, Quaternion>, std::pair<const char*, Quaternion>>;

inline auto rotation_pairs() {
  return ::testing::Combine(::testing::ValuesIn(ROTATIONS), ::testing::ValuesIn(ROTATIONS));
}

inline std::string rotation_pair_name(const ::testing::TestParamInfo<RotationPair>& info) {
  return std::string(std::get<0>(info.param).first) + "_" + std::get<1>(info.param).first;
}

}  // namespace geometry_testing
