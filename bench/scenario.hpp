#pragma once

// The reference workload of every benchmark: a mobile robot arm, described as plain data
// so that any store (the frame registry, the transform buffer service, a Python buffer)
// can be filled and queried with exactly the same samples and stamps.
//
//   map -> odom (10 Hz) -> base_link (100 Hz) -> torso (static) -> shoulder (100 Hz)
//     -> elbow (100 Hz) -> wrist (100 Hz) -> gripper (static)
//   base_link -> laser (static), base_link -> camera (static)
//
// Everything is deterministic: poses are smooth functions of the stamp and the query
// stamps come from a fixed-seed generator with its own integer mapping, so two runs (and
// two stores) see bit-identical inputs.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

struct Link {
  std::string_view parent;
  std::string_view child;
  std::uint32_t rate_hz;  // 0: static, stored once with stamp zero
};

inline constexpr std::array<Link, 9> ROBOT_ARM_LINKS{{
    {"map", "odom", 10},
    {"odom", "base_link", 100},
    {"base_link", "torso", 0},
    {"torso", "shoulder", 100},
    {"shoulder", "elbow", 100},
    {"elbow", "wrist", 100},
    {"wrist", "gripper", 0},
    {"base_link", "laser", 0},
    {"base_link", "camera", 0},
}};

struct Query {
  std::string_view from;
  std::string_view to;
};

inline constexpr std::array<Query, 3> ROBOT_ARM_QUERIES{{
    {"gripper", "map"},
    {"laser", "gripper"},
    {"map", "camera"},
}};

inline constexpr std::uint64_t NS_PER_SECOND = 1'000'000'000;
// Data starts well after zero, which is reserved for static transforms.
inline constexpr std::uint64_t START_NS = 1'000 * NS_PER_SECOND;
inline constexpr std::uint64_t DATA_SECONDS = 10;
inline constexpr std::uint64_t HISTORY_SECONDS = 10;

constexpr std::uint64_t period_ns(const Link& link) { return NS_PER_SECOND / link.rate_hz; }

// Stamp of the k-th sample of a dynamic link: START_NS, then one period apart.
constexpr std::uint64_t sample_stamp_ns(const Link& link, std::uint64_t k) {
  return START_NS + k * period_ns(link);
}

// Samples of a dynamic link covering [START_NS, START_NS + seconds], both ends included.
constexpr std::uint64_t samples_for_seconds(const Link& link, std::uint64_t seconds) {
  return seconds * link.rate_hz + 1;
}

struct Pose {
  double tx, ty, tz;
  double qw, qx, qy, qz;  // unit length up to rounding
};

// A smooth, bounded motion per link; index is the link's position in ROBOT_ARM_LINKS.
// Static links use the same formula at stamp zero.
inline Pose link_pose(std::size_t index, std::uint64_t stamp_ns) {
  const double t = static_cast<double>(stamp_ns) / 1e9;
  const double phase = 0.7 * static_cast<double>(index);
  const double angle = 1.2 * std::sin(0.9 * t + phase) + 0.3 * static_cast<double>(index);
  // A fixed axis per link, tilted differently so the compositions do not commute.
  double ax = std::cos(phase), ay = std::sin(phase), az = 0.5 + 0.1 * static_cast<double>(index);
  const double axis_norm = std::sqrt(ax * ax + ay * ay + az * az);
  ax /= axis_norm;
  ay /= axis_norm;
  az /= axis_norm;
  const double s = std::sin(angle / 2);
  return Pose{0.3 + 0.5 * std::cos(0.5 * t + phase),
              0.1 * static_cast<double>(index) - 0.2,
              0.05 * std::sin(1.3 * t + phase),
              std::cos(angle / 2),
              s * ax,
              s * ay,
              s * az};
}

// Calls fn(link_index, stamp_ns, pose) once per static link (stamp 0, first), then for
// every dynamic sample in stamp order across links, as a live robot would publish them.
// count(link) says how many samples each dynamic link gets.
template <class Count, class Fn>
void for_each_sample_counted(Count&& count, Fn&& fn) {
  for (std::size_t i = 0; i < ROBOT_ARM_LINKS.size(); ++i) {
    if (ROBOT_ARM_LINKS[i].rate_hz == 0) fn(i, std::uint64_t{0}, link_pose(i, 0));
  }
  // Every rate divides 100 Hz: walk a 10 ms grid and emit the links due at each tick.
  const std::uint64_t tick_ns = NS_PER_SECOND / 100;
  std::uint64_t ticks = 0;
  for (const Link& link : ROBOT_ARM_LINKS) {
    if (link.rate_hz == 0) continue;
    const std::uint64_t needed = count(link) * (period_ns(link) / tick_ns);
    if (needed > ticks) ticks = needed;
  }
  for (std::uint64_t k = 0; k < ticks; ++k) {
    const std::uint64_t stamp = START_NS + k * tick_ns;
    for (std::size_t i = 0; i < ROBOT_ARM_LINKS.size(); ++i) {
      const Link& link = ROBOT_ARM_LINKS[i];
      if (link.rate_hz == 0) continue;
      const std::uint64_t per = period_ns(link) / tick_ns;
      if (k % per == 0 && k / per < count(link)) fn(i, stamp, link_pose(i, stamp));
    }
  }
}

// The reference data: `seconds` of every link at its own rate, both ends included.
template <class Fn>
void for_each_sample(std::uint64_t seconds, Fn&& fn) {
  for_each_sample_counted(
      [seconds](const Link& link) { return samples_for_seconds(link, seconds); }, fn);
}

// The same links with the same number of samples each, whatever their rate: for scaling.
template <class Fn>
void for_each_sample_per_link(std::uint64_t samples_per_link, Fn&& fn) {
  for_each_sample_counted([samples_per_link](const Link&) { return samples_per_link; }, fn);
}

// The end of the stamp range that every dynamic link covers with `samples_per_link`
// samples each: the last sample of the fastest link.
constexpr std::uint64_t covered_end_ns(std::uint64_t samples_per_link) {
  return START_NS + (samples_per_link - 1) * (NS_PER_SECOND / 100);
}

// splitmix64: a tiny generator whose output is fixed by its definition, unlike the
// standard distributions.
inline std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// `count` query stamps, uniform over the open range (begin_ns, end_ns), none of them on
// the 10 ms sample grid, so every dynamic link interpolates. begin_ns must lie on the grid.
inline std::vector<std::uint64_t> query_stamps(std::size_t count, std::uint64_t begin_ns,
                                               std::uint64_t end_ns, std::uint64_t seed = 42) {
  std::vector<std::uint64_t> stamps;
  stamps.reserve(count);
  const std::uint64_t span = end_ns - begin_ns;
  const std::uint64_t grid = NS_PER_SECOND / 100;
  while (stamps.size() < count) {
    const std::uint64_t offset = splitmix64(seed) % span;
    if (offset % grid == 0) continue;
    stamps.push_back(begin_ns + offset);
  }
  return stamps;
}

// A wide static tree for lookups that walk deep: `chains` chains of `depth` frames each,
// all hanging from one root "root". Frame names are short ("c12_7": chain 12, level 7),
// so they fit in a string's inline buffer. Every link is static.
struct TreeLink {
  std::string parent;
  std::string child;
};

inline std::string tree_frame(std::size_t chain, std::size_t level) {
  // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on chained operator+.
  std::string name = "c";
  name += std::to_string(chain);
  name += '_';
  name += std::to_string(level);
  return name;
}

inline std::vector<TreeLink> static_tree(std::size_t chains, std::size_t depth) {
  std::vector<TreeLink> links;
  links.reserve(chains * depth);
  for (std::size_t c = 0; c < chains; ++c) {
    for (std::size_t level = 0; level < depth; ++level) {
      links.push_back(
          {level == 0 ? std::string("root") : tree_frame(c, level - 1), tree_frame(c, level)});
    }
  }
  return links;
}

// Pose of a tree link, from its position in static_tree's list.
inline Pose tree_pose(std::size_t index) { return link_pose(index % 9, index * NS_PER_SECOND / 7); }

}  // namespace bench
