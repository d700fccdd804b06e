#include "frames/core/history.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace frames::core {
namespace {

using geometry::Quaternion;
using geometry::Transform;
using time::Duration;
using time::Timestamp;
using time::u128;

constexpr u128 NS = 1'000'000'000;

Timestamp at_s(double seconds) { return Timestamp{static_cast<u128>(seconds * 1e9)}; }

Transform link(std::string parent, std::string child, Timestamp stamp, double x = 0.0,
               Quaternion rotation = Quaternion::identity()) {
  return Transform{{x, 0.0, 0.0}, rotation, stamp, std::move(parent), std::move(child)};
}

std::vector<u128> stored_stamps(const Buffer& buffer) {
  std::vector<u128> stamps;
  for (std::size_t i = 0; i < buffer.entries().size(); ++i) stamps.push_back(buffer.entries()[i].stamp_ns());
  return stamps;
}

std::string error_of(const Result<Transform, BufferError>& result) {
  return result ? "ok" : to_string(result.error());
}

TEST(HistoryBuffer, SamplesExactHitsInterpolatesAndNamesTheRangeWhenOutside) {
  Buffer buffer(std::nullopt);
  ASSERT_TRUE(buffer.insert(link("world", "base", at_s(1), 0.0)));
  ASSERT_TRUE(buffer.insert(link("world", "base", at_s(3), 2.0)));

  const Result<Transform, BufferError> mid = buffer.get(at_s(2));
  ASSERT_TRUE(mid);
  EXPECT_EQ(mid->translation.x, 1.0);
  EXPECT_EQ(mid->timestamp, at_s(2));
  EXPECT_EQ(mid->parent, "world");
  EXPECT_EQ(mid->child, "base");
  EXPECT_EQ(*buffer.get(at_s(1)), link("world", "base", at_s(1), 0.0));
  EXPECT_EQ(error_of(buffer.get(at_s(0.5))),
            "transform error: requested timestamp 0.5 is outside the covered range [1, 3]");
  EXPECT_EQ(error_of(buffer.get(at_s(4))),
            "transform error: requested timestamp 4 is outside the covered range [1, 3]");

  Buffer single(std::nullopt);
  ASSERT_TRUE(single.insert(link("world", "base", at_s(1))));
  EXPECT_TRUE(single.get(at_s(1)));
  EXPECT_EQ(error_of(single.get(at_s(2))),
            "transform error: requested timestamp 2 is outside the covered range [1, 1]");
  EXPECT_EQ(error_of(Buffer(std::nullopt).get(at_s(1))), "the buffer holds no transforms");
}

TEST(HistoryBuffer, StaticLinkAnswersEveryTimeWithStampZeroAndIsReplaced) {
  Buffer buffer(Duration{0, 0});
  ASSERT_TRUE(buffer.insert(link("world", "base", Timestamp{}, 1.0)));
  ASSERT_TRUE(buffer.insert(link("world", "base", Timestamp{}, 2.0)));
  for (const Timestamp time : {Timestamp{}, Timestamp{1}, at_s(1e6)}) {
    EXPECT_EQ(*buffer.get(time), link("world", "base", Timestamp{}, 2.0));
  }
  EXPECT_EQ(buffer.size(), 1u);
}

TEST(HistoryBuffer, SameStampTwiceKeepsTheLaterTransform) {
  Buffer buffer(std::nullopt);
  for (const double x : {1.0, 2.0, 3.0}) ASSERT_TRUE(buffer.insert(link("world", "base", at_s(1), x)));
  ASSERT_TRUE(buffer.insert(link("world", "base", at_s(2), 5.0)));
  ASSERT_TRUE(buffer.insert(link("world", "base", at_s(1), 4.0)));  // replaces behind the newest
  EXPECT_EQ(stored_stamps(buffer), (std::vector<u128>{1 * NS, 2 * NS}));
  EXPECT_EQ(buffer.get(at_s(1))->translation.x, 4.0);
}

struct Refusal {
  const char* name;
  std::vector<Transform> before;
  Transform refused;
  const char* message;
};

class HistoryRefusal : public testing::TestWithParam<Refusal> {};

// Each refused insert reports the first failing check and leaves the buffer as it was.
TEST_P(HistoryRefusal, ReportsTheFirstFailingCheckAndChangesNothing) {
  const Refusal& c = GetParam();
  Buffer buffer(Duration{10, 0});
  for (const Transform& t : c.before) ASSERT_TRUE(buffer.insert(t));
  const std::vector<u128> stamps = stored_stamps(buffer);
  const std::optional<std::string> parent = buffer.parent();
  const std::optional<std::string> child = buffer.child();
  const std::optional<Timestamp> newest = buffer.newest();

  const Result<void, BufferError> result = buffer.insert(c.refused);
  ASSERT_FALSE(result);
  EXPECT_EQ(to_string(result.error()), c.message);
  EXPECT_EQ(stored_stamps(buffer), stamps);
  EXPECT_EQ(buffer.parent(), parent);
  EXPECT_EQ(buffer.child(), child);
  EXPECT_EQ(buffer.newest(), newest);
}

const Quaternion NAN_ROTATION{std::nan(""), 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Checks, HistoryRefusal,
    testing::Values(
        Refusal{"DynamicIntoStatic", {link("world", "base", Timestamp{})}, link("world", "base", at_s(1)),
                "cannot mix static and dynamic transforms for the same child frame"},
        Refusal{"StaticIntoDynamic", {link("world", "base", at_s(1))}, link("world", "base", Timestamp{}),
                "cannot mix static and dynamic transforms for the same child frame"},
        Refusal{"Reparenting", {link("base", "arm", at_s(1))}, link("odom", "arm", at_s(2)),
                "re-parenting is not supported (the child frame's parent is base)"},
        Refusal{"ReparentingBeforeChildMismatch", {link("base", "arm", at_s(1))}, link("odom", "leg", at_s(2)),
                "re-parenting is not supported (the child frame's parent is base)"},
        Refusal{"ChildMismatchBeforeKind", {link("base", "arm", at_s(1))}, link("base", "leg", Timestamp{}),
                "the buffer already stores a different child frame (arm)"},
        Refusal{"SelfParentOnAFreshBuffer", {}, link("base", "base", at_s(1)), "a frame cannot be its own parent"},
        Refusal{"SelfParentBeforeReparenting", {link("world", "base", at_s(1))}, link("base", "base", at_s(2)),
                "a frame cannot be its own parent"},
        Refusal{"NonFiniteBeforeNames", {link("world", "base", at_s(1))}, link("x", "x", at_s(2), 0.0, NAN_ROTATION),
                "transform error: transform contains non-finite values"},
        Refusal{"NonUnitRotation", {}, link("world", "base", at_s(1), 0.0, Quaternion{1.1, 0, 0, 0}),
                "transform error: rotation is not a unit quaternion (norm: 1.1)"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(HistoryBuffer, FreshBufferRefusingSelfParentStoresNoNames) {
  Buffer buffer(std::nullopt);
  ASSERT_FALSE(buffer.insert(link("base", "base", at_s(1))));
  EXPECT_TRUE(buffer.insert(link("world", "arm", at_s(1))));
  EXPECT_TRUE(buffer.insert(link("world", "arm", at_s(2), 0.0, Quaternion{1.0000005, 0, 0, 0})));
}

struct Expiry {
  const char* name;
  std::optional<Duration> max_age;
  std::vector<double> inserts_s;
  std::vector<double> kept_s;
};

class HistoryExpiry : public testing::TestWithParam<Expiry> {};

TEST_P(HistoryExpiry, KeepsTheWindowBehindTheNewestStamp) {
  const Expiry& c = GetParam();
  Buffer buffer(c.max_age);
  for (const double s : c.inserts_s) ASSERT_TRUE(buffer.insert(link("world", "base", at_s(s))));
  std::vector<u128> kept;
  for (const double s : c.kept_s) kept.push_back(at_s(s).ns());
  EXPECT_EQ(stored_stamps(buffer), kept);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, HistoryExpiry,
    testing::Values(Expiry{"DropsOlderThanTheWindow", Duration{10, 0}, {100, 105, 111}, {105, 111}},
                    Expiry{"LateInsertIsAcceptedThenDropped", Duration{10, 0}, {100, 105, 111, 90}, {105, 111}},
                    Expiry{"CutoffIsInclusive", Duration{10, 0}, {100, 110}, {100, 110}},
                    Expiry{"NewestNeverMovesBack", Duration{10, 0}, {100, 120, 105, 115}, {115, 120}},
                    Expiry{"UnderflowingCutoffKeepsAll", Duration{10, 0}, {1, 3, 5}, {1, 3, 5}},
                    Expiry{"NanosecondsCountInTheWindow", Duration{1, 500'000'000}, {1, 2, 3}, {2, 3}},
                    Expiry{"ZeroWindowKeepsTheNewest", Duration{0, 0}, {1, 3, 2}, {3}},
                    Expiry{"NoWindowKeepsAll", std::nullopt, {1e6, 1, 1e3}, {1, 1e3, 1e6}}),
    [](const testing::TestParamInfo<Expiry>& info) { return std::string(info.param.name); });

// A buffer driven by random inserts (out of order, repeated stamps, far in the past) must
// match a plain ordered map following the same rules, both in what it keeps and in what
// it answers: exact hits, interpolation (bit for bit as geometry::interpolate) and range
// errors. Long runs cross many storage blocks and the windowed ones expire across them.
struct Model {
  const char* name;
  std::optional<u128> max_age_ns;
  std::uint32_t seed;
};

class HistoryModel : public testing::TestWithParam<Model> {};

TEST_P(HistoryModel, MatchesAnOrderedMapUnderRandomInserts) {
  const Model& m = GetParam();
  std::mt19937 rng(m.seed);
  std::optional<Duration> max_age;
  if (m.max_age_ns) max_age = Duration{static_cast<std::uint64_t>(*m.max_age_ns / NS), static_cast<std::uint32_t>(*m.max_age_ns % NS)};
  Buffer buffer(max_age);
  std::map<u128, Transform> model;
  u128 newest = 0;
  u128 clock = 5'000;
  for (int i = 0; i < 3000; ++i) {
    // Mostly in order with gaps, sometimes back in time, sometimes on an existing stamp.
    const int kind = static_cast<int>(rng() % 10);
    u128 stamp = clock;
    if (kind < 7) {
      clock += 1 + rng() % 20;
      stamp = clock;
    } else if (kind < 9) {
      stamp = 1 + rng() % static_cast<std::uint32_t>(clock);
    } else if (!model.empty()) {
      stamp = std::next(model.begin(), static_cast<long>(rng() % model.size()))->first;
    }
    const double angle = 0.001 * static_cast<double>(rng() % 3000);
    Transform t = link("world", "base", Timestamp{stamp}, static_cast<double>(i),
                       Quaternion{std::cos(angle), 0.0, std::sin(angle), 0.0});
    ASSERT_TRUE(buffer.insert(t));
    model[stamp] = t;
    newest = std::max(newest, stamp);
    if (m.max_age_ns && newest >= *m.max_age_ns) model.erase(model.begin(), model.lower_bound(newest - *m.max_age_ns));
  }
  std::vector<u128> expected;
  for (const auto& [stamp, t] : model) expected.push_back(stamp);
  ASSERT_EQ(stored_stamps(buffer), expected);

  for (int i = 0; i < 2000; ++i) {
    const Timestamp time{model.begin()->first - 3 + rng() % static_cast<std::uint32_t>(model.rbegin()->first - model.begin()->first + 6)};
    const auto after = model.lower_bound(time.ns());
    std::string want;
    if (after != model.end() && after->first == time.ns()) {
      want = "ok";
      EXPECT_EQ(*buffer.get(time), after->second);
    } else if (after == model.begin() || after == model.end()) {
      want = "transform error: requested timestamp ";
    } else {
      const Result<Transform, geometry::TransformError> blended = geometry::interpolate(std::prev(after)->second, after->second, time);
      ASSERT_TRUE(blended);
      EXPECT_EQ(*buffer.get(time), *blended);
      want = "ok";
    }
    EXPECT_EQ(error_of(buffer.get(time)).substr(0, want.size()), want);
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, HistoryModel,
                         testing::Values(Model{"Unbounded", std::nullopt, 1}, Model{"UnboundedAgain", std::nullopt, 2},
                                         Model{"ZeroWindow", u128{0}, 3}, Model{"ShortWindow", u128{300}, 4},
                                         Model{"LongWindow", u128{5000}, 5}),
                         [](const testing::TestParamInfo<Model>& info) { return std::string(info.param.name); });

// Stamps whose gaps exceed 64 bits of nanoseconds still interpolate like Transforms do,
// and a gap beyond 2^64 whole seconds fails the way geometry::interpolate fails.
TEST(HistoryBuffer, HugeStampGapsBehaveAsTransformInterpolation) {
  const u128 limit = u128{1'000'000'000} << 64;
  for (const u128 later : {u128{1} << 70, limit, limit + 7}) {
    Buffer buffer(std::nullopt);
    const Transform a = link("world", "base", Timestamp{1}, 0.0);
    const Transform b = link("world", "base", Timestamp{later}, 8.0, Quaternion{0, 1, 0, 0});
    ASSERT_TRUE(buffer.insert(a));
    ASSERT_TRUE(buffer.insert(b));
    const Timestamp time{later / 3};
    const Result<Transform, geometry::TransformError> want = geometry::interpolate(a, b, time);
    const Result<Transform, BufferError> got = buffer.get(time);
    if (want) {
      EXPECT_EQ(*got, *want);
    } else {
      EXPECT_EQ(error_of(got), "transform error: " + geometry::to_string(want.error()));
      EXPECT_EQ(error_of(got), "transform error: timestamp error: duration overflow");
    }
  }
}

}  // namespace
}  // namespace frames::core
