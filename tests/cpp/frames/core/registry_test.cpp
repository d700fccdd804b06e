#include "frames/core/registry.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

// Counts heap allocations while a test asks for it, to prove that lookups allocate nothing.
namespace {
bool counting = false;
long allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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
const char* const SELF = "a frame cannot be its own parent";
const Transform WORLD_BASE = edge("world", "base");
const Transform BASE_ARM = edge("base", "arm");

struct Insertion {
  const char* name;
  std::vector<Transform> before;
  Transform inserted;
  const char* message;
  std::vector<std::string> missing;  // frames that must not exist afterwards
};

class RegistryInsertion : public testing::TestWithParam<Insertion> {};

TEST_P(RegistryInsertion, ChecksInOrderAndLeavesNoTraceWhenRefused) {
  const Insertion& c = GetParam();
  Registry registry(Duration{10, 0});
  for (const Transform& t : c.before) ASSERT_EQ(outcome(registry.process_add_transform(t)), "ok");
  const std::size_t size = registry.size();
  EXPECT_EQ(outcome(registry.process_add_transform(c.inserted)), c.message);
  EXPECT_EQ(registry.size(), size);
  for (const std::string& name : c.missing) EXPECT_FALSE(registry.frame_exists(name)) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryInsertion,
    testing::Values(
        Insertion{"DirectCycle", {WORLD_BASE}, edge("base", "world"), CYCLE, {}},
        Insertion{"LongCycle", {WORLD_BASE, BASE_ARM}, edge("arm", "world"), CYCLE, {}},
        Insertion{"ExistingChildSkipsTheCycleCheck", {WORLD_BASE}, edge("odom", "base"),
                  "re-parenting is not supported (the child frame's parent is world)", {"odom"}},
        Insertion{"SelfParentLeavesNoTrace", {}, edge("base", "base"), SELF, {"base"}},
        Insertion{"SelfParentPassesTheCycleCheck", {WORLD_BASE}, edge("arm", "arm"), SELF, {"arm"}},
        Insertion{"NonFiniteNewChildLeavesNoTrace", {WORLD_BASE},
                  Transform{{NAN, 0, 0}, {}, {}, "base", "arm"},
                  "transform error: transform contains non-finite values", {"arm"}}),
    [](const testing::TestParamInfo<Insertion>& info) { return std::string(info.param.name); });

TEST(Registry, RemovingAFrameKeepsItsChildrenAndFreesItsName) {
  Registry registry(Duration{10, 0});
  ASSERT_TRUE(registry.process_add_transform(WORLD_BASE));
  ASSERT_TRUE(registry.process_add_transform(BASE_ARM));
  EXPECT_FALSE(registry.remove_frame("never"));
  EXPECT_TRUE(registry.remove_frame("base"));
  EXPECT_FALSE(registry.remove_frame("base"));
  EXPECT_EQ(registry.find("base"), nullptr);
  EXPECT_EQ(registry.find("arm")->parent(), "base");
  EXPECT_TRUE(registry.frame_exists("base"));
  EXPECT_FALSE(registry.frame_exists("world"));
  // base is a new child again: it may take another parent, and the cycle check applies.
  EXPECT_EQ(outcome(registry.process_add_transform(edge("arm", "base"))), CYCLE);
  EXPECT_EQ(outcome(registry.process_add_transform(edge("odom", "base"))), "ok");
  EXPECT_EQ(outcome(registry.process_get_transform("arm", "odom", {})), "ok");
}

// Histories may arrive top-down or bottom-up; either way the walks reach the root.
TEST(Registry, ChildrenStoredBeforeTheirParentsHistoryAreReachable) {
  Registry registry(std::nullopt);
  for (const Transform& t : {edge("elbow", "hand"), BASE_ARM, edge("arm", "elbow"), WORLD_BASE}) {
    ASSERT_TRUE(registry.process_add_transform(t));
  }
  EXPECT_EQ(outcome(registry.process_get_transform("hand", "world", {})), "ok");
  EXPECT_EQ(outcome(registry.process_add_transform(edge("hand", "world"))), CYCLE);
}

struct Lookup {
  const char* name;
  std::vector<Transform> stored;
  const char* removed;
  const char* from;
  const char* to;
  const char* message;
};

class RegistryLookup : public testing::TestWithParam<Lookup> {};

TEST_P(RegistryLookup, ExplainsWhyNoTransformExists) {
  const Lookup& c = GetParam();
  Registry registry(Duration{10, 0});
  for (const Transform& t : c.stored) ASSERT_TRUE(registry.process_add_transform(t));
  if (*c.removed != '\0') {
    ASSERT_TRUE(registry.remove_frame(c.removed));
  }
  EXPECT_EQ(outcome(registry.process_get_transform(c.from, c.to, at_s(3))), c.message);
}

const Transform CAM = edge("world", "cam");

INSTANTIATE_TEST_SUITE_P(
    Diagnoses, RegistryLookup,
    testing::Values(
        Lookup{"EmptyTreeNamesTheFirstFrame", {}, "", "a", "b",
               "frame a does not exist in the transform tree"},
        Lookup{"UnknownSecondFrame", {WORLD_BASE}, "", "base", "mars",
               "frame mars does not exist in the transform tree"},
        Lookup{"SeparateTrees", {WORLD_BASE, edge("home", "desk")}, "", "base", "desk",
               "no transform chain connects base and desk"},
        Lookup{"OutsideTheHistory",
               {edge("world", "base", at_s(1)), edge("world", "base", at_s(2))}, "", "world",
               "base",
               "transform not found from world to base (frame base: transform error: requested "
               "timestamp 3 is outside the covered range [1, 2])"},
        Lookup{"FirstFailureIsKept",
               {edge("world", "arm", at_s(5)), edge("world", "cam", at_s(7))}, "", "arm", "cam",
               "transform not found from arm to cam (frame arm: transform error: requested "
               "timestamp 3 is outside the covered range [5, 5])"},
        Lookup{"RemovedParentNoLongerExists", {WORLD_BASE, BASE_ARM}, "base", "arm", "world",
               "frame world does not exist in the transform tree"},
        Lookup{"RemovedParentCutsTheChain", {WORLD_BASE, BASE_ARM, CAM}, "base", "arm", "world",
               "no transform chain connects arm and world"},
        Lookup{"FailureAboveTheFramesIsForgiven", {edge("world", "base", at_s(1)), BASE_ARM}, "",
               "base", "arm", "ok"},
        Lookup{"FailureAboveTheAncestorIsForgiven",
               {edge("root", "world", at_s(1)), WORLD_BASE, CAM}, "", "base", "cam", "ok"}),
    [](const testing::TestParamInfo<Lookup>& info) { return std::string(info.param.name); });

// Results are bit for bit what composing the sampled Transforms in the lookup's order
// gives, whichever walk produced them: chain A alone, chain B alone, or both joined at the
// common ancestor after dropping the link above it (root -> world) that both sampled.
TEST(RegistryLookupResult, EqualsTheComposedTransformsForEveryWalk) {
  Registry registry(Duration{10, 0});
  for (const Transform& t :
       {edge("root", "world", at_s(1), 3.0), edge("root", "world", at_s(3), 4.0),
        edge("world", "base", at_s(1), 0.0), edge("world", "base", at_s(3), 2.0), BASE_ARM,
        edge("world", "cam", at_s(1), 1.0), edge("world", "cam", at_s(3), -1.0)}) {
    ASSERT_TRUE(registry.process_add_transform(t));
  }
  const Timestamp time = at_s(2.25);
  const auto sampled = [&](const char* child) { return *registry.find(child)->get(time); };
  const auto inv = [](const Transform& t) { return *geometry::inverse(t); };
  const auto mul = [](const Transform& a, const Transform& b) { return *geometry::compose(a, b); };
  const Transform base = sampled("base");
  const Transform arm = sampled("arm");
  const Transform cam = sampled("cam");
  const Transform world_T_arm = mul(base, arm);
  const std::pair<const char*, Transform> cases[] = {
      {"world>base", inv(inv(base))},
      {"base>world", inv(base)},
      {"arm>world", inv(world_T_arm)},
      {"world>arm", inv(mul(inv(arm), inv(base)))},
      {"base>cam", inv(mul(inv(cam), base))},
      {"arm>cam", inv(mul(inv(cam), world_T_arm))},
  };
  for (const auto& [names, expected] : cases) {
    const std::string from(names, std::string_view(names).find('>'));
    const std::string to(std::string_view(names).substr(from.size() + 1));
    Transform want = expected;
    want.timestamp = time;
    const auto got = registry.process_get_transform(from, to, time);
    ASSERT_TRUE(got) << names << ": " << outcome(got);
    EXPECT_EQ(*got, want) << names;
    EXPECT_EQ(want.parent + ">" + want.child, names);
  }
}

TEST(RegistryLookupResult, IdentityAndStaticChainsCarryTheRequestedTime) {
  Registry registry(std::nullopt);
  EXPECT_EQ(*registry.process_get_transform("ghost", "ghost", at_s(4)),
            geometry::identity("ghost", "ghost", at_s(4)));
  ASSERT_TRUE(registry.process_add_transform(WORLD_BASE));
  ASSERT_TRUE(registry.process_add_transform(BASE_ARM));
  for (const double s : {0.0, 1.0, 1e9}) {
    const auto got = registry.process_get_transform("arm", "world", at_s(s));
    ASSERT_TRUE(got) << outcome(got);
    EXPECT_EQ(got->timestamp, at_s(s));
  }
}

// Names are looked up as views and chains stay inline: with names of up to 15 bytes a
// successful lookup, up, down or across the tree, touches the heap not once.
TEST(RegistryLookupResult, SucceedsWithoutAllocatingForShortNames) {
  Registry registry(Duration{10, 0});
  const char* const names[] = {"map", "odom", "base_link", "torso", "shoulder", "elbow_joint_15b",
                               "wrist", "gripper"};
  for (std::size_t i = 1; i < std::size(names); ++i) {
    for (const double s : {1.0, 2.0}) {
      ASSERT_TRUE(registry.process_add_transform(edge(names[i - 1], names[i], at_s(s), s)));
    }
  }
  ASSERT_TRUE(registry.process_add_transform(edge("base_link", "camera")));
  for (const auto& [from, to] : {std::pair{"gripper", "map"}, {"map", "gripper"},
                                 {"camera", "gripper"}}) {
    counting = true;
    allocations = 0;
    const bool found = registry.process_get_transform(from, to, at_s(1.5)).has_value();
    counting = false;
    EXPECT_TRUE(found) << from << " -> " << to;
    EXPECT_EQ(allocations, 0) << from << " -> " << to;
  }
}

}  // namespace
}  // namespace frames::core
