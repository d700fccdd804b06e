#include "frames/core/registry.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "../../../../bench/scenario.hpp"

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
using time::u128;

Timestamp at_s(double seconds) { return Timestamp{static_cast<u128>(seconds * 1e9)}; }

// A link with a distinct, non-trivial motion, so swapped or dropped links show in results.
Transform edge(std::string parent, std::string child, Timestamp stamp = Timestamp{}, double x = 1.0) {
  const double angle = 0.1 * static_cast<double>(parent.size() + 3 * child.size());
  return Transform{{x, 0.5, -0.25}, Quaternion{std::cos(angle), std::sin(angle), 0.0, 0.0}, stamp,
                   std::move(parent), std::move(child)};
}

std::string outcome(const Result<void, BufferError>& result) {
  return result ? "ok" : to_string(result.error());
}
std::string outcome(const Result<Transform, geometry::TransformError>& result) {
  return result ? "ok" : geometry::to_string(result.error());
}

struct Insertion {
  const char* name;
  std::vector<Transform> before;
  Transform inserted;
  const char* message;
  std::vector<std::string> existing;  // frames that must exist afterwards
  std::vector<std::string> missing;   // frames that must not
};

class RegistryInsertion : public testing::TestWithParam<Insertion> {};

TEST_P(RegistryInsertion, ChecksInOrderAndLeavesNoTraceWhenRefused) {
  const Insertion& c = GetParam();
  Registry registry(Duration{10, 0});
  for (const Transform& t : c.before) ASSERT_EQ(outcome(registry.process_add_transform(t)), "ok");
  const std::size_t size = registry.size();
  const std::string result = outcome(registry.process_add_transform(c.inserted));
  EXPECT_EQ(result, c.message);
  if (result != "ok") {
    EXPECT_EQ(registry.size(), size);
  }
  for (const std::string& name : c.existing) EXPECT_TRUE(registry.frame_exists(name)) << name;
  for (const std::string& name : c.missing) EXPECT_FALSE(registry.frame_exists(name)) << name;
}

const char* const CYCLE = "inserting the transform would create a cycle in the frame tree";

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryInsertion,
    testing::Values(
        Insertion{"FirstInsertCreatesTheChild", {}, edge("world", "base"), "ok", {"world", "base"}, {}},
        Insertion{"DirectCycle", {edge("world", "base")}, edge("base", "world"), CYCLE, {"base", "world"}, {}},
        Insertion{"LongCycle", {edge("world", "base"), edge("base", "arm")}, edge("arm", "world"), CYCLE, {}, {}},
        Insertion{"ExistingChildSkipsTheCycleCheck", {edge("world", "base")}, edge("odom", "base"),
                  "re-parenting is not supported (the child frame's parent is world)", {}, {"odom"}},
        Insertion{"SelfParentLeavesNoTrace", {}, edge("base", "base"), "a frame cannot be its own parent", {}, {"base"}},
        Insertion{"SelfParentPassesTheCycleCheck", {edge("world", "base")}, edge("arm", "arm"),
                  "a frame cannot be its own parent", {}, {"arm"}},
        Insertion{"NonFiniteNewChildLeavesNoTrace", {edge("world", "base")},
                  Transform{{NAN, 0, 0}, {}, Timestamp{}, "base", "arm"},
                  "transform error: transform contains non-finite values", {"base"}, {"arm"}},
        Insertion{"NewRootIsAccepted", {edge("world", "base")}, edge("mars", "rover"), "ok", {"mars", "rover"}, {}},
        Insertion{"StaticOntoDynamicIsRefused", {edge("world", "base", at_s(1))}, edge("world", "base"),
                  "cannot mix static and dynamic transforms for the same child frame", {}, {}}),
    [](const testing::TestParamInfo<Insertion>& info) { return std::string(info.param.name); });

TEST(Registry, RemovingAFrameKeepsItsChildrenAndFreesItsName) {
  Registry registry(Duration{10, 0});
  ASSERT_TRUE(registry.process_add_transform(edge("world", "base")));
  ASSERT_TRUE(registry.process_add_transform(edge("base", "arm")));
  EXPECT_FALSE(registry.remove_frame("never"));
  EXPECT_TRUE(registry.remove_frame("base"));
  EXPECT_FALSE(registry.remove_frame("base"));
  EXPECT_EQ(registry.find("base"), nullptr);
  ASSERT_NE(registry.find("arm"), nullptr);
  EXPECT_EQ(registry.find("arm")->parent(), "base");
  EXPECT_TRUE(registry.frame_exists("base"));
  EXPECT_FALSE(registry.frame_exists("world"));
  EXPECT_EQ(outcome(registry.process_get_transform("arm", "world", Timestamp{})),
            "frame world does not exist in the transform tree");
  // base is a new child again: it may take another parent, and the cycle check applies.
  EXPECT_EQ(outcome(registry.process_add_transform(edge("arm", "base"))), CYCLE);
  EXPECT_EQ(outcome(registry.process_add_transform(edge("odom", "base"))), "ok");
  EXPECT_EQ(outcome(registry.process_get_transform("arm", "odom", Timestamp{})), "ok");
}

// Histories may arrive top-down or bottom-up; either way the walks reach the root.
TEST(Registry, ChildrenStoredBeforeTheirParentsHistoryAreReachable) {
  Registry registry(std::nullopt);
  ASSERT_TRUE(registry.process_add_transform(edge("elbow", "hand")));
  ASSERT_TRUE(registry.process_add_transform(edge("base", "arm")));
  ASSERT_TRUE(registry.process_add_transform(edge("arm", "elbow")));
  ASSERT_TRUE(registry.process_add_transform(edge("world", "base")));
  EXPECT_EQ(outcome(registry.process_get_transform("hand", "world", Timestamp{})), "ok");
  EXPECT_EQ(outcome(registry.process_add_transform(edge("hand", "world"))), CYCLE);
}

struct Lookup {
  const char* name;
  std::vector<Transform> stored;
  std::vector<std::string> removed;
  const char* from;
  const char* to;
  double time_s;
  const char* message;
};

class RegistryLookup : public testing::TestWithParam<Lookup> {};

TEST_P(RegistryLookup, ExplainsWhyNoTransformExists) {
  const Lookup& c = GetParam();
  Registry registry(Duration{10, 0});
  for (const Transform& t : c.stored) ASSERT_TRUE(registry.process_add_transform(t));
  for (const std::string& name : c.removed) ASSERT_TRUE(registry.remove_frame(name));
  EXPECT_EQ(outcome(registry.process_get_transform(c.from, c.to, at_s(c.time_s))), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Diagnoses, RegistryLookup,
    testing::Values(
        Lookup{"EmptyTreeNamesTheFirstFrame", {}, {}, "a", "b", 1, "frame a does not exist in the transform tree"},
        Lookup{"UnknownSecondFrame", {edge("world", "base")}, {}, "base", "mars", 1,
               "frame mars does not exist in the transform tree"},
        Lookup{"SeparateTrees", {edge("world", "base"), edge("home", "desk")}, {}, "base", "desk", 1,
               "no transform chain connects base and desk"},
        Lookup{"OutsideTheHistory", {edge("world", "base", at_s(1)), edge("world", "base", at_s(2))}, {}, "world",
               "base", 3,
               "transform not found from world to base (frame base: transform error: requested timestamp 3 is "
               "outside the covered range [1, 2])"},
        Lookup{"FirstFailureIsKept",
               {edge("world", "base", at_s(1)), edge("base", "arm", at_s(5)), edge("world", "cam", at_s(7))},
               {}, "arm", "cam", 3,
               "transform not found from arm to cam (frame arm: transform error: requested timestamp 3 is outside "
               "the covered range [5, 5])"},
        Lookup{"RemovedParentNoLongerExists", {edge("world", "base"), edge("base", "arm")}, {"base"}, "arm", "world",
               1, "frame world does not exist in the transform tree"},
        Lookup{"RemovedParentCutsTheChain", {edge("world", "base"), edge("base", "arm"), edge("world", "cam")},
               {"base"}, "arm", "world", 1, "no transform chain connects arm and world"},
        Lookup{"FailureAboveTheFramesIsForgiven", {edge("world", "base", at_s(1)), edge("base", "arm")}, {}, "base",
               "arm", 3, "ok"}),
    [](const testing::TestParamInfo<Lookup>& info) { return std::string(info.param.name); });

// root -> world -> base -> arm and world -> cam, half static and half dynamic. Walks from
// base and cam share the world link, which the lookup strips before joining them.
Registry small_tree() {
  Registry registry(Duration{10, 0});
  for (const Transform& t : {edge("root", "world", at_s(1), 3.0), edge("root", "world", at_s(3), 4.0),
                             edge("world", "base", at_s(1), 0.0), edge("world", "base", at_s(3), 2.0),
                             edge("base", "arm"), edge("world", "cam", at_s(1), 1.0), edge("world", "cam", at_s(3), -1.0)}) {
    EXPECT_TRUE(registry.process_add_transform(t));
  }
  return registry;
}

Transform sampled(const Registry& registry, const char* child, Timestamp time) {
  return *registry.find(child)->get(time);
}

Transform stamped(Transform t, Timestamp time) {
  t.timestamp = time;
  return t;
}

// Results are bit for bit what composing the sampled Transforms gives, whichever walk
// (chain A alone, chain B alone, or both through the common ancestor) produced them.
TEST(RegistryLookupResult, EqualsTheComposedTransformsForEveryWalk) {
  const Registry registry = small_tree();
  const Timestamp time = at_s(2.25);
  const Transform base = sampled(registry, "base", time);
  const Transform arm = sampled(registry, "arm", time);
  const Transform cam = sampled(registry, "cam", time);
  const Transform world_T_arm = *geometry::compose(base, arm);
  struct Case {
    const char* from;
    const char* to;
    Transform expected;
  };
  const Case cases[] = {
      {"world", "base", *geometry::inverse(*geometry::inverse(base))},
      {"base", "world", *geometry::inverse(base)},
      {"arm", "world", *geometry::inverse(world_T_arm)},
      {"world", "arm", *geometry::inverse(*geometry::compose(*geometry::inverse(arm), *geometry::inverse(base)))},
      {"base", "cam", *geometry::inverse(*geometry::compose(*geometry::inverse(cam), base))},
      {"arm", "cam", *geometry::inverse(*geometry::compose(*geometry::inverse(cam), world_T_arm))},
  };
  for (const Case& c : cases) {
    const Result<Transform, geometry::TransformError> got = registry.process_get_transform(c.from, c.to, time);
    ASSERT_TRUE(got) << c.from << " -> " << c.to << ": " << outcome(got);
    EXPECT_EQ(got->parent, c.from);
    EXPECT_EQ(got->child, c.to);
    EXPECT_EQ(*got, stamped(c.expected, time)) << c.from << " -> " << c.to;
  }
}

TEST(RegistryLookupResult, IdentityAndStaticChainsCarryTheRequestedTime) {
  Registry registry(std::nullopt);
  EXPECT_EQ(*registry.process_get_transform("ghost", "ghost", at_s(4)), geometry::identity("ghost", "ghost", at_s(4)));
  ASSERT_TRUE(registry.process_add_transform(edge("world", "base")));
  ASSERT_TRUE(registry.process_add_transform(edge("base", "arm")));
  for (const double s : {0.0, 1.0, 1e9}) {
    EXPECT_EQ(registry.process_get_transform("arm", "world", at_s(s))->timestamp, at_s(s));
  }
}

// In the robot arm, lookups across the tree agree with going through the root, and a
// transform composed with its reverse lookup is the identity.
TEST(RegistryLookupResult, RobotArmLookupsAgreeThroughTheRoot) {
  Registry registry(Duration{bench::HISTORY_SECONDS, 0});
  bench::for_each_sample(bench::DATA_SECONDS, [&](std::size_t i, std::uint64_t stamp, const bench::Pose& p) {
    const bench::Link& l = bench::ROBOT_ARM_LINKS[i];
    ASSERT_TRUE(registry.process_add_transform(Transform{{p.tx, p.ty, p.tz}, {p.qw, p.qx, p.qy, p.qz},
                                                         Timestamp{stamp}, std::string(l.parent), std::string(l.child)}));
  });
  for (const std::uint64_t stamp : bench::query_stamps(20, bench::START_NS, bench::START_NS + 10 * bench::NS_PER_SECOND)) {
    const Timestamp time{stamp};
    const Transform direct = *registry.process_get_transform("laser", "gripper", time);
    const Transform via_map = *geometry::compose(*registry.process_get_transform("laser", "map", time),
                                                 *registry.process_get_transform("map", "gripper", time));
    EXPECT_NEAR(direct.translation.x, via_map.translation.x, 1e-12);
    EXPECT_NEAR(direct.translation.y, via_map.translation.y, 1e-12);
    EXPECT_NEAR(direct.translation.z, via_map.translation.z, 1e-12);
    EXPECT_NEAR(std::abs(direct.rotation.w), std::abs(via_map.rotation.w), 1e-12);
    const Transform round = *geometry::compose(direct, *registry.process_get_transform("gripper", "laser", time));
    EXPECT_NEAR(round.translation.x, 0.0, 1e-12);
    EXPECT_NEAR(std::abs(round.rotation.w), 1.0, 1e-12);
  }
}

// Names are looked up as views and chains stay inline: with short names a successful
// lookup touches the heap not once.
TEST(RegistryLookupResult, SucceedsWithoutAllocatingForShortNames) {
  Registry registry(Duration{10, 0});
  bench::for_each_sample(2, [&](std::size_t i, std::uint64_t stamp, const bench::Pose& p) {
    const bench::Link& l = bench::ROBOT_ARM_LINKS[i];
    ASSERT_TRUE(registry.process_add_transform(Transform{{p.tx, p.ty, p.tz}, {p.qw, p.qx, p.qy, p.qz},
                                                         Timestamp{stamp}, std::string(l.parent), std::string(l.child)}));
  });
  const Timestamp time{bench::START_NS + bench::NS_PER_SECOND / 3};
  for (const bench::Query& q : bench::ROBOT_ARM_QUERIES) {
    counting = true;
    allocations = 0;
    const bool found = registry.process_get_transform(q.from, q.to, time).has_value();
    const bool known = registry.find(q.from) != nullptr || registry.find(q.to) != nullptr;
    counting = false;
    EXPECT_TRUE(found && known) << q.from << " -> " << q.to;
    EXPECT_EQ(allocations, 0) << q.from << " -> " << q.to;
  }
}

}  // namespace
}  // namespace frames::core
