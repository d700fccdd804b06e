#include "quilm_tf/buffer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>

namespace {

using frames::geometry::Quaternion;
using quilm_tf::Isometry;
using quilm_tf::TransformBuffer;
using quilm_tf::u128;

constexpr u128 S = 1'000'000'000;  // one second in nanoseconds
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

Isometry at(double x, double y = 0, double z = 0, Quaternion q = {1, 0, 0, 0}) {
  return {q, {x, y, z}};
}

TransformBuffer service() { return TransformBuffer(frames::time::Duration{10, 0}); }

template <class T>
std::string message_of(const frames::Result<T, quilm_tf::TransformBufferError>& result) {
  return result ? "ok" : quilm_tf::to_string(result.error());
}

struct NameCase {
  std::string name;
  std::string expected;  // the normalised name, or the error text
};

class NormalizeFrame : public ::testing::TestWithParam<NameCase> {};

TEST_P(NormalizeFrame, StripsLeadingSlashesOnly) {
  const auto result = quilm_tf::normalize_frame(GetParam().name);
  EXPECT_EQ(result ? *result : quilm_tf::to_string(result.error()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, NormalizeFrame,
    ::testing::Values(NameCase{"/map", "map"}, NameCase{"///map", "map"}, NameCase{"map", "map"},
                      NameCase{" map ", " map "},
                      NameCase{"", "invalid frame \"\": frame name must not be empty"},
                      NameCase{"///", "invalid frame \"///\": frame name must not be empty"},
                      NameCase{"/a/b", "invalid frame \"/a/b\": frame name must be unqualified"},
                      NameCase{"map/", "invalid frame \"map/\": frame name must be unqualified"},
                      NameCase{"a//b", "invalid frame \"a//b\": frame name must be unqualified"},
                      NameCase{"/q\"\\/",
                               "invalid frame \"/q\\\"\\\\/\": frame name must be unqualified"},
                      NameCase{"x\ny/",
                               "invalid frame \"x\\ny/\": frame name must be unqualified"}));

struct InsertCase {
  std::string parent;
  std::string child;
  Isometry pose;
  u128 stamp_ns;
  bool is_static;
  std::string expected;
};

class RefusedInsert : public ::testing::TestWithParam<InsertCase> {};

TEST_P(RefusedInsert, ReportsTheFirstFailingCheckAndStoresNothing) {
  const InsertCase& c = GetParam();
  TransformBuffer buffer = service();
  EXPECT_EQ(message_of(buffer.insert_isometry(c.parent, c.child, c.pose, c.stamp_ns, c.is_static)),
            c.expected);
  EXPECT_FALSE(buffer.can_transform_ns("base", "world", 5 * S));
}

const Quaternion LONG_ROTATION{1.1, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Checks, RefusedInsert,
    ::testing::Values(
        InsertCase{"world", "//world", at(1), 5 * S, false,
                   "invalid frame \"world\": a frame cannot be its own parent"},
        InsertCase{"", "base", at(NaN), 0, false,
                   "invalid frame \"\": frame name must not be empty"},
        InsertCase{"world", "a/b", at(NaN), 0, false,
                   "invalid frame \"a/b\": frame name must be unqualified"},
        InsertCase{"world", "base", at(NaN), 0, false, "transform contains a non-finite component"},
        InsertCase{"world", "base", at(0, 0, 0, {INF, 0, 0, 0}), 5 * S, true,
                   "transform contains a non-finite component"},
        InsertCase{"/world", "base", at(1), 0, false,
                   "dynamic transform \"world\" -> \"base\" has the reserved zero timestamp"},
        InsertCase{"wo\"rld", "ba\tse", at(1), 0, false,
                   "dynamic transform \"wo\\\"rld\" -> \"ba\\tse\" has the reserved zero "
                   "timestamp"},
        InsertCase{"world", "base", at(0, 0, 0, LONG_ROTATION), 5 * S, false,
                   "failed to insert transform \"world\" -> \"base\": transform error: rotation is "
                   "not a unit quaternion (norm: 1.1)"}));

TEST(TransformBuffer, RefusedInsertLeavesTheDynamicSetAlone) {
  TransformBuffer buffer = service();
  ASSERT_TRUE(buffer.insert_isometry("world", "base", at(1), 0, true));
  EXPECT_EQ(message_of(buffer.insert_isometry("odom", "base", at(2), 5 * S, false)),
            "failed to insert transform \"odom\" -> \"base\": re-parenting is not supported (the "
            "child frame's parent is world)");
  buffer.clear_dynamic();
  EXPECT_TRUE(buffer.can_transform_ns("base", "world", 5 * S));
}

TEST(TransformBuffer, LookupGivesThePoseOfFromInTo) {
  TransformBuffer buffer = service();
  const double h = std::numbers::sqrt2 / 2;
  ASSERT_TRUE(buffer.insert_isometry("/world", "/base", at(1, 0, 0, {h, 0, 0, h}), 0, true));

  const auto base_in_world = buffer.lookup_ns("base", "/world", 7 * S);
  ASSERT_TRUE(base_in_world) << message_of(base_in_world);
  EXPECT_NEAR(base_in_world->translation.x, 1, 1e-15);
  EXPECT_NEAR(base_in_world->translation.y, 0, 1e-15);
  EXPECT_NEAR(base_in_world->rotation.z, h, 1e-15);

  // The inverse: world's origin seen from base, which is turned by 90 degrees.
  const auto world_in_base = buffer.lookup_ns("world", "base", 7 * S);
  ASSERT_TRUE(world_in_base) << message_of(world_in_base);
  EXPECT_NEAR(world_in_base->translation.x, 0, 1e-15);
  EXPECT_NEAR(world_in_base->translation.y, 1, 1e-15);
  EXPECT_NEAR(world_in_base->rotation.z * world_in_base->rotation.w, -0.5, 1e-15);
}

struct LookupCase {
  std::string from;
  std::string to;
  u128 stamp_ns;
  std::string expected;
};

class Lookup : public ::testing::TestWithParam<LookupCase> {};

// world -> base covers 1 s to 2 s; laser is static though given a stamp; world -> far ->
// farther reaches past the largest double.
TEST_P(Lookup, AnswersAndCanTransformAgree) {
  TransformBuffer buffer = service();
  ASSERT_TRUE(buffer.insert_isometry("world", "base", at(0), 1 * S, false));
  ASSERT_TRUE(buffer.insert_isometry("world", "base", at(2), 2 * S, false));
  ASSERT_TRUE(buffer.insert_isometry("world", "laser", at(3), 123, true));
  ASSERT_TRUE(buffer.insert_isometry("world", "far", at(1e308), 0, true));
  ASSERT_TRUE(buffer.insert_isometry("far", "farther", at(1e308), 0, true));
  const LookupCase& c = GetParam();
  const auto pose = buffer.lookup_ns(c.from, c.to, c.stamp_ns);
  EXPECT_EQ(pose ? std::to_string(pose->translation.x) : quilm_tf::to_string(pose.error()),
            c.expected);
  EXPECT_EQ(buffer.can_transform_ns(c.from, c.to, c.stamp_ns), pose.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Lookup,
    ::testing::Values(
        LookupCase{"/base", "world", S * 3 / 2, "1.000000"},
        LookupCase{"laser", "world", 1, "3.000000"},
        LookupCase{"laser", "world", u128{1} << 100, "3.000000"},
        LookupCase{"mars", "//mars", 7, "0.000000"},  // equal names need no data
        LookupCase{"", "world", S, "invalid frame \"\": frame name must not be empty"},
        LookupCase{"base", "w/", S, "invalid frame \"w/\": frame name must be unqualified"},
        // The registry is asked with `to` first, so a missing `to` is named before `from`.
        LookupCase{"/odom", "/map", S,
                   "failed to look up transform from \"odom\" to \"map\": frame map does not "
                   "exist in the transform tree"},
        LookupCase{"base", "world", 3 * S,
                   "failed to look up transform from \"base\" to \"world\": transform not found "
                   "from world to base (frame base: transform error: requested timestamp 3 is "
                   "outside the covered range [1, 2])"},
        LookupCase{"farther", "world", S, "transform contains a non-finite component"}));

TEST(TransformBuffer, ClearDynamicDropsOnlyDynamicChildren) {
  TransformBuffer buffer = service();
  ASSERT_TRUE(buffer.insert_isometry("odom", "base", at(0), 1 * S, false));
  ASSERT_TRUE(buffer.insert_isometry("odom", "base", at(1), 2 * S, false));
  ASSERT_TRUE(buffer.insert_isometry("base", "laser", at(3), 0, true));

  buffer.clear_dynamic();
  EXPECT_TRUE(buffer.can_transform_ns("laser", "base", 9 * S));
  EXPECT_EQ(message_of(buffer.lookup_ns("base", "odom", S)),
            "failed to look up transform from \"base\" to \"odom\": frame odom does not exist in "
            "the transform tree");
  buffer.clear_dynamic();
  EXPECT_TRUE(buffer.can_transform_ns("laser", "base", 9 * S));

  // A cleared child comes back as a new one, under any parent, and is cleared again.
  ASSERT_TRUE(buffer.insert_isometry("world", "base", at(5), 5 * S, false));
  EXPECT_TRUE(buffer.can_transform_ns("laser", "world", 5 * S));
  buffer.clear_dynamic();
  EXPECT_FALSE(buffer.can_transform_ns("base", "world", 5 * S));
  EXPECT_TRUE(buffer.can_transform_ns("laser", "base", 5 * S));
}

}  // namespace
