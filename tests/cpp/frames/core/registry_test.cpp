#include "frames/core/registry.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace frames::core {
namespace {

using geometry::Quaternion;
using geometry::Transform;
using time::Duration;
using time::Timestamp;

Timestamp at_s(double seconds) { return Timestamp{static_cast<time::u128>(seconds * 1e9)}; }

// A link with a distinct, non-trivial motion, so swapped or dropped links show in results.
Transform edge(std::string parent, std::string child, Timestamp stamp = {}, double x = 1.0) {
  const double angle = 0.1 * static_cast<double>(parent.size() + 3 * child.size());
  const Quaternion rotation{std::cos(angle), std::sin(angle), 0.0, 0.0};
  return Transform{{x, 0.5, -0.25}, rotation, stamp, std::move(parent), std::move(child)};
}

std::string outcome(const Result<void, BufferError>& result) {
  return result ? "ok" : to_string(result.error());
}
std::string outcome(const Result<Transform, geometry::TransformError>& result) {
  return result ? "ok" : geometry::to_string(result.error());
}

const char* const CYCLE = "inserting the transform would create a cycle in the frame tree";
const Transform WORLD_BASE = edge("world", "base");
const Transform BASE_ARM = edge("base", "arm");

TEST(RegistryInsertion, ChecksCyclesOfNewChildrenAndLeavesNoTraceWhenRefused) {
  Registry registry(Duration{10, 0});
  ASSERT_TRUE(registry.process_add_transform(WORLD_BASE));
  EXPECT_EQ(outcome(registry.process_add_transform(edge("base", "world"))), CYCLE);
  ASSERT_TRUE(registry.process_add_transform(BASE_ARM));
  EXPECT_EQ(outcome(registry.process_add_transform(edge("arm", "world"))), CYCLE);
  // An existing child's own checks come first, though this would also close a loop.
  EXPECT_EQ(outcome(registry.process_add_transform(edge("arm", "base"))),
            "re-parenting is not supported (the child frame's parent is world)");
  EXPECT_EQ(outcome(registry.process_add_transform(Transform{{NAN, 0, 0}, {}, {}, "odom", "leg"})),
            "transform error: transform contains non-finite values");
  EXPECT_EQ(registry.size(), 2u);
  EXPECT_FALSE(registry.frame_exists("odom"));
}

TEST(Registry, RemovingAFrameKeepsItsChildrenAndFreesItsName) {
  Registry registry(Duration{10, 0});
  for (const Transform& t : {WORLD_BASE, BASE_ARM, edge("world", "cam")}) {
    ASSERT_TRUE(registry.process_add_transform(t));
  }
  EXPECT_FALSE(registry.remove_frame("never"));
  EXPECT_TRUE(registry.remove_frame("base"));
  EXPECT_TRUE(registry.frame_exists("base"));  // arm still names it
  EXPECT_EQ(outcome(registry.process_get_transform("arm", "world", {})),
            "no transform chain connects arm and world");
  EXPECT_TRUE(registry.remove_frame("cam"));
  EXPECT_FALSE(registry.frame_exists("world"));  // nothing names it any more
  // base is a new child again: it may take another parent, and the cycle check applies.
  EXPECT_EQ(outcome(registry.process_add_transform(edge("arm", "base"))), CYCLE);
  EXPECT_EQ(outcome(registry.process_add_transform(edge("odom", "base"))), "ok");
  EXPECT_EQ(outcome(registry.process_get_transform("arm", "odom", {})), "ok");
}

// Histories may arrive bottom-up; the walks still reach the root, either way through a
// chain longer than a lookup keeps inline.
TEST(Registry, ChildrenStoredBeforeTheirParentsHistoryAreReachable) {
  Registry registry(std::nullopt);
  for (int i = 40; i > 0; --i) {
    const Transform t = edge("f" + std::to_string(i - 1), "f" + std::to_string(i));
    ASSERT_TRUE(registry.process_add_transform(t));
  }
  EXPECT_EQ(outcome(registry.process_get_transform("f40", "f0", {})), "ok");
  EXPECT_EQ(outcome(registry.process_get_transform("f0", "f40", {})), "ok");
  EXPECT_EQ(outcome(registry.process_add_transform(edge("f40", "f0"))), CYCLE);
}

TEST(RegistryLookup, ExplainsWhyNoTransformExists) {
  struct Case {
    const char* name;
    std::vector<Transform> stored;
    const char* from;
    const char* to;
    const char* message;
  };
  const Transform cam = edge("world", "cam");
  for (const Case& c : {
           Case{"EmptyTreeNamesTheFirstFrame", {}, "a", "b",
                "frame a does not exist in the transform tree"},
           Case{"UnknownSecondFrame", {WORLD_BASE}, "base", "mars",
                "frame mars does not exist in the transform tree"},
           Case{"SeparateTrees", {WORLD_BASE, edge("home", "desk")}, "base", "desk",
                "no transform chain connects base and desk"},
           Case{"OutsideTheHistory",
                {edge("world", "base", at_s(1)), edge("world", "base", at_s(2))}, "world", "base",
                "transform not found from world to base (frame base: transform error: "
                "requested timestamp 3 is outside the covered range [1, 2])"},
           Case{"FirstFailureIsKept",
                {edge("world", "arm", at_s(5)), edge("world", "cam", at_s(7))}, "arm", "cam",
                "transform not found from arm to cam (frame arm: transform error: requested "
                "timestamp 3 is outside the covered range [5, 5])"},
           Case{"FailureAboveTheFramesIsForgiven", {edge("world", "base", at_s(1)), BASE_ARM},
                "base", "arm", "ok"},
           Case{"FailureAboveTheAncestorIsForgiven",
                {edge("root", "world", at_s(1)), WORLD_BASE, cam}, "base", "cam", "ok"},
       }) {
    SCOPED_TRACE(c.name);
    Registry registry(Duration{10, 0});
    for (const Transform& t : c.stored) ASSERT_TRUE(registry.process_add_transform(t));
    EXPECT_EQ(outcome(registry.process_get_transform(c.from, c.to, at_s(3))), c.message);
  }
}

// Results are bit for bit what composing the sampled Transforms in the lookup's order
// gives, whichever walk produced them: chain A alone, chain B alone, or both joined at the
// common ancestor after dropping the links above it that both sampled.
TEST(RegistryLookupResult, EqualsTheComposedTransformsForEveryWalk) {
  Registry registry(Duration{10, 0});
  for (const Transform& t :
       {edge("root", "world", at_s(1), 3.0), edge("root", "world", at_s(3), 4.0),
        edge("world", "base", at_s(1), 0.0), edge("world", "base", at_s(3), 2.0), BASE_ARM,
        edge("base", "laser"), edge("world", "cam", at_s(1), 1.0),
        edge("world", "cam", at_s(3), -1.0)}) {
    ASSERT_TRUE(registry.process_add_transform(t));
  }
  const Timestamp time = at_s(2.25);
  const auto sampled = [&](const char* child) { return *registry.find(child)->get(time); };
  const auto inv = [](const Transform& t) { return *geometry::inverse(t); };
  const auto mul = [](const Transform& a, const Transform& b) { return *geometry::compose(a, b); };
  const Transform base = sampled("base");
  const Transform arm = sampled("arm");
  const Transform world_T_arm = mul(base, arm);
  for (const auto& [from, to, expected] : {
           std::tuple{"base", "world", inv(base)},
           {"arm", "world", inv(world_T_arm)},
           {"world", "arm", inv(mul(inv(arm), inv(base)))},
           {"arm", "cam", inv(mul(inv(sampled("cam")), world_T_arm))},
           {"arm", "laser", inv(mul(inv(sampled("laser")), arm))},
       }) {
    Transform want = expected;
    want.timestamp = time;
    const auto got = registry.process_get_transform(from, to, time);
    ASSERT_TRUE(got) << from << " to " << to << ": " << outcome(got);
    EXPECT_EQ(*got, want) << from << " to " << to;
  }
}

TEST(RegistryLookupResult, IdentityAndStaticChainsCarryTheRequestedTime) {
  Registry registry(std::nullopt);
  ASSERT_TRUE(registry.process_add_transform(WORLD_BASE));
  ASSERT_TRUE(registry.process_add_transform(BASE_ARM));
  for (const auto& [from, to] : {std::pair{"ghost", "ghost"}, {"arm", "world"}}) {
    const auto got = registry.process_get_transform(from, to, at_s(1e9));
    ASSERT_TRUE(got) << outcome(got);
    EXPECT_EQ(got->timestamp, at_s(1e9)) << from;
  }
}

// Names inside messages are escaped like quoted names, so a newline or a terminal control
// in a frame name can neither forge a log line nor reach the terminal.
TEST(RegistryMessages, EscapeEveryName) {
  Registry registry(Duration{10, 0});
  for (const Transform& t : {edge("wor\"ld", "ba\nse", at_s(1)), edge("wor\"ld", "ba\nse", at_s(2)),
                             edge("ho\x1b[2Jme", "de\\sk")}) {
    ASSERT_TRUE(registry.process_add_transform(t));
  }
  EXPECT_EQ(outcome(registry.process_get_transform("wor\"ld", "ba\nse", at_s(3))),
            R"(transform not found from wor\"ld to ba\nse (frame ba\nse: transform error: )"
            R"(requested timestamp 3 is outside the covered range [1, 2]))");
  EXPECT_EQ(outcome(registry.process_get_transform("ba\nse", "de\\sk", at_s(1.5))),
            R"(no transform chain connects ba\nse and de\\sk)");
  EXPECT_EQ(outcome(registry.process_get_transform("ba\nse", "m\tars\r", {})),
            R"(frame m\tars\r does not exist in the transform tree)");
  EXPECT_EQ(outcome(registry.process_add_transform(edge("odom", "ba\nse", at_s(3)))),
            R"(re-parenting is not supported (the child frame's parent is wor\"ld))");
  EXPECT_EQ(to_string(BufferError{buffer_error::ChildMismatch{"ar\x1b]0;x\x07m"}}),
            R"(the buffer already stores a different child frame (ar\u{1b}]0;x\u{7}m))");
}

// Siblings leave their parent's list in any order, also after others joined it; the ones
// left are still found when the parent later gains a history of its own.
TEST(Registry, SiblingsRemovedInAnyOrderLeaveTheOthersLinked) {
  Registry registry(std::nullopt);
  for (const char* child : {"c0", "c1", "c2", "c3"}) ASSERT_TRUE(registry.process_add_transform(edge("world", child)));
  EXPECT_TRUE(registry.remove_frame("c0"));
  ASSERT_TRUE(registry.process_add_transform(edge("world", "c4")));
  for (const char* gone : {"c3", "c1"}) EXPECT_TRUE(registry.remove_frame(gone));
  // world's small tree goes below the end of a longer chain: no loop, either way found.
  const char* chain[] = {"r0", "r1", "r2", "r3", "r4", "r5", "world"};
  for (int i = 1; i < 7; ++i) ASSERT_TRUE(registry.process_add_transform(edge(chain[i - 1], chain[i])));
  for (const char* left : {"c2", "c4"}) EXPECT_EQ(outcome(registry.process_get_transform("r0", left, {})), "ok");
}

// Only interpolation can tell whether a gap too long for a Duration fails; the probe must
// leave it to the lookup rather than vouch for it.
TEST(RegistryProbe, LeavesGapsBeyond64BitsToTheLookup) {
  Registry registry(std::nullopt);
  ASSERT_TRUE(registry.process_add_transform(edge("world", "gap", Timestamp{1})));
  ASSERT_TRUE(registry.process_add_transform(edge("world", "gap", Timestamp{~time::u128{0}})));
  const Timestamp middle{time::u128{1} << 127};
  EXPECT_FALSE(registry.process_get_transform("world", "gap", middle).has_value());  // too long
  EXPECT_EQ(registry.probe_link("world", "gap", middle), Registry::Answer::Unsure);
  EXPECT_EQ(registry.probe_link("world", "gap", Timestamp{~time::u128{0}}), Registry::Answer::Succeeds);
}

}  // namespace
}  // namespace frames::core
