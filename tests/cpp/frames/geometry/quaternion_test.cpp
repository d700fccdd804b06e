#include "frames/geometry/quaternion.hpp"

#include <gtest/gtest.h>

#include "geometry_testing.hpp"

namespace {

using namespace geometry_testing;
using frames::geometry::norm;
using frames::geometry::normalize;
using frames::geometry::QuaternionError;
using frames::geometry::rotate_vector;
using frames::geometry::slerp;

double dot(const Quaternion& a, const Quaternion& b) {
  return a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z;
}

// normalize's value, or NaNs (and a failure) when it refuses.
Quaternion unit(const Quaternion& q) {
  const auto result = normalize(q);
  EXPECT_TRUE(result.has_value()) << to_string(result.error());
  return result ? *result : Quaternion{NaN, NaN, NaN, NaN};
}

class QuaternionNormalizeFailure
    : public ::testing::TestWithParam<std::pair<Quaternion, const char*>> {};

TEST_P(QuaternionNormalizeFailure, RefusesDegenerateInput) {
  const auto result = normalize(GetParam().first);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(to_string(result.error()), GetParam().second);
}

constexpr const char* ZERO = "cannot normalize a zero-length quaternion";
constexpr const char* NON_FINITE = "quaternion has non-finite components";
INSTANTIATE_TEST_SUITE_P(Cases, QuaternionNormalizeFailure,
                         ::testing::Values(std::pair{Quaternion{0, 0, 0, 0}, ZERO},
                                           std::pair{Quaternion{1e-17, 0, 0, 0}, ZERO},
                                           std::pair{Quaternion{0x1p-53, 0, 0, 0}, ZERO},
                                           std::pair{Quaternion{1, NaN, 0, 0}, NON_FINITE},
                                           std::pair{Quaternion{1, 0, 0, -INF}, NON_FINITE},
                                           std::pair{Quaternion{1e200, 0, 0, 0}, NON_FINITE}));

TEST(QuaternionNormalize, SumsInOrderAndScalesByTheReciprocal) {
  EXPECT_EQ(unit({2, 0, 0, 0}), Quaternion::identity());
  // A norm of exactly 2^-52 is the smallest accepted.
  EXPECT_EQ(unit({0x1p-52, 0, 0, 0}), Quaternion::identity());
  // Dividing by the norm instead would give 0.4472135954999579.
  EXPECT_EQ(unit({0.1, 0.2, 0, 0}).w, 0.44721359549995787);
  // Summed from z to w this reads 0.3464101615137755.
  EXPECT_EQ(norm({0.1, 0.1, 0.1, 0.3}), 0.34641016151377546);
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

class QuaternionLaws : public ::testing::TestWithParam<RotationPair> {};

TEST_P(QuaternionLaws, ProductComposesRotations) {
  const Quaternion a = std::get<0>(GetParam()).second;
  const Quaternion b = std::get<1>(GetParam()).second;
  const Vector3 v{0.5, -1.25, 2};
  EXPECT_TRUE(near(rotate_vector(a * b, v), rotate_vector(a, rotate_vector(b, v))));
  EXPECT_EQ(rotate_vector(negated(a), v), rotate_vector(a, v));
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
  EXPECT_TRUE(near(slerp(a, negated(a), 0.3), a));
}

INSTANTIATE_TEST_SUITE_P(Samples, QuaternionLaws, rotation_pairs(), rotation_pair_name);

TEST(QuaternionSlerp, HalvesAQuarterTurn) {
  const Quaternion m = slerp(Quaternion::identity(), about(std::numbers::pi / 2, 0, 0, 1), 0.5);
  EXPECT_TRUE(near(m, about(std::numbers::pi / 4, 0, 0, 1)));
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
  EXPECT_EQ(slerp(a, b, 1), b);
  EXPECT_EQ(slerp(a, negated(b), 1), negated(b));
}

}  // namespace
