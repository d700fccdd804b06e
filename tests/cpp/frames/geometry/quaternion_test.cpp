#include "frames/geometry/quaternion.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

namespace {

using frames::geometry::conjugate;
using frames::geometry::norm;
using frames::geometry::normalize;
using frames::geometry::Quaternion;
using frames::geometry::QuaternionError;
using frames::geometry::rotate_vector;
using frames::geometry::slerp;
using frames::geometry::Vector3;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

Quaternion about(double angle, double x, double y, double z) {
  const double s = std::sin(angle / 2) / std::sqrt(x * x + y * y + z * z);
  return {std::cos(angle / 2), x * s, y * s, z * s};
}

Quaternion negated(const Quaternion& q) { return {-q.w, -q.x, -q.y, -q.z}; }

double dot(const Quaternion& a, const Quaternion& b) {
  return a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z;
}

::testing::AssertionResult near(const Quaternion& a, const Quaternion& b, double tol = 1e-15) {
  if (std::fabs(a.w - b.w) <= tol && std::fabs(a.x - b.x) <= tol && std::fabs(a.y - b.y) <= tol &&
      std::fabs(a.z - b.z) <= tol) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "(" << a.w << ", " << a.x << ", " << a.y << ", " << a.z << ") vs (" << b.w << ", "
         << b.x << ", " << b.y << ", " << b.z << ")";
}

::testing::AssertionResult near(const Vector3& a, const Vector3& b, double tol = 1e-15) {
  return near(Quaternion{0, a.x, a.y, a.z}, Quaternion{0, b.x, b.y, b.z}, tol);
}

// normalize's value, or NaNs (and a failure) when it refuses.
Quaternion unit(const Quaternion& q) {
  const auto result = normalize(q);
  EXPECT_TRUE(result.has_value()) << to_string(result.error());
  return result ? *result : Quaternion{NaN, NaN, NaN, NaN};
}

class QuaternionNormalizeFailure
    : public ::testing::TestWithParam<std::pair<Quaternion, QuaternionError>> {};

TEST_P(QuaternionNormalizeFailure, RefusesDegenerateInput) {
  const auto result = normalize(GetParam().first);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuaternionNormalizeFailure,
    ::testing::Values(std::pair{Quaternion{0, 0, 0, 0}, QuaternionError::ZeroLength},
                      std::pair{Quaternion{1e-17, 0, 0, 0}, QuaternionError::ZeroLength},
                      std::pair{Quaternion{0x1p-53, 0, 0, 0}, QuaternionError::ZeroLength},
                      std::pair{Quaternion{1, NaN, 0, 0}, QuaternionError::NonFiniteComponents},
                      std::pair{Quaternion{1, 0, 0, -INF}, QuaternionError::NonFiniteComponents},
                      std::pair{Quaternion{1e200, 0, 0, 0}, QuaternionError::NonFiniteComponents}));

TEST(QuaternionNormalize, ScalesByTheReciprocalOfTheNorm) {
  EXPECT_EQ(unit({2, 0, 0, 0}), Quaternion::identity());
  // A norm of exactly 2^-52 is the smallest accepted.
  EXPECT_EQ(unit({0x1p-52, 0, 0, 0}), Quaternion::identity());
  // Dividing by the norm instead would give 0.4472135954999579.
  EXPECT_EQ(unit({0.1, 0.2, 0, 0}).w, 0.44721359549995787);
  EXPECT_EQ(to_string(QuaternionError::ZeroLength), "cannot normalize a zero-length quaternion");
  EXPECT_EQ(to_string(QuaternionError::NonFiniteComponents),
            "quaternion has non-finite components");
}

TEST(QuaternionNorm, SumsSquaresFromWToZ) {
  // Summed from z to w this reads 0.3464101615137755.
  EXPECT_EQ(norm({0.1, 0.1, 0.1, 0.3}), 0.34641016151377546);
  EXPECT_EQ(norm({1e200, 0, 0, 0}), INF);
}

TEST(QuaternionProduct, AppliesTheRightOperandFirst) {
  const Quaternion i{0, 1, 0, 0}, j{0, 0, 1, 0}, k{0, 0, 0, 1};
  EXPECT_EQ(i * j, k);
  EXPECT_EQ(j * i, negated(k));
  const Quaternion q = about(0.7, 1, -2, 3);
  EXPECT_EQ(Quaternion::identity() * q, q);
  EXPECT_EQ(q * Quaternion::identity(), q);
  // A quarter turn about z takes x to y; a non-unit rotation scales by the squared norm.
  EXPECT_TRUE(near(rotate_vector(about(std::numbers::pi / 2, 0, 0, 1), {1, 0, 0}), {0, 1, 0}));
  EXPECT_EQ(rotate_vector({2, 0, 0, 0}, {1, -2, 3}), (Vector3{4, -8, 12}));
}

// Unit samples: identity, a rotation too small for acos to resolve, a half turn, a generic
// rotation and its negation (the same rotation with the other sign).
const std::vector<std::pair<const char*, Quaternion>> SAMPLES = {
    {"Identity", Quaternion::identity()},
    {"Nano", about(1e-9, 1, 0, 0)},
    {"HalfTurn", about(std::numbers::pi, 0, 0.6, 0.8)},
    {"Generic", about(0.3, 1, 2, 3)},
    {"GenericNegated", negated(about(0.3, 1, 2, 3))},
};

class QuaternionLaws
    : public ::testing::TestWithParam<
          std::tuple<std::pair<const char*, Quaternion>, std::pair<const char*, Quaternion>>> {};

TEST_P(QuaternionLaws, ProductAndRotationAgree) {
  const Quaternion a = std::get<0>(GetParam()).second;
  const Quaternion b = std::get<1>(GetParam()).second;
  const Vector3 v{0.5, -1.25, 2};
  EXPECT_TRUE(near(rotate_vector(a * b, v), rotate_vector(a, rotate_vector(b, v)), 1e-14));
  EXPECT_EQ(rotate_vector(negated(a), v), rotate_vector(a, v));
  EXPECT_TRUE(near(conjugate(a * b), conjugate(b) * conjugate(a)));
  EXPECT_TRUE(near(a * conjugate(a), Quaternion::identity()));
}

TEST_P(QuaternionLaws, SlerpTakesTheShortArcBetweenItsEnds) {
  const Quaternion a = std::get<0>(GetParam()).second;
  const Quaternion b = std::get<1>(GetParam()).second;
  const Quaternion b_near = dot(a, b) < 0 ? negated(b) : b;
  EXPECT_TRUE(near(slerp(a, b, 0), a));
  EXPECT_TRUE(near(slerp(a, b, 1), b_near));
  EXPECT_EQ(slerp(a, b, -2.5), slerp(a, b, 0));
  EXPECT_EQ(slerp(a, b, 7), slerp(a, b, 1));
  // The midpoint is unit and equally far from both ends, on the arc that joins them.
  const Quaternion m = slerp(a, b, 0.5);
  EXPECT_NEAR(norm(m), 1, 1e-15);
  EXPECT_NEAR(dot(m, a), dot(m, b_near), 1e-15);
  EXPECT_GE(dot(m, a), std::sqrt(0.5) - 1e-15);
  // a and -a are one rotation: every fraction gives a.
  EXPECT_TRUE(near(slerp(a, negated(a), 0.3), a));
}

INSTANTIATE_TEST_SUITE_P(Samples, QuaternionLaws,
                         ::testing::Combine(::testing::ValuesIn(SAMPLES),
                                            ::testing::ValuesIn(SAMPLES)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).first) + "_" +
                                  std::get<1>(info.param).first;
                         });

TEST(QuaternionSlerp, HalvesAQuarterTurn) {
  const Quaternion m = slerp(Quaternion::identity(), about(std::numbers::pi / 2, 0, 0, 1), 0.5);
  EXPECT_TRUE(near(m, {std::cos(std::numbers::pi / 8), 0, 0, std::sin(std::numbers::pi / 8)}));
}

TEST(QuaternionSlerp, BlendsLinearlyOnlyAboveTheSecondDoubleBelowOne) {
  // Non-unit ends make the branch visible: the linear blend is normalised, the
  // trigonometric one is not. Both pairs have a dot product of (2c)(0.5) = c exactly.
  const double at_threshold = 0.9999999999999998;
  const double above = std::nextafter(at_threshold, 1.0);
  const Quaternion a{0.5, 0, 0, 0};
  EXPECT_NEAR(slerp(a, {2 * at_threshold, 0, 0, 0}, 0.5).w, 1.25, 1e-7);
  EXPECT_NEAR(slerp(a, {2 * above, 0, 0, 0}, 0.5).w, 1.0, 1e-15);
  // A linear blend too short to normalise comes back as it is.
  EXPECT_EQ(slerp({1e-20, 0, 0, 0}, {1e20, 0, 0, 0}, 0), (Quaternion{1e-20, 0, 0, 0}));
}

TEST(QuaternionSlerp, FlipsOnlyForANegativeDot) {
  // Every term of the dot product is -0.0, so the sum is -0.0: orthogonal, kept as given.
  const Quaternion a{1, -0.0, -0.0, -0.0};
  const Quaternion b{-0.0, 0.6, 0.8, 0};
  ASSERT_TRUE(std::signbit(((b.w * a.w + b.x * a.x) + b.y * a.y) + b.z * a.z));
  EXPECT_EQ(slerp(a, b, 1), b);
  EXPECT_EQ(slerp(a, negated(b), 1), negated(b));
}

}  // namespace
