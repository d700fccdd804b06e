#include "quilm_tf/across_time.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "../testing.hpp"

namespace quilm_tf {
namespace {

using frames::geometry::Quaternion;
using testing_support::text;

constexpr u128 S = 1'000'000'000;

TEST(ComposeRigid, SumsEachEntryFromZeroInOrder) {
  // Row 0 of a times column 3 of b, left to right from zero; every product of entry (0, 1)
  // is -0, which a sum from +0 makes +0.
  const Matrix4 a{{0.1, 0.2, 0.7, -1.0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
  const Matrix4 b{{1, -0.0, 0, 0.2, 0, -0.0, 0, 0.1, 0, -0.0, 1, 0.3, 0, 0, 0, 1}};
  const Matrix4 c = compose_rigid(a, b);
  EXPECT_EQ(c(0, 3), ((((0.0 + 0.1 * 0.2) + 0.2 * 0.1) + 0.7 * 0.3) + -1.0 * 1.0));
  EXPECT_FALSE(std::signbit(c(0, 1))) << "-0 kept";
  EXPECT_EQ(c(3, 3), 1.0);
}

TEST(AcrossTime, ComposesTheTwoLookupsAndReportsTheFromSideFirst) {
  TransformBuffer buffer(frames::time::Duration{10, 0});
  const double half = 0.3;
  ASSERT_TRUE(buffer.insert_isometry("map", "base", {{1, 0, 0, 0}, {1, 0, 0}}, 2 * S, false));
  ASSERT_TRUE(buffer.insert_isometry(
      "map", "base", {Quaternion{std::cos(half), 0, 0, std::sin(half)}, {3, 1, 0}}, 4 * S, false));
  AcrossTime across(buffer, "base", "base", "map", 4 * S);
  const Matrix4 map_T_base_2 = isometry_to_matrix4(*buffer.lookup_ns("base", "map", 2 * S));
  const Matrix4 base_T_map_4 = isometry_to_matrix4(*buffer.lookup_ns("map", "base", 4 * S));
  EXPECT_EQ(*across.matrix_at_ns(2 * S), compose_rigid(base_T_map_4, map_T_base_2));

  AcrossTime both_bad(buffer, "base", "base", "map", 9 * S);
  EXPECT_EQ(text(both_bad.matrix_at_ns(S)).substr(0, 45),
            R"(failed to look up transform from "base" to "m)");
  AcrossTime to_bad(buffer, "base", "mars", "map", 3 * S);
  EXPECT_EQ(text(to_bad.matrix_at_ns(3 * S)).substr(0, 45),
            R"(failed to look up transform from "map" to "ma)");
}

}  // namespace
}  // namespace quilm_tf
