#include "frames/core/history.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "../../testing.hpp"
#include "frames/format.hpp"

namespace frames::core {
namespace {

using geometry::Transform;
using testing_support::text;
using time::Duration;
using time::Timestamp;
using time::u128;

constexpr u128 S = 1'000'000'000;

// Sample i of world -> base: every component of the pose changes with i.
Transform link(u128 stamp_ns, double i = 0, std::string parent = "world",
               std::string child = "base") {
  return Transform{{i, 0.5 * i, -i}, {std::cos(0.37 * i), 0, std::sin(0.37 * i), 0},
                   Timestamp{stamp_ns}, std::move(parent), std::move(child)};
}

std::string seconds(u128 ns) { return format_number(Timestamp{ns}.to_seconds()); }

// Inserts sample i at inserts[i], into the buffer and into an ordered map that follows the
// rules as stated: the newer insert at a stamp wins; with a window, the stamps before
// newest - max_age go, the cutoff itself stays. The buffer must keep the map's stamps and
// answer at each of them, one either side and the midpoints as the map says: the sample
// itself, the blend of its neighbours bit for bit as geometry::interpolate, or the error
// naming the time asked and the range covered.
void expect_like_an_ordered_map(std::optional<Duration> max_age,
                                const std::vector<u128>& inserts) {
  Buffer buffer(max_age);
  std::map<u128, Transform> model;
  u128 newest = 0;
  for (std::size_t i = 0; i < inserts.size(); ++i) {
    ASSERT_TRUE(buffer.insert(link(inserts[i], static_cast<double>(i))));
    model[inserts[i]] = link(inserts[i], static_cast<double>(i));
    newest = std::max(newest, inserts[i]);
    if (max_age && newest >= max_age->count_ns()) {
      model.erase(model.begin(), model.lower_bound(newest - max_age->count_ns()));
    }
  }
  std::vector<u128> kept, expected, asked;
  for (std::size_t i = 0; i < buffer.size(); ++i) kept.push_back(buffer.entries()[i].stamp_ns());
  for (auto it = model.begin(); it != model.end(); ++it) {
    expected.push_back(it->first);
    asked.insert(asked.end(), {it->first - 1, it->first, it->first + 1});
    if (std::next(it) != model.end()) {
      asked.push_back(it->first + (std::next(it)->first - it->first) / 2);
    }
  }
  ASSERT_EQ(kept, expected);
  for (const u128 ns : asked) {
    const auto after = model.lower_bound(ns);
    const auto got = buffer.get(Timestamp{ns});
    if (after != model.end() && after->first == ns) {
      EXPECT_EQ(got ? *got : Transform{}, after->second) << text(got);
    } else if (after == model.begin() || after == model.end()) {
      EXPECT_EQ(text(got), "transform error: requested timestamp " + seconds(ns) +
                               " is outside the covered range [" + seconds(expected.front()) +
                               ", " + seconds(expected.back()) + "]");
    } else {
      const Transform want =
          *geometry::interpolate(std::prev(after)->second, after->second, Timestamp{ns});
      EXPECT_EQ(got ? *got : Transform{}, want) << text(got);
    }
  }
}

TEST(HistoryBuffer, KeepsAndAnswersLikeAnOrderedMap) {
  using Inserts = std::vector<u128>;
  // The window behind the newest stamp ever inserted: its edge stays, also when inserted
  // late; 108 s is in the window behind 115 s, not behind 120 s; below zero nothing goes.
  for (const Inserts& inserts : {Inserts{99 * S, 100 * S, 110 * S}, {110 * S, 100 * S},
                                 {100 * S, 120 * S, 115 * S, 108 * S}, {1 * S, 3 * S, 5 * S}}) {
    expect_like_an_ordered_map(Duration{10, 0}, inserts);
  }
  // A gap beyond 64 bits of nanoseconds: cut to 64 bits, both the gap and the offset into
  // it would read 2^64 - 1.
  expect_like_an_ordered_map(std::nullopt, {1, u128{1} << 70});
  // A replay backwards, each sample before all others, across many storage blocks.
  Inserts backwards(1000);
  for (std::size_t i = 0; i < backwards.size(); ++i) backwards[i] = 10 * (1000 - i);
  expect_like_an_ordered_map(std::nullopt, backwards);
  // Random inserts: out of order, on existing stamps, older than the window. Long runs
  // cross many storage blocks, and the windowed ones expire across them.
  for (const auto& [max_age, seed] :
       {std::pair{std::optional<Duration>{}, 1u}, {Duration{0, 0}, 3u}, {Duration{0, 300}, 4u},
        {Duration{0, 5000}, 5u}}) {
    std::mt19937 rng(seed);
    Inserts inserts;
    u128 clock = 5'000;
    for (int i = 0; i < 3000; ++i) {
      const unsigned kind = rng() % 10;
      inserts.push_back(kind == 9 && i > 0 ? inserts[rng() % i]
                        : kind >= 7        ? 1 + rng() % static_cast<unsigned>(clock)
                                           : clock += 1 + rng() % 20);
    }
    expect_like_an_ordered_map(max_age, inserts);
  }
}

TEST(HistoryBuffer, StaticLinkIsReplacedAndAnswersEveryTimeWithStampZero) {
  Buffer buffer(Duration{0, 0});
  EXPECT_EQ(text(buffer.get(Timestamp{S})), "the buffer holds no transforms");
  ASSERT_TRUE(buffer.insert(link(0, 1.0)));
  ASSERT_TRUE(buffer.insert(link(0, 2.0)));
  EXPECT_EQ(*buffer.get(Timestamp{~u128{0}}), link(0, 2.0));
}

// A refused insert reports the first failing check and leaves the buffer as it was.
TEST(HistoryBuffer, RefusalReportsTheFirstFailingCheckAndChangesNothing) {
  const char* const mixed = "cannot mix static and dynamic transforms for the same child frame";
  const char* const self = "a frame cannot be its own parent";
  const Transform base_arm = link(S, 0, "base", "arm");
  for (const auto& [before, refused, message] : {
           std::tuple{std::vector{link(0, 0, "base", "arm")}, base_arm, mixed},
           {std::vector{base_arm}, link(0, 0, "base", "arm"), mixed},
           {std::vector{base_arm}, link(2 * S, 0, "odom", "leg"),
            "re-parenting is not supported (the child frame's parent is base)"},
           {std::vector{base_arm}, link(0, 0, "base", "leg"),
            "the buffer already stores a different child frame (arm)"},
           {std::vector<Transform>{}, link(S, 0, "base", "base"), self},
           {std::vector{base_arm}, link(2 * S, 0, "arm", "arm"), self},
           {std::vector{base_arm}, Transform{{NAN, 0, 0}, {}, Timestamp{2 * S}, "x", "x"},
            "transform error: transform contains non-finite values"},
       }) {
    Buffer buffer(Duration{10, 0});
    for (const Transform& t : before) ASSERT_TRUE(buffer.insert(t));
    EXPECT_EQ(text(buffer.insert(refused)), message);
    EXPECT_EQ(buffer.size(), before.size());
    // Not even the names were stored: a different link still takes a fresh buffer.
    if (before.empty()) {
      EXPECT_TRUE(buffer.insert(link(S, 0, "odom", "leg")));
    } else {
      EXPECT_EQ(*buffer.get(Timestamp{S}), before[0]) << message;
    }
  }
}

}  // namespace
}  // namespace frames::core
