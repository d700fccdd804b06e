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
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "frames/core/history.hpp"
#include "frames/core/registry.hpp"
#include "frames/geometry/quaternion.hpp"
#include "quilm_tf/buffer.hpp"
#include "quilm_tf/matrix.hpp"
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

// The floor of the service's lookup: the arithmetic it cannot avoid, on samples located
// before timing. Per link: the blend factor from the stamps, the linear blend of the
// translations and the full slerp (acos, sin); the links on the side of `from` inverted
// (normalise, conjugate, rotate); every link composed onto the accumulated one; the final
// inverse and the result check's division by the norm. No map, no search, no names, no
// error values.
struct FloorLink {
  const frames::core::Buffer* history;
  bool inverted;  // on the side of `from`: inverted, composed from the common ancestor down
};

struct Located {
  const frames::core::Sample* earlier;
  const frames::core::Sample* later;  // null for a static link or a stamp on a sample
};

struct Pose {
  Vector3 t;
  Quaternion q;
};

std::vector<const frames::core::Buffer*> path_up(const frames::core::Registry& registry,
                                                 std::string_view frame) {
  std::vector<const frames::core::Buffer*> path;
  while (const frames::core::Buffer* history = registry.find(frame)) {
    path.push_back(history);
    frame = *history->parent();
  }
  return path;
}

// The service asks the registry from `to` to `from`: `to`'s side upwards, then `from`'s
// side from the common ancestor down.
std::vector<FloorLink> floor_chain(const frames::core::Registry& registry,
                                   const bench::Query& query) {
  std::vector<const frames::core::Buffer*> up = path_up(registry, query.to);
  std::vector<const frames::core::Buffer*> down = path_up(registry, query.from);
  while (!up.empty() && !down.empty() && up.back() == down.back()) {
    up.pop_back();
    down.pop_back();
  }
  std::vector<FloorLink> links;
  for (const frames::core::Buffer* history : up) links.push_back({history, false});
  for (std::size_t i = down.size(); i-- > 0;) links.push_back({down[i], true});
  return links;
}

Pose floor_sample(const Located& at, std::uint64_t stamp) {
  const frames::core::Sample& a = *at.earlier;
  if (at.later == nullptr) return {a.translation, a.rotation};
  const frames::core::Sample& b = *at.later;
  const auto seconds = [](std::uint64_t ns) {
    return Duration{ns / frames::time::NS_PER_SECOND,
                    static_cast<std::uint32_t>(ns % frames::time::NS_PER_SECOND)}
        .as_seconds();
  };
  const std::uint64_t earlier_ns = a.stamp_low;
  const double r = seconds(stamp - earlier_ns) / seconds(b.stamp_low - earlier_ns);
  const Vector3& x = a.translation;
  const Vector3& y = b.translation;
  return {{x.x * (1.0 - r) + y.x * r, x.y * (1.0 - r) + y.y * r, x.z * (1.0 - r) + y.z * r},
          frames::geometry::slerp(frames::geometry::slerp_arc(a.rotation, b.rotation), r)};
}

Pose floor_invert(const Pose& p) {
  const double n = frames::geometry::norm(p.q);
  const double k = 1.0 / n;
  const Quaternion q = frames::geometry::conjugate({p.q.w * k, p.q.x * k, p.q.y * k, p.q.z * k});
  const Vector3 r = frames::geometry::rotate_vector(q, p.t);
  return {{-r.x, -r.y, -r.z}, q};
}

quilm_tf::Isometry floor_lookup(const std::vector<FloorLink>& links, const Located* located,
                                std::uint64_t stamp) {
  Pose accumulated{};
  for (std::size_t i = 0; i < links.size(); ++i) {
    Pose link = floor_sample(located[i], stamp);
    if (links[i].inverted) link = floor_invert(link);
    if (i == 0) {
      accumulated = link;
      continue;
    }
    const Vector3 moved = frames::geometry::rotate_vector(link.q, accumulated.t);
    accumulated = {{link.t.x + moved.x, link.t.y + moved.y, link.t.z + moved.z},
                   link.q * accumulated.q};
  }
  const Pose result = floor_invert(accumulated);
  const Quaternion& q = result.q;
  const double n = std::sqrt((q.x * q.x + q.z * q.z) + (q.y * q.y + q.w * q.w));
  return {{q.w / n, q.x / n, q.y / n, q.z / n}, result.t};
}

void BM_LookupFloor(benchmark::State& state) {
  const auto& query = bench::ROBOT_ARM_QUERIES[static_cast<std::size_t>(state.range(0))];
  const std::vector<FloorLink> links = floor_chain(scenario_registry(), query);
  const auto& s = stamps();
  std::vector<Located> located;
  for (const std::uint64_t stamp : s) {
    for (const FloorLink& link : links) {
      const frames::core::SampleStore& entries = link.history->entries();
      const frames::core::SampleStore::Around near =
          link.history->is_static() ? frames::core::SampleStore::Around{&entries.front(), nullptr}
                                    : entries.around(stamp);
      located.push_back({near.before == nullptr ? near.after : near.before, near.after});
    }
  }
  // The floor must compute what the service returns, bit for bit, or the ratio means
  // nothing.
  const auto& service = scenario_service();
  for (std::size_t k = 0; k < s.size(); ++k) {
    const quilm_tf::Isometry floor = floor_lookup(links, located.data() + k * links.size(), s[k]);
    const auto actual = service.lookup_ns(query.from, query.to, s[k]);
    if (!actual || !(floor.rotation == actual->rotation) ||
        !(floor.translation == actual->translation)) {
      state.SkipWithError("floor differs from lookup_ns");
      return;
    }
  }
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(floor_lookup(links, located.data() + i * links.size(), s[i]));
    i = (i + 1) % s.size();
  }
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
BENCHMARK(BM_LookupFloor)->DenseRange(0, 2);
BENCHMARK(BM_ServiceCanTransform)->DenseRange(0, 2);
BENCHMARK(BM_ServiceDynamicInsert)
    ->Arg(bench::DATA_SECONDS)
    ->Arg(3 * bench::HISTORY_SECONDS)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
