// The transform buffer service against the bare frame registry on the robot-arm scenario:
// the service's lookup is the registry's plus name normalisation and the result check, so
// the two are measured side by side in one run. Each lookup benchmark also reports the heap
// allocations per call, counted by the replaced operator new below.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "frames/core/registry.hpp"
#include "quilm_tf/buffer.hpp"
#include "scenario.hpp"

namespace {
std::size_t allocations = 0;  // the benchmarks run on one thread
}

// g++ sees free() on memory from operator new once these are inlined; they are a matched
// pair by construction.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using frames::geometry::Quaternion;
using frames::geometry::Transform;
using frames::geometry::Vector3;
using frames::time::Duration;
using frames::time::Timestamp;

constexpr Duration HISTORY{bench::HISTORY_SECONDS, 0};

quilm_tf::Isometry isometry_of(const bench::Pose& p) {
  return {Quaternion{p.qw, p.qx, p.qy, p.qz}, Vector3{p.tx, p.ty, p.tz}};
}

const frames::core::Registry& scenario_registry() {
  static const frames::core::Registry registry = [] {
    frames::core::Registry r(HISTORY);
    bench::for_each_sample(bench::DATA_SECONDS, [&](std::size_t i, std::uint64_t stamp,
                                                    const bench::Pose& p) {
      const bench::Link& link = bench::ROBOT_ARM_LINKS[i];
      Transform t{{p.tx, p.ty, p.tz}, {p.qw, p.qx, p.qy, p.qz}, Timestamp{stamp},
                  std::string(link.parent), std::string(link.child)};
      if (!r.process_add_transform(std::move(t))) std::abort();
    });
    return r;
  }();
  return registry;
}

const quilm_tf::TransformBuffer& scenario_service() {
  static const quilm_tf::TransformBuffer service = [] {
    quilm_tf::TransformBuffer s(HISTORY);
    bench::for_each_sample(bench::DATA_SECONDS, [&](std::size_t i, std::uint64_t stamp,
                                                    const bench::Pose& p) {
      const bench::Link& link = bench::ROBOT_ARM_LINKS[i];
      if (!s.insert_isometry(link.parent, link.child, isometry_of(p), stamp, link.rate_hz == 0)) {
        std::abort();
      }
    });
    return s;
  }();
  return service;
}

const std::vector<std::uint64_t>& stamps() {
  static const std::vector<std::uint64_t> s = bench::query_stamps(
      4096, bench::START_NS, bench::START_NS + bench::DATA_SECONDS * bench::NS_PER_SECOND);
  return s;
}

// Runs `lookup` over the query stamps in turn; reports allocations per call, counted over
// one pass before timing.
template <class Lookup>
void run_lookups(benchmark::State& state, Lookup&& lookup) {
  const auto& s = stamps();
  const std::size_t before = allocations;
  for (std::uint64_t stamp : s) {
    if (!lookup(stamp)) state.SkipWithError("lookup failed");
  }
  state.counters["allocs_per_call"] =
      static_cast<double>(allocations - before) / static_cast<double>(s.size());
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(lookup(s[i]));
    i = (i + 1) % s.size();
  }
}

// The registry's own question for the service's lookup from `from` to `to`: `to` first.
void BM_RegistryGetTransform(benchmark::State& state) {
  const auto& query = bench::ROBOT_ARM_QUERIES[static_cast<std::size_t>(state.range(0))];
  const auto& registry = scenario_registry();
  run_lookups(state, [&](std::uint64_t stamp) {
    return registry.process_get_transform(query.to, query.from, Timestamp{stamp}).has_value();
  });
  state.SetLabel(std::string(query.from) + "->" + std::string(query.to));
}

void BM_ServiceLookup(benchmark::State& state) {
  const auto& query = bench::ROBOT_ARM_QUERIES[static_cast<std::size_t>(state.range(0))];
  const auto& service = scenario_service();
  run_lookups(state, [&](std::uint64_t stamp) {
    return service.lookup_ns(query.from, query.to, stamp).has_value();
  });
  state.SetLabel(std::string(query.from) + "->" + std::string(query.to));
}

void BM_ServiceCanTransform(benchmark::State& state) {
  const auto& query = bench::ROBOT_ARM_QUERIES[static_cast<std::size_t>(state.range(0))];
  const auto& service = scenario_service();
  run_lookups(state, [&](std::uint64_t stamp) {
    return service.can_transform_ns(query.from, query.to, stamp);
  });
  state.SetLabel(std::string(query.from) + "->" + std::string(query.to));
}

// In-order dynamic inserts into a service that already holds the static links: the first
// HISTORY_SECONDS fill the window, later seconds also expire one old sample per insert.
void BM_ServiceDynamicInsert(benchmark::State& state) {
  struct Sample {
    std::size_t link;
    std::uint64_t stamp;
    quilm_tf::Isometry pose;
  };
  std::vector<Sample> dynamic;
  const auto seconds = static_cast<std::uint64_t>(state.range(0));
  bench::for_each_sample(seconds, [&](std::size_t i, std::uint64_t stamp, const bench::Pose& p) {
    dynamic.push_back({i, stamp, isometry_of(p)});
  });
  std::size_t inserted = 0;
  for (auto _ : state) {
    state.PauseTiming();
    {
      auto service = std::make_unique<quilm_tf::TransformBuffer>(HISTORY);
      for (const Sample& s : dynamic) {
        const bench::Link& link = bench::ROBOT_ARM_LINKS[s.link];
        if (link.rate_hz != 0) continue;
        if (!service->insert_isometry(link.parent, link.child, s.pose, 0, true)) {
          state.SkipWithError("static insert failed");
        }
      }
      state.ResumeTiming();
      for (const Sample& s : dynamic) {
        const bench::Link& link = bench::ROBOT_ARM_LINKS[s.link];
        if (link.rate_hz == 0) continue;
        if (!service->insert_isometry(link.parent, link.child, s.pose, s.stamp, false)) {
          state.SkipWithError("dynamic insert failed");
        }
        ++inserted;
      }
      state.PauseTiming();
    }  // the teardown is not timed
    state.ResumeTiming();
  }
  state.counters["time_per_insert"] = benchmark::Counter(
      static_cast<double>(inserted), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_RegistryGetTransform)->DenseRange(0, 2);
BENCHMARK(BM_ServiceLookup)->DenseRange(0, 2);
BENCHMARK(BM_ServiceCanTransform)->DenseRange(0, 2);
BENCHMARK(BM_ServiceDynamicInsert)
    ->Arg(bench::DATA_SECONDS)
    ->Arg(3 * bench::HISTORY_SECONDS)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
