#include "frames/geometry/transform.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "frames/core/history.hpp"
#include "geometry_testing.hpp"

namespace {

using namespace geometry_testing;
using frames::core::BufferError;
using frames::geometry::Transform;
using frames::geometry::TransformError;
using frames::time::Timestamp;
using frames::time::u128;
namespace geo = frames::geometry;
namespace te = frames::geometry::transform_error;

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
  const Vector3 r = geo::rotate_vector(parent_T_child.rotation, p);
  const Vector3& t = parent_T_child.translation;
  return {r.x + t.x, r.y + t.y, r.z + t.z};
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
                te::LookupFailed{"a", "b", "c", frames::Box<BufferError>(OUT_OF_RANGE_IN_HISTORY)}},
            "transform not found from a to b (frame c: transform error: requested timestamp 3 "
            "is outside the covered range [1, 2])"},
        std::pair{TransformError{te::EmptyTree{}}, "transform tree is empty"},
        std::pair{TransformError{te::TimeFailure{frames::time::TimeError::DurationOverflow}},
                  "timestamp error: duration overflow"},
        std::pair{TransformError{te::QuaternionFailure{geo::QuaternionError::ZeroLength}},
                  "quaternion error: cannot normalize a zero-length quaternion"}));

class TransformValidate
    : public ::testing::TestWithParam<std::tuple<Vector3, double, const char*>> {};

TEST_P(TransformValidate, ChecksFinitenessThenUnitNorm) {
  const auto& [translation, w, expected] = GetParam();
  EXPECT_EQ(error_text(geo::validate(tf("a", "b", 1, translation, {w, 0, 0, 0}))), expected);
}

// 1.000001 and 0.9999990000000001 are the farthest doubles from 1 within the tolerance
// (no double lies exactly 1e-6 away); their outer neighbours fail.
INSTANTIATE_TEST_SUITE_P(
    Cases, TransformValidate,
    ::testing::Values(std::tuple{Vector3{1, 2, 3}, 1.000001, ""},
                      std::tuple{Vector3{}, 0.9999990000000001, ""},
                      std::tuple{Vector3{}, 1.0000010000000001,
                                 "rotation is not a unit quaternion (norm: 1.0000010000000001)"},
                      std::tuple{Vector3{}, 0.999999,
                                 "rotation is not a unit quaternion (norm: 0.999999)"},
                      std::tuple{Vector3{}, 1.1, "rotation is not a unit quaternion (norm: 1.1)"},
                      std::tuple{Vector3{}, 0.0, "rotation is not a unit quaternion (norm: 0)"},
                      std::tuple{Vector3{}, 1e200, "rotation is not a unit quaternion (norm: inf)"},
                      std::tuple{Vector3{0, NaN, 0}, 1.0, "transform contains non-finite values"},
                      std::tuple{Vector3{}, -INF, "transform contains non-finite values"}));

class TransformComposeStamp : public ::testing::TestWithParam<std::tuple<u128, u128, u128>> {};

TEST_P(TransformComposeStamp, StaticLinksTakeTheOtherStamp) {
  const auto& [lhs_ns, rhs_ns, expected_ns] = GetParam();
  const Transform a_T_c = value_of(geo::compose(tf("a", "b", lhs_ns), tf("b", "c", rhs_ns)));
  EXPECT_EQ(a_T_c.timestamp, Timestamp{expected_ns});
}

INSTANTIATE_TEST_SUITE_P(Cases, TransformComposeStamp,
                         ::testing::Values(std::tuple{u128{0}, 5 * S, 5 * S},
                                           std::tuple{5 * S, u128{0}, 5 * S},
                                           std::tuple{u128{0}, u128{0}, u128{0}},
                                           std::tuple{2 * S, 2 * S, 2 * S}));

TEST(TransformCompose, ChecksStampsThenFrames) {
  const auto error = [](const Transform& lhs, const Transform& rhs) {
    return error_text(geo::compose(lhs, rhs));
  };
  const char* not_parent_child = "frames do not have a parent-child relationship";
  EXPECT_EQ(error(tf("a", "b", 1 * S), tf("x", "y", 2 * S)),
            "transform timestamps do not match (lhs: 1, rhs: 2)");
  EXPECT_EQ(error(tf("a", "b", 0), tf("b", "b", 0)),
            "cannot multiply transforms with the same frame");
  EXPECT_EQ(error(tf("a", "b", 0), tf("a", "c", 0)), not_parent_child);
  EXPECT_EQ(error(tf("b", "c", 0), tf("a", "b", 0)), not_parent_child);
}

TEST(TransformCompose, MovesTheChildThroughTheParent) {
  const Quaternion quarter_z = about(std::numbers::pi / 2, 0, 0, 1);
  const Transform a_T_c =
      value_of(geo::compose(tf("a", "b", 0, {1, 0, 0}, quarter_z), tf("b", "c", 0, {1, 0, 0})));
  EXPECT_EQ(a_T_c.parent + ">" + a_T_c.child, "a>c");
  EXPECT_TRUE(near(a_T_c.translation, {1, 1, 0}));
  EXPECT_TRUE(near(a_T_c.rotation, quarter_z));
  EXPECT_EQ(geo::identity("a", "b", Timestamp{4}), tf("a", "b", 4));
}

TEST(TransformInverse, RenormalisesOrRefusesTheRotation) {
  EXPECT_EQ(value_of(geo::inverse(tf("a", "b", 3, {1, -2, 3}, {2, 0, 0, 0}))),
            tf("b", "a", 3, {-1, 2, -3}));
  EXPECT_EQ(error_text(geo::inverse(tf("a", "b", 3, {}, {0, 0, 0, 0}))),
            "quaternion error: cannot normalize a zero-length quaternion");
  EXPECT_EQ(error_text(geo::inverse(tf("a", "b", 3, {}, {NaN, 0, 0, 0}))),
            "quaternion error: quaternion has non-finite components");
}

class TransformLaws : public ::testing::TestWithParam<RotationPair> {};

TEST_P(TransformLaws, InverseUndoesAndComposeChains) {
  const Transform a_T_b = tf("a", "b", 7 * S, {0.5, -1, 2}, std::get<0>(GetParam()).second);
  const Transform b_T_c = tf("b", "c", 7 * S, {-3, 0.25, 1}, std::get<1>(GetParam()).second);
  const Vector3 p{1.5, 2, -0.75};

  const Transform b_T_a = value_of(geo::inverse(a_T_b));
  EXPECT_EQ(std::tie(b_T_a.parent, b_T_a.child, b_T_a.timestamp),
            std::tie(a_T_b.child, a_T_b.parent, a_T_b.timestamp));
  EXPECT_TRUE(near(apply(b_T_a, apply(a_T_b, p)), p));
  const Transform a_T_b_again = value_of(geo::inverse(b_T_a));
  EXPECT_TRUE(near(a_T_b_again.translation, a_T_b.translation));
  EXPECT_TRUE(near(a_T_b_again.rotation, a_T_b.rotation));

  const Transform a_T_a = value_of(geo::compose(a_T_b, b_T_a));
  EXPECT_TRUE(near(a_T_a.translation, {}));
  EXPECT_TRUE(near(a_T_a.rotation, Quaternion::identity()));
  const Transform a_T_c = value_of(geo::compose(a_T_b, b_T_c));
  EXPECT_TRUE(near(apply(a_T_c, p), apply(a_T_b, apply(b_T_c, p))));
}

INSTANTIATE_TEST_SUITE_P(Rotations, TransformLaws, rotation_pairs(), rotation_pair_name);

TEST(TransformInterpolate, ChecksOrderRangeFramesThenSpan) {
  const auto error = [](const Transform& earlier, const Transform& later, u128 time_ns) {
    return error_text(geo::interpolate(earlier, later, Timestamp{time_ns}));
  };
  const Transform one = tf("a", "b", 1 * S);
  EXPECT_EQ(error(one, tf("a", "b", 2 * S), 3 * S),
            "requested timestamp 3 is outside the covered range [1, 2]");
  EXPECT_EQ(error(one, tf("a", "b", 2 * S), 1 * S - 1),
            "requested timestamp 0.999999999 is outside the covered range [1, 2]");
  EXPECT_EQ(error(tf("a", "b", 2 * S), one, 3 * S),
            "transform timestamps do not match (lhs: 2, rhs: 1)");
  EXPECT_EQ(error(one, tf("a", "c", 2 * S), 3 * S),
            "requested timestamp 3 is outside the covered range [1, 2]");
  EXPECT_EQ(error(one, tf("a", "c", 2 * S), 2 * S),
            "frames do not have a parent-child relationship");
  EXPECT_EQ(error(one, tf("x", "b", 2 * S), 2 * S),
            "frames do not have a parent-child relationship");
  EXPECT_EQ(error(tf("a", "b", 1), tf("a", "b", (S << 64) + 1), 2),
            "timestamp error: duration overflow");
}

TEST(TransformInterpolate, BlendsBetweenInclusiveEnds) {
  const Transform early = tf("a", "b", 1 * S, {0.1, 0.2, 0.3});
  const Transform late = tf("a", "b", 3 * S, {2.1, 4.2, 6.3}, about(std::numbers::pi / 2, 0, 0, 1));
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

}  // namespace
