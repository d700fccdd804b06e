#include "frames/geometry/transform.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "frames/core/history.hpp"

namespace {

using frames::Box;
using frames::core::BufferError;
using frames::geometry::Quaternion;
using frames::geometry::Transform;
using frames::geometry::TransformError;
using frames::geometry::Vector3;
using frames::time::Timestamp;
using frames::time::u128;
namespace geo = frames::geometry;
namespace te = frames::geometry::transform_error;

constexpr u128 S = 1'000'000'000;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

Quaternion about(double angle, double x, double y, double z) {
  const double s = std::sin(angle / 2) / std::sqrt(x * x + y * y + z * z);
  return {std::cos(angle / 2), x * s, y * s, z * s};
}

Transform tf(const char* parent, const char* child, u128 stamp_ns, Vector3 translation = {},
             Quaternion rotation = Quaternion::identity()) {
  return Transform{translation, rotation, Timestamp{stamp_ns}, parent, child};
}

// The error's text, or "" on success.
template <class T>
std::string error_text(const frames::Result<T, TransformError>& result) {
  return result ? std::string() : to_string(result.error());
}

// The transform, or NaNs (and a failure) when the operation refused.
Transform value_of(const frames::Result<Transform, TransformError>& result) {
  EXPECT_EQ(error_text(result), "");
  return result ? *result : Transform{{NaN, NaN, NaN}, {NaN, NaN, NaN, NaN}, {}, "", ""};
}

Vector3 apply(const Transform& parent_T_child, const Vector3& p) {
  const Vector3 r = geo::rotate_vector(parent_T_child.rotation, p);
  return {r.x + parent_T_child.translation.x, r.y + parent_T_child.translation.y,
          r.z + parent_T_child.translation.z};
}

::testing::AssertionResult near(const Vector3& a, const Vector3& b, double tol = 1e-14) {
  if (std::fabs(a.x - b.x) <= tol && std::fabs(a.y - b.y) <= tol && std::fabs(a.z - b.z) <= tol) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "(" << a.x << ", " << a.y << ", " << a.z << ") vs ("
                                       << b.x << ", " << b.y << ", " << b.z << ")";
}

::testing::AssertionResult near(const Quaternion& a, const Quaternion& b, double tol = 1e-15) {
  if (std::fabs(a.w - b.w) > tol)
    return ::testing::AssertionFailure() << "w " << a.w << " vs " << b.w;
  return near(Vector3{a.x, a.y, a.z}, Vector3{b.x, b.y, b.z}, tol);
}

class TransformErrorText : public ::testing::TestWithParam<std::pair<TransformError, const char*>> {
};

TEST_P(TransformErrorText, RendersPayloadsAndNestedErrors) {
  EXPECT_EQ(to_string(GetParam().first), GetParam().second);
}

const BufferError OUT_OF_RANGE_IN_HISTORY{
    frames::core::buffer_error::TransformFailure{TransformError{te::TimestampOutOfRange{3, 1, 2}}}};

INSTANTIATE_TEST_SUITE_P(
    Kinds, TransformErrorText,
    ::testing::Values(
        std::pair{TransformError{te::NonUnitRotation{1.1}},
                  "rotation is not a unit quaternion (norm: 1.1)"},
        std::pair{TransformError{te::NonUnitRotation{INF}},
                  "rotation is not a unit quaternion (norm: inf)"},
        std::pair{TransformError{te::NonFinite{}}, "transform contains non-finite values"},
        std::pair{TransformError{te::TimestampMismatch{1, 2.5}},
                  "transform timestamps do not match (lhs: 1, rhs: 2.5)"},
        std::pair{TransformError{te::TimestampOutOfRange{3, 0.000000001, NaN}},
                  "requested timestamp 3 is outside the covered range [0.000000001, NaN]"},
        std::pair{TransformError{te::SameFrame{}},
                  "cannot multiply transforms with the same frame"},
        std::pair{TransformError{te::NotParentChild{}},
                  "frames do not have a parent-child relationship"},
        std::pair{TransformError{te::FrameNotFound{"base link"}},
                  "frame base link does not exist in the transform tree"},
        std::pair{TransformError{te::NoChain{"map", "odom"}},
                  "no transform chain connects map and odom"},
        std::pair{
            TransformError{
                te::LookupFailed{"a", "b", "c", Box<BufferError>(OUT_OF_RANGE_IN_HISTORY)}},
            "transform not found from a to b (frame c: transform error: requested timestamp 3 "
            "is outside the covered range [1, 2])"},
        std::pair{TransformError{te::EmptyTree{}}, "transform tree is empty"},
        std::pair{TransformError{te::TimeFailure{frames::time::TimeError::DurationOverflow}},
                  "timestamp error: duration overflow"},
        std::pair{TransformError{te::QuaternionFailure{geo::QuaternionError::ZeroLength}},
                  "quaternion error: cannot normalize a zero-length quaternion"}));

class TransformValidate
    : public ::testing::TestWithParam<std::tuple<Vector3, Quaternion, const char*>> {};

TEST_P(TransformValidate, ChecksFinitenessThenUnitNorm) {
  const auto& [translation, rotation, expected] = GetParam();
  EXPECT_EQ(error_text(geo::validate(tf("a", "b", 1, translation, rotation))), expected);
}

// 1.000001 and 0.9999990000000001 are the farthest doubles from 1 within the tolerance
// (no double lies exactly 1e-6 away); their outer neighbours fail.
INSTANTIATE_TEST_SUITE_P(
    Cases, TransformValidate,
    ::testing::Values(
        std::tuple{Vector3{1, 2, 3}, Quaternion{1.000001, 0, 0, 0}, ""},
        std::tuple{Vector3{}, Quaternion{1.0000010000000001, 0, 0, 0},
                   "rotation is not a unit quaternion (norm: 1.0000010000000001)"},
        std::tuple{Vector3{}, Quaternion{0.9999990000000001, 0, 0, 0}, ""},
        std::tuple{Vector3{}, Quaternion{0.999999, 0, 0, 0},
                   "rotation is not a unit quaternion (norm: 0.999999)"},
        std::tuple{Vector3{}, Quaternion{1.1, 0, 0, 0},
                   "rotation is not a unit quaternion (norm: 1.1)"},
        std::tuple{Vector3{}, Quaternion{0, 0, 0, 0},
                   "rotation is not a unit quaternion (norm: 0)"},
        std::tuple{Vector3{}, Quaternion{1e200, 0, 0, 0},
                   "rotation is not a unit quaternion (norm: inf)"},
        std::tuple{Vector3{0, NaN, 0}, Quaternion{}, "transform contains non-finite values"},
        std::tuple{Vector3{}, Quaternion{0, 0, 0, -INF}, "transform contains non-finite values"}));

class TransformComposeStamp
    : public ::testing::TestWithParam<std::tuple<u128, u128, u128, const char*>> {};

TEST_P(TransformComposeStamp, StaticLinksTakeTheOtherStamp) {
  const auto& [lhs_ns, rhs_ns, expected_ns, expected_error] = GetParam();
  const auto result = geo::compose(tf("a", "b", lhs_ns), tf("b", "c", rhs_ns));
  EXPECT_EQ(error_text(result), expected_error);
  if (result) {
    EXPECT_EQ(result->timestamp, Timestamp{expected_ns});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransformComposeStamp,
    ::testing::Values(std::tuple{u128{0}, 5 * S, 5 * S, ""}, std::tuple{5 * S, u128{0}, 5 * S, ""},
                      std::tuple{u128{0}, u128{0}, u128{0}, ""},
                      std::tuple{2 * S, 2 * S, 2 * S, ""},
                      std::tuple{1 * S, 2 * S, u128{0},
                                 "transform timestamps do not match (lhs: 1, rhs: 2)"}));

TEST(TransformCompose, ChecksStampsThenFrames) {
  EXPECT_EQ(error_text(geo::compose(tf("a", "b", 1 * S), tf("x", "y", 2 * S))),
            "transform timestamps do not match (lhs: 1, rhs: 2)");
  EXPECT_EQ(error_text(geo::compose(tf("a", "b", 0), tf("b", "b", 0))),
            "cannot multiply transforms with the same frame");
  EXPECT_EQ(error_text(geo::compose(tf("a", "b", 0), tf("a", "c", 0))),
            "frames do not have a parent-child relationship");
  // The child of lhs must be the parent of rhs, not the other way round.
  EXPECT_EQ(error_text(geo::compose(tf("b", "c", 0), tf("a", "b", 0))),
            "frames do not have a parent-child relationship");
}

TEST(TransformCompose, MovesTheChildThroughTheParent) {
  const Quaternion quarter_z = about(std::numbers::pi / 2, 0, 0, 1);
  const Transform a_T_c =
      value_of(geo::compose(tf("a", "b", 0, {1, 0, 0}, quarter_z), tf("b", "c", 0, {1, 0, 0})));
  EXPECT_EQ(a_T_c.parent, "a");
  EXPECT_EQ(a_T_c.child, "c");
  EXPECT_TRUE(near(a_T_c.translation, {1, 1, 0}));
  EXPECT_TRUE(near(a_T_c.rotation, quarter_z));
}

TEST(TransformInverse, RenormalisesOrRefusesTheRotation) {
  EXPECT_EQ(value_of(geo::inverse(tf("a", "b", 3, {1, -2, 3}, {2, 0, 0, 0}))),
            tf("b", "a", 3, {-1, 2, -3}));
  EXPECT_EQ(error_text(geo::inverse(tf("a", "b", 3, {}, {0, 0, 0, 0}))),
            "quaternion error: cannot normalize a zero-length quaternion");
  EXPECT_EQ(error_text(geo::inverse(tf("a", "b", 3, {}, {NaN, 0, 0, 0}))),
            "quaternion error: quaternion has non-finite components");
}

// Rotations: identity, 1e-9 rad, a half turn, a generic one and its negation.
const std::vector<Quaternion> ROTATIONS = {Quaternion::identity(), about(1e-9, 1, 0, 0),
                                           about(std::numbers::pi, 0, 0.6, 0.8),
                                           about(0.3, 1, 2, 3), about(0.3, -1, -2, -3)};

class TransformLaws : public ::testing::TestWithParam<std::tuple<Quaternion, Quaternion>> {};

TEST_P(TransformLaws, InverseUndoesAndComposeChains) {
  const auto& [q1, q2] = GetParam();
  const Transform a_T_b = tf("a", "b", 7 * S, {0.5, -1, 2}, q1);
  const Transform b_T_c = tf("b", "c", 7 * S, {-3, 0.25, 1}, q2);
  const Vector3 p{1.5, 2, -0.75};

  const Transform b_T_a = value_of(geo::inverse(a_T_b));
  EXPECT_EQ(b_T_a.parent, "b");
  EXPECT_EQ(b_T_a.child, "a");
  EXPECT_EQ(b_T_a.timestamp, a_T_b.timestamp);
  EXPECT_TRUE(near(apply(b_T_a, apply(a_T_b, p)), p));
  const Transform again = value_of(geo::inverse(b_T_a));
  EXPECT_TRUE(near(again.translation, a_T_b.translation));
  EXPECT_TRUE(near(again.rotation, a_T_b.rotation));

  const Transform a_T_a = value_of(geo::compose(a_T_b, b_T_a));
  EXPECT_TRUE(near(a_T_a.translation, {}));
  EXPECT_TRUE(near(a_T_a.rotation, Quaternion::identity()));

  const Transform a_T_c = value_of(geo::compose(a_T_b, b_T_c));
  EXPECT_TRUE(near(apply(a_T_c, p), apply(a_T_b, apply(b_T_c, p))));
}

INSTANTIATE_TEST_SUITE_P(Rotations, TransformLaws,
                         ::testing::Combine(::testing::ValuesIn(ROTATIONS),
                                            ::testing::ValuesIn(ROTATIONS)));

TEST(TransformInterpolate, ChecksOrderRangeThenFrames) {
  const Transform one = tf("a", "b", 1 * S);
  const Transform two = tf("a", "b", 2 * S);
  EXPECT_EQ(error_text(geo::interpolate(one, two, Timestamp{3 * S})),
            "requested timestamp 3 is outside the covered range [1, 2]");
  EXPECT_EQ(error_text(geo::interpolate(one, two, Timestamp{1 * S - 1})),
            "requested timestamp 0.999999999 is outside the covered range [1, 2]");
  EXPECT_EQ(error_text(geo::interpolate(two, one, Timestamp{3 * S})),
            "transform timestamps do not match (lhs: 2, rhs: 1)");
  EXPECT_EQ(error_text(geo::interpolate(one, tf("a", "c", 2 * S), Timestamp{3 * S})),
            "requested timestamp 3 is outside the covered range [1, 2]");
  EXPECT_EQ(error_text(geo::interpolate(one, tf("a", "c", 2 * S), Timestamp{2 * S})),
            "frames do not have a parent-child relationship");
  EXPECT_EQ(error_text(geo::interpolate(one, tf("x", "b", 2 * S), Timestamp{2 * S})),
            "frames do not have a parent-child relationship");
  const u128 too_long = (S << 64) + 1;
  EXPECT_EQ(error_text(geo::interpolate(tf("a", "b", 1), tf("a", "b", too_long), Timestamp{2})),
            "timestamp error: duration overflow");
}

TEST(TransformInterpolate, BlendsBetweenInclusiveEnds) {
  const Quaternion quarter_z = about(std::numbers::pi / 2, 0, 0, 1);
  const Transform early = tf("a", "b", 1 * S, {0.1, 0.2, 0.3});
  const Transform late = tf("a", "b", 3 * S, {2.1, 4.2, 6.3}, quarter_z);

  const Transform mid = value_of(geo::interpolate(early, late, Timestamp{2 * S}));
  EXPECT_EQ(mid.timestamp, Timestamp{2 * S});
  EXPECT_TRUE(near(mid.translation, {1.1, 2.2, 3.3}));
  EXPECT_TRUE(near(mid.rotation, about(std::numbers::pi / 4, 0, 0, 1)));

  EXPECT_EQ(value_of(geo::interpolate(early, late, Timestamp{1 * S})).translation,
            early.translation);
  EXPECT_EQ(value_of(geo::interpolate(early, late, Timestamp{3 * S})).translation,
            late.translation);
  // Two samples at one stamp: the earlier comes back untouched, even off unit length.
  const Transform off_unit = tf("a", "b", 1 * S, {1, 2, 3}, {1.0000005, 0, 0, 0});
  EXPECT_EQ(value_of(geo::interpolate(off_unit, early, Timestamp{1 * S})), off_unit);
}

TEST(TransformIdentity, KeepsParentThenChild) {
  EXPECT_EQ(geo::identity("map", "odom", Timestamp{4}), tf("map", "odom", 4));
}

}  // namespace
