#include "frames/core/history.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
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

// The transform, or an empty one (and a failure) when sampling refused.
Transform value_of(const Result<Transform, BufferError>& result) {
  EXPECT_EQ(error_of(result), "ok");
  return result ? *result : Transform{};
}

TEST(HistoryBuffer, NamesItsRangeAndAnswersEveryTimeWhenStatic) {
  Buffer buffer(std::nullopt);
  EXPECT_EQ(error_of(buffer.get(at_s(1))), "the buffer holds no transforms");
  ASSERT_TRUE(buffer.insert(link("world", "base", at_s(1))));
  ASSERT_TRUE(buffer.insert(link("world", "base", at_s(3))));
  EXPECT_EQ(error_of(buffer.get(at_s(0.5))),
            "transform error: requested timestamp 0.5 is outside the covered range [1, 3]");
  // A static link is replaced, and keeps stamp zero whatever the time asked.
  Buffer fixed(Duration{0, 0});
  ASSERT_TRUE(fixed.insert(link("world", "base", Timestamp{}, 1.0)));
  ASSERT_TRUE(fixed.insert(link("world", "base", Timestamp{}, 2.0)));
  EXPECT_EQ(value_of(fixed.get(at_s(1e6))), link("world", "base", Timestamp{}, 2.0));
}

// A refused insert reports the first failing check and leaves the buffer as it was.
TEST(HistoryBuffer, RefusalReportsTheFirstFailingCheckAndChangesNothing) {
  struct Case {
    const char* name;
    std::vector<Transform> before;
    Transform refused;
    const char* message;
  };
  const char* const mixed = "cannot mix static and dynamic transforms for the same child frame";
  const char* const self = "a frame cannot be its own parent";
  const Transform base_arm = link("base", "arm", at_s(1));
  for (const Case& c : {
           Case{"DynamicIntoStatic", {link("base", "arm", Timestamp{})}, base_arm, mixed},
           Case{"StaticIntoDynamic", {base_arm}, link("base", "arm", Timestamp{}), mixed},
           Case{"ReparentingBeforeChildMismatch", {base_arm}, link("odom", "leg", at_s(2)),
                "re-parenting is not supported (the child frame's parent is base)"},
           Case{"ChildMismatchBeforeKind", {base_arm}, link("base", "leg", Timestamp{}),
                "the buffer already stores a different child frame (arm)"},
           Case{"SelfParentOnAFreshBuffer", {}, link("base", "base", at_s(1)), self},
           Case{"SelfParentBeforeReparenting", {base_arm}, link("arm", "arm", at_s(2)), self},
           Case{"NonFiniteBeforeNames", {base_arm},
                link("x", "x", at_s(2), 0.0, {std::nan(""), 0, 0, 0}),
                "transform error: transform contains non-finite values"},
       }) {
    SCOPED_TRACE(c.name);
    Buffer buffer(Duration{10, 0});
    for (const Transform& t : c.before) ASSERT_TRUE(buffer.insert(t));
    const std::vector<u128> kept = stamps(buffer);
    const Result<void, BufferError> result = buffer.insert(c.refused);
    EXPECT_EQ(result ? "ok" : to_string(result.error()), c.message);
    EXPECT_EQ(stamps(buffer), kept);
    // Not even the names were stored: a different link still takes a fresh buffer.
    if (c.before.empty()) {
      EXPECT_TRUE(buffer.insert(link("odom", "leg", at_s(1))));
    }
  }
}

TEST(HistoryBuffer, KeepsTheWindowBehindTheNewestStampEverInserted) {
  using Stamps = std::vector<double>;
  for (const auto& [inserts_s, kept_s] : std::vector<std::pair<Stamps, Stamps>>{
           {{99, 100, 110}, {100, 110}},        // the cutoff itself stays
           {{110, 100}, {100, 110}},            // so does a late insert at the cutoff
           {{100, 120, 115, 108}, {115, 120}},  // 108 is in the window behind 115, not 120
           {{1, 3, 5}, {1, 3, 5}},              // a cutoff below zero keeps everything
       }) {
    Buffer buffer(Duration{10, 0});
    for (const double s : inserts_s) ASSERT_TRUE(buffer.insert(link("world", "base", at_s(s))));
    std::vector<u128> kept;
    for (const double s : kept_s) kept.push_back(at_s(s).ns());
    EXPECT_EQ(stamps(buffer), kept);
  }
}

// Random inserts (out of order, on existing stamps, older than the window) against a plain
// ordered map following the same rules: same entries kept, same answers (exact hits,
// interpolation bit for bit as geometry::interpolate, range errors). Long runs cross many
// storage blocks, and the windowed ones expire across them.
TEST(HistoryBuffer, MatchesAnOrderedMapUnderRandomInserts) {
  for (const auto& [max_age, seed] :
       {std::pair{std::optional<Duration>{}, 1u}, {Duration{0, 0}, 3u}, {Duration{0, 300}, 4u},
        {Duration{0, 5000}, 5u}}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    Buffer buffer(max_age);
    std::map<u128, Transform> model;
    u128 newest = 0;
    u128 clock = 5'000;
    for (int i = 0; i < 3000; ++i) {
      const unsigned kind = rng() % 10;
      u128 stamp = clock += 1 + rng() % 20;
      if (kind >= 7) stamp = 1 + rng() % static_cast<unsigned>(clock);
      if (kind == 9 && !model.empty()) {
        stamp = std::next(model.begin(), rng() % model.size())->first;
      }
      const double angle = 0.001 * (rng() % 3000);
      const Quaternion rotation{std::cos(angle), 0, std::sin(angle), 0};
      const Transform t = link("world", "base", Timestamp{stamp}, i, rotation);
      ASSERT_TRUE(buffer.insert(t));
      model[stamp] = t;
      newest = std::max(newest, stamp);
      if (max_age && newest >= max_age->count_ns()) {
        model.erase(model.begin(), model.lower_bound(newest - max_age->count_ns()));
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
        EXPECT_EQ(value_of(buffer.get(time)), after->second);
      } else if (after == model.begin() || after == model.end()) {
        EXPECT_EQ(error_of(buffer.get(time)).substr(0, 37),
                  "transform error: requested timestamp ");
      } else {
        EXPECT_EQ(value_of(buffer.get(time)),
                  *geometry::interpolate(std::prev(after)->second, after->second, time));
      }
    }
  }
}

// A gap beyond 64 bits of nanoseconds interpolates as Transforms do: cut to 64 bits, both
// the gap and the offset into it would read 2^64 - 1.
TEST(HistoryBuffer, HugeStampGapsBehaveAsTransformInterpolation) {
  const Transform a = link("world", "base", Timestamp{1}, 0.0);
  const Transform b = link("world", "base", Timestamp{u128{1} << 70}, 8.0, {0, 1, 0, 0});
  Buffer buffer(std::nullopt);
  ASSERT_TRUE(buffer.insert(a));
  ASSERT_TRUE(buffer.insert(b));
  const Timestamp time{u128{1} << 66};
  EXPECT_EQ(value_of(buffer.get(time)), *geometry::interpolate(a, b, time));
}

// A history replayed backwards or shuffled, across many storage blocks, holds and answers
// exactly what the in-order replay does.
TEST(HistoryBuffer, ReplayOrderDoesNotMatter) {
  std::vector<int> order(1000);
  std::iota(order.begin(), order.end(), 0);
  const auto replay = [](const std::vector<int>& replayed) {
    Buffer buffer(std::nullopt);
    for (const int i : replayed) EXPECT_TRUE(buffer.insert(link("w", "b", Timestamp{10u + 10u * i}, i)));
    return buffer;
  };
  const Buffer in_order = replay(order);
  std::vector<int> shuffled = order;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  for (const auto& replayed : {replay({order.rbegin(), order.rend()}), replay(shuffled)}) {
    ASSERT_EQ(stamps(replayed), stamps(in_order));
    for (u128 t = 0; t < 10'030; t += 7) {
      const auto got = replayed.get(Timestamp{t});
      ASSERT_EQ(error_of(got), error_of(in_order.get(Timestamp{t})));
      EXPECT_TRUE(!got || *got == *in_order.get(Timestamp{t})) << static_cast<double>(t);
    }
  }
}

}  // namespace
}  // namespace frames::core
