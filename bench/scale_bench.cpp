// How the costs of the frame graph grow with the input: each case is timed at n and at 4n
// in one run, and the ratio printed beside them. A near-linear operation costs about 4x
// (at most about 6x) for 4x the input; a quadratic one 16x.
//
//   clear_dynamic     n dynamic children of one parent, then clear_dynamic (timed alone)
//   deep_leaf_to_mid  a chain of n dynamic links; lookup_ns from the leaf to the middle
//   deep_build_root   the same chain inserted root first (each child below the last one)
//   deep_build_leaf   and leaf first (each parent above the last one), for comparison
//   history_in_order  n samples of one link, stamps ascending
//   history_reverse   the same samples, stamps descending
//   history_shuffled  the same samples in a fixed pseudo-random order
//
// Times are the best of --repeat runs (default 5) of the thread's CPU time, so a busy
// neighbour inflates them less; the history cases also print their ratio to in-order.
// Usage: scale_bench [--repeat R] [--scale S]  (S multiplies every n; default 1)

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "quilm_tf/buffer.hpp"

namespace {

using frames::geometry::Quaternion;
using frames::geometry::Vector3;
using quilm_tf::Isometry;
using quilm_tf::TransformBuffer;

constexpr std::uint64_t NS_PER_SECOND = 1'000'000'000;
// Long enough that nothing of these histories expires.
constexpr frames::time::Duration NO_EXPIRY{1'000'000'000, 0};

int repeat = 5;

Isometry pose(std::size_t i) {
  const double angle = 0.001 * static_cast<double>(i % 1000);
  return {Quaternion{std::cos(angle / 2), 0, 0, std::sin(angle / 2)},
          Vector3{0.01 * static_cast<double>(i % 100), 0.5, -0.25}};
}

std::string frame(std::size_t i) {
  std::string name = "f";
  name += std::to_string(i);
  return name;
}

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "scale_bench: %s failed\n", what);
    std::exit(1);
  }
}

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// The best of `repeat` runs of `timed`, in seconds; `setup` runs untimed before each.
double best_of(const std::function<void()>& setup, const std::function<void()>& timed) {
  double best = 1e300;
  for (int r = 0; r < repeat; ++r) {
    setup();
    const double start = cpu_seconds();
    timed();
    best = std::min(best, cpu_seconds() - start);
  }
  return best;
}

double clear_dynamic(std::size_t n) {
  std::unique_ptr<TransformBuffer> service;
  return best_of(
      [&] {
        service = std::make_unique<TransformBuffer>(NO_EXPIRY);
        for (std::size_t i = 0; i < n; ++i) {
          require(service->insert_isometry("map", frame(i), pose(i), NS_PER_SECOND, false).has_value(),
                  "sibling insert");
        }
      },
      [&] { service->clear_dynamic(); });
}

// f0 <- f1 <- ... <- fn, one dynamic sample per link at 1 s.
void build_chain(TransformBuffer& service, std::size_t n, bool root_first) {
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = root_first ? k : n - 1 - k;
    require(service.insert_isometry(frame(i), frame(i + 1), pose(i), NS_PER_SECOND, false).has_value(),
            "chain insert");
  }
}

double deep_build(std::size_t n, bool root_first) {
  std::unique_ptr<TransformBuffer> service;
  return best_of([&] { service = std::make_unique<TransformBuffer>(NO_EXPIRY); },
                 [&] { build_chain(*service, n, root_first); });
}

double deep_leaf_to_mid(std::size_t n) {
  TransformBuffer service(NO_EXPIRY);
  build_chain(service, n, false);
  const std::string leaf = frame(n);
  const std::string middle = frame(n / 2);
  return best_of([] {}, [&] {
    require(service.lookup_ns(leaf, middle, NS_PER_SECOND).has_value(), "leaf to middle");
  });
}

enum class Order { InOrder, Reverse, Shuffled };

double history(std::size_t n, Order order) {
  std::vector<std::size_t> index(n);
  std::iota(index.begin(), index.end(), std::size_t{0});
  if (order == Order::Reverse) std::reverse(index.begin(), index.end());
  if (order == Order::Shuffled) {
    std::uint64_t state = 42;  // splitmix64, so every run shuffles alike
    for (std::size_t i = n; i > 1; --i) {
      state += 0x9E3779B97F4A7C15;
      std::uint64_t z = state;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
      std::swap(index[i - 1], index[(z ^ (z >> 31)) % i]);
    }
  }
  std::unique_ptr<TransformBuffer> service;
  return best_of([&] { service = std::make_unique<TransformBuffer>(NO_EXPIRY); },
                 [&] {
                   for (std::size_t i : index) {
                     const std::uint64_t stamp = NS_PER_SECOND + i * 1'000'000;
                     require(service->insert_isometry("odom", "base", pose(i), stamp, false).has_value(),
                             "history insert");
                   }
                 });
}

void row(const char* name, std::size_t n, const std::function<double(std::size_t)>& run,
         double* small_out = nullptr, double* large_out = nullptr) {
  const double small = run(n);
  const double large = run(4 * n);
  std::printf("%-18s n=%-8zu %10.4f s   4n=%-8zu %10.4f s   x%.1f\n", name, n, small, 4 * n,
              large, large / small);
  if (small_out != nullptr) *small_out = small;
  if (large_out != nullptr) *large_out = large;
}

}  // namespace

int main(int argc, char** argv) {
  double scale = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--repeat") == 0) repeat = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--scale") == 0) scale = std::atof(argv[i + 1]);
  }
  const auto n = [&](std::size_t base) {
    return std::max<std::size_t>(1, static_cast<std::size_t>(static_cast<double>(base) * scale));
  };
  row("clear_dynamic", n(25'000), clear_dynamic);
  row("deep_leaf_to_mid", n(5'000), deep_leaf_to_mid);
  row("deep_build_root", n(2'000), [](std::size_t k) { return deep_build(k, true); });
  row("deep_build_leaf", n(2'000), [](std::size_t k) { return deep_build(k, false); });
  double in_small = 0, in_large = 0, small = 0, large = 0;
  row("history_in_order", n(10'000), [](std::size_t k) { return history(k, Order::InOrder); },
      &in_small, &in_large);
  row("history_reverse", n(10'000), [](std::size_t k) { return history(k, Order::Reverse); },
      &small, &large);
  std::printf("%-18s vs in order: x%.1f at n, x%.1f at 4n\n", "", small / in_small,
              large / in_large);
  row("history_shuffled", n(10'000), [](std::size_t k) { return history(k, Order::Shuffled); },
      &small, &large);
  std::printf("%-18s vs in order: x%.1f at n, x%.1f at 4n\n", "", small / in_small,
              large / in_large);
  return 0;
}
