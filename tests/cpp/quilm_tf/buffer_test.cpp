#include "quilm_tf/buffer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "frames/core/history.hpp"
#include "../testing.hpp"
#include "frames/format.hpp"

namespace quilm_tf {
namespace {

using frames::geometry::Quaternion;
using testing_support::text;

constexpr u128 S = 1'000'000'000;  // one second in nanoseconds
const Quaternion QUARTER_Z{std::numbers::sqrt2 / 2, 0, 0, std::numbers::sqrt2 / 2};

Isometry at(double x, Quaternion q = {1, 0, 0, 0}) { return {q, {x, 0, 0}}; }

// An accepted pose as "x y | w z" to six places (the rotations here are about z), else
// the error text.
std::string pose_of(const frames::Result<Isometry, TransformBufferError>& result) {
  if (!result) return text(result);
  const auto round = [](double v) {
    return frames::format_number(std::round(v * 1e6) / 1e6 + 0.0);  // + 0.0: no "-0"
  };
  const auto& [q, t] = *result;
  return round(t.x) + " " + round(t.y) + " | " + round(q.w) + " " + round(q.z);
}

TEST(TransformBuffer, RefusedInsertReportsTheFirstFailingCheckAndStoresNothing) {
  const char* const non_finite = "transform contains a non-finite component";
  for (const auto& [parent, child, pose, stamp_ns, is_static, expected] : {
           // The stamp's range comes first, and binds static inserts too.
           std::tuple{"", "", at(NAN), ROS_TIME_LIMIT_NS, true, STAMP_OUT_OF_RANGE},
           {"world", "//world", at(1), 5 * S, false,
            R"(invalid frame "world": a frame cannot be its own parent)"},
           {"", "base", at(NAN), u128{0}, false,
            R"(invalid frame "": frame name must not be empty)"},
           {"world", "a/b", at(NAN), u128{0}, false,
            R"(invalid frame "a/b": frame name must be unqualified)"},
           {"world", "base", at(NAN), u128{0}, false, non_finite},
           {"world", "base", at(0, {INFINITY, 0, 0, 0}), 5 * S, true, non_finite},
           {"/world", "base", at(1), u128{0}, false,
            R"(dynamic transform "world" -> "base" has the reserved zero timestamp)"},
           {"world", "base", at(0, {1.1, 0, 0, 0}), 5 * S, false,
            R"(failed to insert transform "world" -> "base": transform error: rotation is not )"
            R"(a unit quaternion (norm: 1.1))"},
       }) {
    TransformBuffer buffer(frames::time::Duration{10, 0});
    EXPECT_EQ(text(buffer.insert_isometry(parent, child, pose, stamp_ns, is_static)), expected);
    EXPECT_FALSE(buffer.can_transform_ns("base", "world", 5 * S));
  }
}

// world -> base covers 1 s to 2 s; laser is static though given a stamp, and turned a
// quarter about z; world -> far -> farther reaches past the largest double. Clearing the
// dynamic links drops only children that took dynamic data (odom -> laser is refused, so
// laser stays static); a cleared child comes back as a new one under any parent.
TEST(TransformBuffer, LooksUpThePoseOfFromInToAndClearsOnlyDynamicChildren) {
  TransformBuffer buffer(frames::time::Duration{10, 0});
  for (const auto& [parent, child, pose, stamp_ns, is_static] :
       {std::tuple{"world", "base", at(0), 1 * S, false}, {"world", "base", at(2), 2 * S, false},
        {"world", "laser", at(3, QUARTER_Z), u128{123}, true},
        {"world", "far", at(1e308), u128{0}, true}, {"far", "farther", at(1e308), u128{0}, true},
        {"odom", "robot", at(0), 1 * S, false}}) {
    ASSERT_TRUE(buffer.insert_isometry(parent, child, pose, stamp_ns, is_static));
  }
  const auto expect = [&](const char* from, const char* to, u128 stamp_ns,
                           const std::string& expected) {
    const auto pose = buffer.lookup_ns(from, to, stamp_ns);
    EXPECT_EQ(pose_of(pose), expected) << from << " in " << to;
    EXPECT_EQ(buffer.can_transform_ns(from, to, stamp_ns), pose.has_value()) << from;
  };
  const std::string not_found = R"(failed to look up transform from "base" to "world": )";
  expect("/base", "world", S * 3 / 2, "1 0 | 1 0");
  expect("laser", "world", 1, "3 0 | 0.707107 0.707107");
  expect("laser", "world", ROS_TIME_LIMIT_NS - 1, "3 0 | 0.707107 0.707107");
  expect("", "", ROS_TIME_LIMIT_NS, std::string(STAMP_OUT_OF_RANGE));
  expect("mars", "//mars", 7, "0 0 | 1 0");  // equal names need no data
  expect("", "world", S, R"(invalid frame "": frame name must not be empty)");
  expect("base", "/w/", S, R"(invalid frame "/w/": frame name must be unqualified)");
  // The registry is asked with `to` first, so a missing `to` is named before `from`.
  expect("/odom", "/map", S,
         R"(failed to look up transform from "odom" to "map": frame map does not exist in )"
         R"(the transform tree)");
  expect("farther", "world", S, "transform contains a non-finite component");
  EXPECT_EQ(text(buffer.insert_isometry("odom", "laser", at(2), 5 * S, false)),
            R"(failed to insert transform "odom" -> "laser": re-parenting is not supported )"
            R"((the child frame's parent is world))");
  buffer.clear_dynamic();
  expect("laser", "world", 9 * S, "3 0 | 0.707107 0.707107");
  expect("base", "world", S, not_found + "frame base does not exist in the transform tree");
  expect("robot", "odom", S,
         R"(failed to look up transform from "robot" to "odom": frame odom does not exist )"
         R"(in the transform tree)");
  ASSERT_TRUE(buffer.insert_isometry("laser", "base", at(5), 5 * S, false));
  expect("base", "world", 5 * S, "3 5 | 0.707107 0.707107");
}

// map -> odom covers 1 s to 3 s, odom -> base 2 s to 5 s, odom -> wheel 1 s to 4 s; laser
// and dock are static. world -> robot is a tree of its own.
TEST(TransformBuffer, LatestCommonTimeIsTheLeastNewestStampOfTheChainsDynamicLinks) {
  TransformBuffer buffer(frames::time::Duration{10, 0});
  using Insert = std::tuple<const char*, const char*, u128>;
  for (const auto& [parent, child, stamp] :
       {Insert{"map", "odom", 1 * S}, Insert{"map", "odom", 3 * S},
        Insert{"odom", "base", 2 * S}, Insert{"odom", "base", 5 * S},
        Insert{"odom", "wheel", 4 * S}, Insert{"odom", "wheel", 1 * S},
        Insert{"base", "laser", 0}, Insert{"map", "dock", 0}, Insert{"world", "robot", 2 * S},
        Insert{"world", "robot", 3 * S}}) {
    ASSERT_TRUE(buffer.insert_isometry(parent, child, at(1), stamp, stamp == 0));
  }
  constexpr u128 FAILS = ~u128{0};  // fails as a lookup at 2.5 s fails
  using Case = std::tuple<const char*, const char*, u128>;
  for (const auto& [from, to, expected] : {
           Case{"laser", "map", 3 * S}, Case{"map", "laser", 3 * S}, Case{"laser", "/odom", 5 * S},
           Case{"laser", "base", 0}, Case{"dock", "map", 0}, Case{"/mars", "mars", 0},
           Case{"laser", "dock", 3 * S}, Case{"base", "wheel", 4 * S},  // map -> odom off the chain
           Case{"robot", "laser", FAILS}, Case{"ghost", "moon", FAILS}, Case{"map", "", FAILS},
       }) {
    SCOPED_TRACE(std::string(from) + " in " + to);
    const auto latest = buffer.latest_common_time_ns(from, to);
    if (expected == FAILS) {
      ASSERT_FALSE(latest);
      EXPECT_EQ(to_string(latest.error()), text(buffer.lookup_ns(from, to, S * 5 / 2)));
    } else {
      ASSERT_TRUE(latest) << to_string(latest.error());
      EXPECT_EQ(*latest, expected);
      EXPECT_TRUE(buffer.can_transform_ns(from, to, *latest));
    }
  }
}

// can_transform_ns answers from the walks alone where it can, and where the arithmetic
// could decide (a translation beyond the bound it trusts) still exactly as lookup_ns;
// translations up to that bound compose without overflow.
TEST(TransformBuffer, CanTransformAgreesWithLookupWhereOnlyTheArithmeticDecides) {
  TransformBuffer buffer(frames::time::Duration{10, 0});
  for (int i = 1; i <= 40; ++i) {
    const std::string parent = "b" + std::to_string(i - 1), child = "b" + std::to_string(i);
    const Isometry bound = at(frames::core::TRANSLATION_BOUND);
    ASSERT_TRUE(buffer.insert_isometry(parent, child, bound, 0, true));
  }
  ASSERT_TRUE(buffer.insert_isometry("b0", "huge", at(1e308), 0, true));
  ASSERT_TRUE(buffer.insert_isometry("huge", "huger", at(1e308), 0, true));
  for (const auto& [from, stamp, ok] : {std::tuple{"huge", u128{5}, true},
                                        {"huger", u128{5}, false},
                                        {"b40", u128{5}, true}}) {
    EXPECT_EQ(buffer.lookup_ns(from, "b0", stamp).has_value(), ok) << from;
    EXPECT_EQ(buffer.can_transform_ns(from, "b0", stamp), ok);
    EXPECT_EQ(buffer.can_transform_ns("b0", from, stamp), ok);
  }
}

// Every chain shape (upwards, downwards, through a common ancestor, none) at stamps in any
// order, repeated, on samples, between them and outside: the batch gives lookup_ns's exact
// bits or error, and answers every stamp that succeeds without it.
TEST(BatchLookup, GivesLookupNsBitForBitAtStampsInAnyOrder) {
  TransformBuffer buffer(frames::time::Duration{10, 0});
  const auto turn = [](double a, double x) {
    return Isometry{{std::cos(a), std::sin(a), 0, 0}, {x, -x, 1}};
  };
  const char* const links[][2] = {
      {"world", "odom"}, {"odom", "base"}, {"arm", "hand"}, {"base", "cam"}};
  // 1.4 rad steps take either arc; every third is near identity. world -> odom ends first:
  // links above a join fail.
  for (int k = 0; k < 12; ++k) {
    const Isometry pose = turn(k * (k % 3 == 0 ? 1e-9 : 1.4), k);
    for (const auto& [parent, child] : links) {
      if (k > 8 && std::string_view(child) == "odom") continue;
      ASSERT_TRUE(buffer.insert_isometry(parent, child, pose, (k + 1) * S / 4, false));
    }
  }
  ASSERT_TRUE(buffer.insert_isometry("base", "arm", turn(0.3, 2), 0, true));
  ASSERT_TRUE(buffer.insert_isometry("lone", "x", turn(0.3, 2), 0, true));
  std::vector<u128> stamps{0, S / 4, S / 4, 3 * S, 3 * S + 1, S / 2, 1, 7 * S / 13};
  for (u128 seed = 1; stamps.size() < 400;) {
    stamps.push_back(S / 8 + (seed >> 64) % (3 * S));
    seed = seed * 6364136223846793005u + 1442695040888963407u;
  }
  const auto bytes = [](const auto& r) {  // the exact bits, or the error text
    return r ? std::string(reinterpret_cast<const char*>(&*r), sizeof(Isometry))
             : to_string(r.error());
  };
  const char* const pairs[][2] = {{"hand", "world"}, {"world", "hand"},  {"hand", "cam"},
                                  {"cam", "arm"},    {"arm", "base"},    {"/hand", "hand"},
                                  {"hand", "x"},     {"hand", "nowhere"}, {"", "hand"}};
  for (bool sorted : {false, true}) {
    if (sorted) std::sort(stamps.begin(), stamps.end());
    for (const auto& [from, to] : pairs) {
      BatchLookup lookups(buffer, from, to);
      for (const u128 stamp : stamps) {
        const auto expected = buffer.lookup_ns(from, to, stamp);
        const auto sampled = lookups.sampled_ns(stamp);
        ASSERT_EQ(bytes(lookups.lookup_ns(stamp)), bytes(expected)) << from << " " << to;
        ASSERT_EQ(sampled.has_value(), expected.has_value()) << from << " " << to;
        ASSERT_TRUE(!sampled || std::memcmp(&*sampled, &*expected, sizeof(Isometry)) == 0);
      }
    }
  }
}

}  // namespace
}  // namespace quilm_tf
