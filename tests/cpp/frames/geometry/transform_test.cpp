#include "frames/geometry/transform.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "geometry_testing.hpp"

namespace frames::geometry {
namespace {

using namespace geometry_testing;
using time::u128;

constexpr u128 S = 1'000'000'000;

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
  const Vector3 r = rotate_vector(parent_T_child.rotation, p);
  const Vector3& t = parent_T_child.translation;
  return {r.x + t.x, r.y + t.y, r.z + t.z};
}

// 1.000001 and 0.9999990000000001 are the farthest doubles from 1 within the tolerance
// (no double lies exactly 1e-6 away); their outer neighbours fail.
TEST(TransformValidate, ChecksFinitenessThenUnitNorm) {
  const std::string non_unit = "rotation is not a unit quaternion (norm: ";
  for (const auto& [translation, w, expected] :
       {std::tuple{Vector3{1, 2, 3}, 1.000001, std::string()},
        {Vector3{}, 0.9999990000000001, ""},
        {Vector3{}, 1.0000010000000001, non_unit + "1.0000010000000001)"},
        {Vector3{}, 0.999999, non_unit + "0.999999)"},
        {Vector3{0, NaN, 0}, 2.0, "transform contains non-finite values"},
        {Vector3{}, -INF, "transform contains non-finite values"}}) {
    EXPECT_EQ(error_text(validate(tf("a", "b", 1, translation, {w, 0, 0, 0}))), expected);
  }
}

TEST(TransformCompose, ChecksStampsThenFramesAndKeepsTheDynamicStamp) {
  const auto error = [](const Transform& lhs, const Transform& rhs) {
    return error_text(compose(lhs, rhs));
  };
  const char* not_parent_child = "frames do not have a parent-child relationship";
  EXPECT_EQ(error(tf("a", "b", 1 * S), tf("x", "y", 2 * S)),
            "transform timestamps do not match (lhs: 1, rhs: 2)");
  EXPECT_EQ(error(tf("a", "b", 0), tf("b", "b", 0)),
            "cannot multiply transforms with the same frame");
  EXPECT_EQ(error(tf("a", "b", 0), tf("a", "c", 0)), not_parent_child);
  EXPECT_EQ(error(tf("b", "c", 0), tf("a", "b", 0)), not_parent_child);
  // A static link (stamp zero) takes the other's stamp, on either side.
  for (const auto& [lhs_ns, rhs_ns] : {std::pair{u128{0}, 5 * S}, {5 * S, u128{0}}}) {
    const Transform a_T_c = value_of(compose(tf("a", "b", lhs_ns), tf("b", "c", rhs_ns)));
    EXPECT_EQ(a_T_c.timestamp, Timestamp{5 * S});
  }
}

TEST(TransformInverse, RenormalisesOrRefusesTheRotation) {
  EXPECT_EQ(value_of(inverse(tf("a", "b", 3, {1, -2, 3}, {2, 0, 0, 0}))),
            tf("b", "a", 3, {-1, 2, -3}));
  EXPECT_EQ(error_text(inverse(tf("a", "b", 3, {}, {0, 0, 0, 0}))),
            "quaternion error: cannot normalize a zero-length quaternion");
}

class TransformLaws : public ::testing::TestWithParam<RotationPair> {};

TEST_P(TransformLaws, InverseUndoesAndComposeChains) {
  const Transform a_T_b = tf("a", "b", 7 * S, {0.5, -1, 2}, std::get<0>(GetParam()).second);
  const Transform b_T_c = tf("b", "c", 7 * S, {-3, 0.25, 1}, std::get<1>(GetParam()).second);
  const Vector3 p{1.5, 2, -0.75};
  EXPECT_TRUE(near(apply(value_of(inverse(a_T_b)), apply(a_T_b, p)), p));
  const Transform a_T_c = value_of(compose(a_T_b, b_T_c));
  EXPECT_EQ(a_T_c.parent + ">" + a_T_c.child, "a>c");
  EXPECT_TRUE(near(apply(a_T_c, p), apply(a_T_b, apply(b_T_c, p))));
}

INSTANTIATE_TEST_SUITE_P(Rotations, TransformLaws, rotation_pairs(), rotation_pair_name);

TEST(TransformInterpolate, ChecksOrderRangeFramesThenSpan) {
  const auto error = [](const Transform& earlier, const Transform& later, u128 time_ns) {
    return error_text(interpolate(earlier, later, Timestamp{time_ns}));
  };
  const Transform one = tf("a", "b", 1 * S);
  const char* not_parent_child = "frames do not have a parent-child relationship";
  EXPECT_EQ(error(tf("a", "b", 2 * S), one, 3 * S),
            "transform timestamps do not match (lhs: 2, rhs: 1)");
  EXPECT_EQ(error(one, tf("a", "b", 2 * S), 1 * S - 1),
            "requested timestamp 0.999999999 is outside the covered range [1, 2]");
  EXPECT_EQ(error(one, tf("a", "c", 2 * S), 3 * S),
            "requested timestamp 3 is outside the covered range [1, 2]");
  EXPECT_EQ(error(one, tf("a", "c", 2 * S), 2 * S), not_parent_child);
  EXPECT_EQ(error(one, tf("x", "b", 2 * S), 2 * S), not_parent_child);
  EXPECT_EQ(error(tf("a", "b", 1), tf("a", "b", (S << 64) + 1), 2),
            "timestamp error: duration overflow");
}

TEST(TransformInterpolate, BlendsBetweenInclusiveEnds) {
  const Transform early = tf("a", "b", 1 * S, {0.1, 0.2, 0.3});
  const Transform late = tf("a", "b", 3 * S, {2.1, 4.2, 6.3}, about(PI / 2, 0, 0, 1));
  const Transform quarter = value_of(interpolate(early, late, Timestamp{S * 3 / 2}));
  EXPECT_EQ(quarter.timestamp, Timestamp{S * 3 / 2});
  EXPECT_TRUE(near(quarter.translation, {0.6, 1.2, 1.8}));
  EXPECT_TRUE(near(quarter.rotation, about(PI / 8, 0, 0, 1)));
  for (const Transform& end : {early, late}) {
    EXPECT_EQ(value_of(interpolate(early, late, end.timestamp)).translation, end.translation);
  }
  // Two samples at one stamp: the earlier comes back untouched, even off unit length.
  const Transform off_unit = tf("a", "b", 1 * S, {1, 2, 3}, {1.0000005, 0, 0, 0});
  EXPECT_EQ(value_of(interpolate(off_unit, early, Timestamp{1 * S})), off_unit);
}

}  // namespace
}  // namespace frames::geometry
