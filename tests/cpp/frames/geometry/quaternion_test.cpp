#include "frames/geometry/quaternion.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "geometry_testing.hpp"

namespace frames::geometry {
namespace {

using namespace geometry_testing;

double dot(const Quaternion& a, const Quaternion& b) {
  return a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z;
}

TEST(Quaternion, NormalizesByTheReciprocalOfTheOrderedSumAndMultipliesRightOperandFirst) {
  // 2^-52 is the smallest norm accepted; 1e200 squares to infinity.
  for (const auto& [q, message] :
       {std::pair{Quaternion{0x1p-52, 0, 0, 0}, "accepted"},
        {Quaternion{0x1p-53, 0, 0, 0}, "cannot normalize a zero-length quaternion"},
        {Quaternion{1, NAN, 0, 0}, "quaternion has non-finite components"},
        {Quaternion{1e200, 0, 0, 0}, "quaternion has non-finite components"}}) {
    const auto result = normalize(q);
    EXPECT_EQ(result ? "accepted" : to_string(result.error()), message);
  }
  // Dividing by the norm instead would give 0.4472135954999579; summed from z to w the
  // norm would read 0.3464101615137755.
  EXPECT_EQ(normalize({0.1, 0.2, 0, 0})->w, 0.44721359549995787);
  EXPECT_EQ(norm({0.1, 0.1, 0.1, 0.3}), 0.34641016151377546);
  EXPECT_EQ((Quaternion{0, 1, 0, 0} * Quaternion{0, 0, 1, 0}), (Quaternion{0, 0, 0, 1}));  // ij = k
  // A quarter turn about z takes x to y; a non-unit rotation scales by the squared norm.
  EXPECT_TRUE(near(rotate_vector(about(PI / 2, 0, 0, 1), {1, 0, 0}), {0, 1, 0}));
  EXPECT_EQ(rotate_vector({2, 0, 0, 0}, {1, -2, 3}), (Vector3{4, -8, 12}));
}

class QuaternionLaws : public ::testing::TestWithParam<RotationPair> {};

// The product composes rotations. Slerp at t is t·theta from a and (1 - t)·theta from b or
// -b, whichever is nearer, and clamps t to [0, 1].
TEST_P(QuaternionLaws, ProductComposesAndSlerpMovesAlongTheShortArcAtConstantSpeed) {
  const Quaternion a = std::get<0>(GetParam()).second;
  const Quaternion b = std::get<1>(GetParam()).second;
  const Vector3 v{0.5, -1.25, 2};
  EXPECT_TRUE(near(rotate_vector(a * b, v), rotate_vector(a, rotate_vector(b, v))));
  const Quaternion b_near = dot(a, b) < 0 ? negated(b) : b;
  const double theta = std::acos(std::min(1.0, dot(a, b_near)));
  EXPECT_TRUE(near(slerp(a, b, 0), a));
  EXPECT_TRUE(near(slerp(a, b, 1), b_near));
  EXPECT_EQ(slerp(a, b, -2.5), slerp(a, b, 0));
  EXPECT_EQ(slerp(a, b, 7), slerp(a, b, 1));
  for (const double t : {0.25, 0.5}) {
    const Quaternion m = slerp(a, b, t);
    EXPECT_NEAR(norm(m), 1, 1e-15);
    EXPECT_NEAR(dot(m, a), std::cos(t * theta), 1e-14);
    EXPECT_NEAR(dot(m, b_near), std::cos((1 - t) * theta), 1e-14);
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, QuaternionLaws, rotation_pairs(), rotation_pair_name);

TEST(QuaternionSlerp, BlendsLinearlyOnlyAboveTheSecondDoubleBelowOneAndFlipsOnlyForANegativeDot) {
  // Non-unit ends make the branch visible: the linear blend is normalised, the
  // trigonometric one is not. Both pairs have a dot product of (2c)(0.5) = c exactly.
  const double at_threshold = 0.9999999999999998;
  const Quaternion half{0.5, 0, 0, 0};
  EXPECT_NEAR(slerp(half, {2 * at_threshold, 0, 0, 0}, 0.5).w, 1.25, 1e-7);
  EXPECT_NEAR(slerp(half, {2 * std::nextafter(at_threshold, 1.0), 0, 0, 0}, 0.5).w, 1.0, 1e-15);
  // A linear blend too short to normalise comes back as it is.
  EXPECT_EQ(slerp({1e-20, 0, 0, 0}, {1e20, 0, 0, 0}, 0), (Quaternion{1e-20, 0, 0, 0}));
  // Every term of the dot product is -0.0, so the sum is -0.0: orthogonal, kept as given.
  const Quaternion a{1, -0.0, -0.0, -0.0}, b{-0.0, 0.6, 0.8, 0};
  EXPECT_EQ(slerp(a, b, 1), b);
  EXPECT_EQ(slerp(a, negated(b), 1), negated(b));
}

}  // namespace
}  // namespace frames::geometry
