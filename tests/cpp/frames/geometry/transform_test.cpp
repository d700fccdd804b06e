#include "frames/geometry/transform.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "../../testing.hpp"
#include "geometry_testing.hpp"

namespace frames::geometry {
namespace {

using namespace geometry_testing;
using testing_support::text;
using time::u128;

constexpr u128 S = 1'000'000'000;

Transform tf(const char* parent, const char* child, u128 stamp_ns, Vector3 translation = {},
             Quaternion rotation = Quaternion::identity()) {
  return Transform{translation, rotation, Timestamp{stamp_ns}, parent, child};
}

// The transform, or NaNs (and a failure) when the operation refused.
Transform value_of(const frames::Result<Transform, TransformError>& result) {
  EXPECT_EQ(text(result), "ok");
  return result ? *result : Transform{{NAN, NAN, NAN}, {NAN, NAN, NAN, NAN}, {}, "", ""};
}

Vector3 apply(const Transform& parent_T_child, const Vector3& p) {
  const Vector3 r = rotate_vector(parent_T_child.rotation, p);
  const Vector3& t = parent_T_child.translation;
  return {r.x + t.x, r.y + t.y, r.z + t.z};
}

// Each refusal in the order the checks run. 1.000001 and 0.9999990000000001 are the
// farthest doubles from 1 within the unit tolerance (no double lies exactly 1e-6 away).
TEST(Transform, RefusesWithTheFirstFailingCheck) {
  const std::string non_unit = "rotation is not a unit quaternion (norm: ";
  const char* const not_parent_child = "frames do not have a parent-child relationship";
  const Transform one = tf("a", "b", 1 * S);
  for (const auto& [got, expected] : {
           std::pair{text(validate(tf("a", "b", 1, {1, 2, 3}, {1.000001, 0, 0, 0}))),
                     std::string("ok")},
           {text(validate(tf("a", "b", 1, {}, {0.9999990000000001, 0, 0, 0}))), "ok"},
           {text(validate(tf("a", "b", 1, {}, {1.0000010000000001, 0, 0, 0}))),
            non_unit + "1.0000010000000001)"},
           {text(validate(tf("a", "b", 1, {}, {0.999999, 0, 0, 0}))), non_unit + "0.999999)"},
           {text(validate(tf("a", "b", 1, {0, NAN, 0}, {2, 0, 0, 0}))),
            "transform contains non-finite values"},
           {text(validate(tf("a", "b", 1, {}, {-INFINITY, 0, 0, 0}))),
            "transform contains non-finite values"},
           {text(compose(one, tf("x", "y", 2 * S))),
            "transform timestamps do not match (lhs: 1, rhs: 2)"},
           {text(compose(tf("a", "b", 0), tf("b", "b", 0))),
            "cannot multiply transforms with the same frame"},
           {text(compose(tf("a", "b", 0), tf("a", "c", 0))), not_parent_child},
           {text(compose(tf("b", "c", 0), tf("a", "b", 0))), not_parent_child},
           {text(inverse(tf("a", "b", 3, {}, {0, 0, 0, 0}))),
            "quaternion error: cannot normalize a zero-length quaternion"},
           {text(interpolate(tf("a", "b", 2 * S), one, Timestamp{3 * S})),
            "transform timestamps do not match (lhs: 2, rhs: 1)"},
           {text(interpolate(one, tf("a", "b", 2 * S), Timestamp{S - 1})),
            "requested timestamp 0.999999999 is outside the covered range [1, 2]"},
           {text(interpolate(one, tf("a", "c", 2 * S), Timestamp{3 * S})),
            "requested timestamp 3 is outside the covered range [1, 2]"},
           {text(interpolate(one, tf("a", "c", 2 * S), Timestamp{2 * S})), not_parent_child},
           {text(interpolate(one, tf("x", "b", 2 * S), Timestamp{2 * S})), not_parent_child},
           {text(interpolate(tf("a", "b", 1), tf("a", "b", (S << 64) + 1), Timestamp{2})),
            "timestamp error: duration overflow"},
       }) {
    EXPECT_EQ(got, expected);
  }
}

class TransformLaws : public ::testing::TestWithParam<RotationPair> {};

// The inverse undoes, composing chains, and interpolation blends between inclusive ends.
TEST_P(TransformLaws, InverseUndoesComposeChainsAndInterpolationBlends) {
  const Transform a_T_b = tf("a", "b", 7 * S, {0.5, -1, 2}, std::get<0>(GetParam()).second);
  const Transform b_T_c = tf("b", "c", 7 * S, {-3, 0.25, 1}, std::get<1>(GetParam()).second);
  const Vector3 p{1.5, 2, -0.75};
  EXPECT_TRUE(near(apply(value_of(inverse(a_T_b)), apply(a_T_b, p)), p));
  const Transform a_T_c = value_of(compose(a_T_b, b_T_c));
  EXPECT_EQ(a_T_c.parent + ">" + a_T_c.child, "a>c");
  EXPECT_TRUE(near(apply(a_T_c, p), apply(a_T_b, apply(b_T_c, p))));
  const Transform later = tf("a", "b", 9 * S, {2.5, 3, -2}, std::get<1>(GetParam()).second);
  const Transform quarter = value_of(interpolate(a_T_b, later, Timestamp{S * 15 / 2}));
  EXPECT_EQ(quarter.timestamp, Timestamp{S * 15 / 2});
  EXPECT_TRUE(near(quarter.translation, {1, 0, 1}));
  EXPECT_TRUE(near(quarter.rotation, slerp(a_T_b.rotation, later.rotation, 0.25)));
  for (const Transform& end : {a_T_b, later}) {
    EXPECT_EQ(value_of(interpolate(a_T_b, later, end.timestamp)).translation, end.translation);
  }
}

INSTANTIATE_TEST_SUITE_P(Rotations, TransformLaws, rotation_pairs(), rotation_pair_name);

TEST(Transform, StaticStampYieldsAndOneStampReturnsTheEarlierSample) {
  // A static link (stamp zero) takes the other's stamp, on either side.
  for (const auto& [lhs_ns, rhs_ns] : {std::pair{u128{0}, 5 * S}, {5 * S, u128{0}}}) {
    const Transform a_T_c = value_of(compose(tf("a", "b", lhs_ns), tf("b", "c", rhs_ns)));
    EXPECT_EQ(a_T_c.timestamp, Timestamp{5 * S});
  }
  EXPECT_EQ(value_of(inverse(tf("a", "b", 3, {1, -2, 3}, {2, 0, 0, 0}))),
            tf("b", "a", 3, {-1, 2, -3}));
  // Two samples at one stamp: the earlier comes back untouched, even off unit length.
  const Transform off_unit = tf("a", "b", 1 * S, {1, 2, 3}, {1.0000005, 0, 0, 0});
  EXPECT_EQ(value_of(interpolate(off_unit, tf("a", "b", 1 * S), Timestamp{1 * S})), off_unit);
}

}  // namespace
}  // namespace frames::geometry
