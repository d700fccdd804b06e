#include "frames/core/history.hpp"

#include <gtest/gtest.h>

#include <cmath>
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

Timestamp at_s(double seconds) { return Timestamp{static_cast<u128>(seconds * 1e9)}; }

Transform link(std::string parent, std::string child, Timestamp stamp, double x = 0.0,
               Quaternion rotation = Quaternion::identity()) {
  return Transform{{x, 0.0, 0.0}, rotation, stamp, std::move(parent), std::move(child)};
}

std::vector<u128> stamps(const Buffer& buffer) {
  std::vector<u128> out;
  for (std::size_t i = 0; i < buffer.size(); ++i) out.push_back(buffer.entries()[i].stamp_ns());
  return out;
}

std::string error_of(const Result<Transform, BufferError>& result) {
  return result ? "ok" : to_string(result.error());
}

TEST(HistoryBuffer, SamplesExactHitsInterpolatesAndNamesTheRangeWhenOutside) {
  Buffer buffer(std::nullopt);
  ASSERT_TRUE(buffer.insert(link("world", "base", at_s(1), 0.0)));
  ASSERT_TRUE(buffer.insert(link("world", "base", at_s(3), 2.0)));
  EXPECT_EQ(*buffer.get(at_s(2)), link("world", "base", at_s(2), 1.0));
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

struct Refusal {
  const char* name;
  std::vector<Transform> before;
  Transform refused;
  const char* message;
};

class HistoryRefusal : public testing::TestWithParam<Refusal> {};

// A refused insert reports the first failing check and leaves the buffer as it was.
TEST_P(HistoryRefusal, ReportsTheFirstFailingCheckAndChangesNothing) {
  const Refusal& c = GetParam();
  Buffer buffer(Duration{10, 0});
  for (const Transform& t : c.before) ASSERT_TRUE(buffer.insert(t));
  const std::vector<u128> kept = stamps(buffer);
  const std::optional<std::string> parent = buffer.parent();
  const std::optional<std::string> child = buffer.child();
  const std::optional<Timestamp> newest = buffer.newest();

  const Result<void, BufferError> result = buffer.insert(c.refused);
  ASSERT_FALSE(result);
  EXPECT_EQ(to_string(result.error()), c.message);
  EXPECT_EQ(stamps(buffer), kept);
  EXPECT_EQ(buffer.parent(), parent);
  EXPECT_EQ(buffer.child(), child);
  EXPECT_EQ(buffer.newest(), newest);
  // Nothing was stored, not even the names: a different link still takes a fresh buffer.
  if (c.before.empty()) {
    EXPECT_TRUE(buffer.insert(link("odom", "leg", at_s(1))));
  }
}

const char* const MIXED = "cannot mix static and dynamic transforms for the same child frame";
const char* const SELF = "a frame cannot be its own parent";
const char* const REPARENT = "re-parenting is not supported (the child frame's parent is base)";
const Transform BASE_ARM = link("base", "arm", at_s(1));
const Quaternion NAN_ROTATION{std::nan(""), 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Checks, HistoryRefusal,
    testing::Values(
        Refusal{"DynamicIntoStatic", {link("base", "arm", Timestamp{})}, BASE_ARM, MIXED},
        Refusal{"StaticIntoDynamic", {BASE_ARM}, link("base", "arm", Timestamp{}), MIXED},
        Refusal{"Reparenting", {BASE_ARM}, link("odom", "arm", at_s(2)), REPARENT},
        Refusal{"ReparentingBeforeChildMismatch", {BASE_ARM}, link("odom", "leg", at_s(2)),
                REPARENT},
        Refusal{"ChildMismatchBeforeKind", {BASE_ARM}, link("base", "leg", Timestamp{}),
                "the buffer already stores a different child frame (arm)"},
        Refusal{"SelfParentOnAFreshBuffer", {}, link("base", "base", at_s(1)), SELF},
        Refusal{"SelfParentBeforeReparenting", {BASE_ARM}, link("arm", "arm", at_s(2)), SELF},
        Refusal{"NonFiniteBeforeNames", {BASE_ARM}, link("x", "x", at_s(2), 0.0, NAN_ROTATION),
                "transform error: transform contains non-finite values"},
        Refusal{"NonUnitRotation", {}, link("base", "arm", at_s(1), 0.0, {1.1, 0, 0, 0}),
                "transform error: rotation is not a unit quaternion (norm: 1.1)"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

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
  EXPECT_EQ(stamps(buffer), kept);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, HistoryExpiry,
    testing::Values(
        Expiry{"DropsOlderThanTheWindow", Duration{10, 0}, {100, 105, 111}, {105, 111}},
        Expiry{"LateInsertIsAcceptedThenDropped", Duration{10, 0}, {100, 105, 111, 90}, {105, 111}},
        Expiry{"CutoffIsInclusive", Duration{10, 0}, {100, 110}, {100, 110}},
        Expiry{"NewestNeverMovesBack", Duration{10, 0}, {100, 120, 105, 115}, {115, 120}},
        Expiry{"UnderflowingCutoffKeepsAll", Duration{10, 0}, {1, 3, 5}, {1, 3, 5}},
        Expiry{"NanosecondsCount", Duration{1, 500'000'000}, {1, 2, 3}, {2, 3}},
        Expiry{"ZeroWindowKeepsTheNewest", Duration{0, 0}, {1, 3, 2}, {3}},
        Expiry{"NoWindowKeepsAll", std::nullopt, {1e6, 1, 1e3}, {1, 1e3, 1e6}}),
    [](const testing::TestParamInfo<Expiry>& info) { return std::string(info.param.name); });

// Random inserts (out of order, on existing stamps, older than the window) against a plain
// ordered map following the same rules: same entries kept, same answers (exact hits,
// interpolation bit for bit as geometry::interpolate, range errors). Long runs cross many
// storage blocks, and the windowed ones expire across them.
struct Model {
  const char* name;
  std::optional<Duration> max_age;
  unsigned seed;
};

class HistoryModel : public testing::TestWithParam<Model> {};

TEST_P(HistoryModel, MatchesAnOrderedMapUnderRandomInserts) {
  const Model& m = GetParam();
  std::mt19937 rng(m.seed);
  Buffer buffer(m.max_age);
  std::map<u128, Transform> model;
  u128 newest = 0;
  u128 clock = 5'000;
  for (int i = 0; i < 3000; ++i) {
    const unsigned kind = rng() % 10;
    u128 stamp = clock += 1 + rng() % 20;
    if (kind >= 7) stamp = 1 + rng() % static_cast<unsigned>(clock);
    if (kind == 9 && !model.empty()) stamp = std::next(model.begin(), rng() % model.size())->first;
    const double angle = 0.001 * (rng() % 3000);
    const Quaternion rotation{std::cos(angle), 0, std::sin(angle), 0};
    const Transform t = link("world", "base", Timestamp{stamp}, i, rotation);
    ASSERT_TRUE(buffer.insert(t));
    model[stamp] = t;
    newest = std::max(newest, stamp);
    if (m.max_age && newest >= m.max_age->count_ns()) {
      model.erase(model.begin(), model.lower_bound(newest - m.max_age->count_ns()));
    }
  }
  std::vector<u128> expected;
  for (const auto& entry : model) expected.push_back(entry.first);
  ASSERT_EQ(stamps(buffer), expected);

  const u128 first = model.begin()->first;
  const auto span = static_cast<unsigned>(model.rbegin()->first - first);
  for (int i = 0; i < 2000; ++i) {
    const Timestamp time{first - 3 + rng() % (span + 6)};
    const auto after = model.lower_bound(time.ns());
    if (after != model.end() && after->first == time.ns()) {
      EXPECT_EQ(*buffer.get(time), after->second);
    } else if (after == model.begin() || after == model.end()) {
      EXPECT_EQ(error_of(buffer.get(time)).substr(0, 37), "transform error: requested timestamp ");
    } else {
      EXPECT_EQ(*buffer.get(time),
                *geometry::interpolate(std::prev(after)->second, after->second, time));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, HistoryModel,
    testing::Values(Model{"Unbounded", std::nullopt, 1}, Model{"ZeroWindow", Duration{0, 0}, 3},
                    Model{"Short", Duration{0, 300}, 4}, Model{"Long", Duration{0, 5000}, 5}),
    [](const testing::TestParamInfo<Model>& info) { return std::string(info.param.name); });

// Gaps beyond 64 bits of nanoseconds interpolate as Transforms do, and a gap of 2^64 whole
// seconds or more fails as geometry::interpolate fails.
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
    if (want) {
      EXPECT_EQ(*buffer.get(time), *want);
    } else {
      EXPECT_EQ(error_of(buffer.get(time)), "transform error: timestamp error: duration overflow");
    }
  }
}

}  // namespace
}  // namespace frames::core
