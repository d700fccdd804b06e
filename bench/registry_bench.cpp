// Frame registry benchmarks on the robot-arm scenario (scenario.hpp): lookups, lookups as
// histories grow, a deep static tree, and the memory one stored sample costs. A counting global allocator reports heap use.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frames/core/history.hpp"
#include "frames/core/link.hpp"
#include "frames/core/registry.hpp"
#include "scenario.hpp"

namespace {

// Every allocation carries a 16-byte header with its size, so live bytes are exact.
std::size_t live_bytes = 0;
std::size_t allocation_count = 0;

}  // namespace

void* operator new(std::size_t size) {
  void* block = std::malloc(size + 16);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  live_bytes += size;
  ++allocation_count;
  return static_cast<char*>(block) + 16;
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  void* block = static_cast<char*>(p) - 16;
  live_bytes -= *static_cast<std::size_t*>(block);
  std::free(block);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using frames::core::Buffer;
using frames::core::Link;
using frames::core::Registry;
using frames::core::Sample;
using frames::geometry::Transform;
using frames::time::Duration;
using frames::time::Timestamp;

Transform make_transform(std::size_t index, std::uint64_t stamp_ns, const bench::Pose& p) {
  const bench::Link& link = bench::ROBOT_ARM_LINKS[index];
  return Transform{{p.tx, p.ty, p.tz},
                   {p.qw, p.qx, p.qy, p.qz},
                   Timestamp{stamp_ns},
                   std::string(link.parent),
                   std::string(link.child)};
}

// The reference robot arm: 10 s at each link's rate, a 10 s window.
Registry& reference_arm() {
  static Registry* registry = [] {
    auto* r = new Registry(Duration{bench::HISTORY_SECONDS, 0});
    bench::for_each_sample(bench::DATA_SECONDS,
                           [&](std::size_t i, std::uint64_t stamp, const bench::Pose& p) {
                             if (!r->process_add_transform(make_transform(i, stamp, p)))
                               std::abort();
                           });
    return r;
  }();
  return *registry;
}

constexpr std::size_t QUERY_COUNT = 1 << 14;

const std::vector<std::uint64_t>& reference_stamps() {
  static const std::vector<std::uint64_t> stamps = bench::query_stamps(
      QUERY_COUNT, bench::START_NS, bench::START_NS + bench::DATA_SECONDS * bench::NS_PER_SECOND);
  return stamps;
}

void run_lookups(benchmark::State& state, const Registry& registry, const bench::Query& query,
                 const std::vector<std::uint64_t>& stamps) {
  std::size_t i = 0;
  std::size_t failures = 0;
  const std::size_t allocations_before = allocation_count;
  for (auto _ : state) {
    auto result = registry.process_get_transform(query.from, query.to,
                                                 Timestamp{stamps[i++ % stamps.size()]});
    failures += result ? 0 : 1;
    benchmark::DoNotOptimize(result);
  }
  if (failures != 0) state.SkipWithError("lookup failed");
  state.counters["allocs_per_lookup"] =
      benchmark::Counter(static_cast<double>(allocation_count - allocations_before) /
                         static_cast<double>(state.iterations()));
}

void BM_RegistryLookup(benchmark::State& state) {
  run_lookups(state, reference_arm(),
              bench::ROBOT_ARM_QUERIES[static_cast<std::size_t>(state.range(0))],
              reference_stamps());
}

void name_queries(benchmark::internal::Benchmark* b) {
  b->ArgName("query");
  for (int q = 0; q < static_cast<int>(bench::ROBOT_ARM_QUERIES.size()); ++q) b->Arg(q);
}

BENCHMARK(BM_RegistryLookup)->Apply(name_queries);

// gripper -> map with N samples on every dynamic link and no expiry. "whole": query stamps
// anywhere in the history (each search lands in memory that is cold when N is large);
// "recent": the last 10 s, as a live robot asks.
Registry& scaled_arm(std::uint64_t samples_per_link) {
  static std::uint64_t built_for = 0;
  static Registry* registry = nullptr;
  if (built_for != samples_per_link) {
    delete registry;
    registry = new Registry(std::nullopt);
    bench::for_each_sample_per_link(
        samples_per_link, [&](std::size_t i, std::uint64_t stamp, const bench::Pose& p) {
          if (!registry->process_add_transform(make_transform(i, stamp, p))) std::abort();
        });
    built_for = samples_per_link;
  }
  return *registry;
}

std::vector<std::uint64_t> scaled_stamps(std::uint64_t samples_per_link, bool recent) {
  const std::uint64_t end = bench::covered_end_ns(samples_per_link);
  const std::uint64_t window = bench::HISTORY_SECONDS * bench::NS_PER_SECOND;
  const std::uint64_t begin =
      recent && end - bench::START_NS > window ? end - window : bench::START_NS;
  return bench::query_stamps(QUERY_COUNT, begin, end);
}

void BM_RegistryLookupScaleWhole(benchmark::State& state) {
  const auto n = static_cast<std::uint64_t>(state.range(0));
  run_lookups(state, scaled_arm(n), bench::ROBOT_ARM_QUERIES[0], scaled_stamps(n, false));
}
void BM_RegistryLookupScaleRecent(benchmark::State& state) {
  const auto n = static_cast<std::uint64_t>(state.range(0));
  run_lookups(state, scaled_arm(n), bench::ROBOT_ARM_QUERIES[0], scaled_stamps(n, true));
}
BENCHMARK(BM_RegistryLookupScaleWhole)->ArgName("samples")->Arg(1'000)->Arg(1'000'000);
BENCHMARK(BM_RegistryLookupScaleRecent)->ArgName("samples")->Arg(1'000)->Arg(1'000'000);

// 10,000 static frames in 500 chains of 20 below one root; a lookup between the deepest
// frames of two chains walks 20 links up on each side and composes 40.
void BM_StaticTreeLookup(benchmark::State& state) {
  static Registry* registry = [] {
    auto* r = new Registry(Duration{bench::HISTORY_SECONDS, 0});
    const std::vector<bench::TreeLink> links = bench::static_tree(500, 20);
    for (std::size_t i = 0; i < links.size(); ++i) {
      const bench::Pose p = bench::tree_pose(i);
      if (!r->process_add_transform(Transform{{p.tx, p.ty, p.tz},
                                              {p.qw, p.qx, p.qy, p.qz},
                                              Timestamp{},
                                              links[i].parent,
                                              links[i].child})) {
        std::abort();
      }
    }
    return r;
  }();
  const std::string from = bench::tree_frame(0, 19);
  const std::string to = bench::tree_frame(499, 19);
  const std::vector<std::uint64_t> stamps{bench::START_NS};
  state.counters["frames"] = static_cast<double>(registry->size());
  run_lookups(state, *registry, bench::Query{from, to}, stamps);
}
BENCHMARK(BM_StaticTreeLookup);

// Heap bytes per stored dynamic sample: one history filled with 1,000,000 in-order
// samples at 100 Hz, no expiry. Time is the whole fill.
void BM_HistoryBytesPerSample(benchmark::State& state) {
  const auto n = static_cast<std::uint64_t>(state.range(0));
  const bench::Link& link = bench::ROBOT_ARM_LINKS[1];
  double bytes_per_sample = 0;
  for (auto _ : state) {
    const std::size_t before = live_bytes;
    Buffer buffer(std::nullopt);
    for (std::uint64_t k = 0; k < n; ++k) {
      const std::uint64_t stamp = bench::sample_stamp_ns(link, k);
      if (!buffer.insert(make_transform(1, stamp, bench::link_pose(1, stamp)))) std::abort();
    }
    bytes_per_sample = static_cast<double>(live_bytes - before) / static_cast<double>(n);
    benchmark::DoNotOptimize(buffer);
  }
  state.counters["bytes_per_sample"] = bytes_per_sample;
  state.counters["inserts_per_s"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_HistoryBytesPerSample)
    ->ArgName("samples")
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
