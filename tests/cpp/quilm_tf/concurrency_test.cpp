// The service and the message filter under the locking the Python binding uses: lookups,
// availability tests and filter draining on the shared side of one reader-writer lock,
// inserts and clearing on the exclusive side, each filter behind its own mutex taken before
// the buffer's lock. Under ThreadSanitizer (scripts/check-native) a missing lock shows up as
// a data race; in every build the invariants below catch torn or corrupted state.
//
// QUILM_TF_STRESS_MS sets how long the threads run (default 200 ms).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <random>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quilm_tf/buffer.hpp"
#include "quilm_tf/message_filter.hpp"

namespace quilm_tf {
namespace {

using frames::geometry::Quaternion;
using frames::time::Duration;
using frames::time::Timestamp;

constexpr u128 STEP_NS = 10'000'000;  // the writer's stamp spacing
constexpr u128 MAX_U128 = ~u128{0};
constexpr std::uint64_t MIN_ROUNDS = 50;  // per thread, so no test passes having done nothing
constexpr std::uint64_t MIN_CLEARS = 2;   // readers run across clears and regrowth
constexpr auto WATCHDOG = std::chrono::minutes(5);

Quaternion about_z(double angle) { return {std::cos(angle / 2), 0, 0, std::sin(angle / 2)}; }

struct Link {
  const char* parent;
  const char* child;
  Isometry pose;
};
// world -> base -> arm -> hand, base -> cam, world -> dock.
const Link STATIC_LINKS[] = {
    {"world", "base", {about_z(0.3), {1, 2, 0.5}}},
    {"base", "arm", {{0.5, 0.5, 0.5, 0.5}, {0, 0, 1.25}}},
    {"arm", "hand", {about_z(-2.5), {0.4, -0.1, 0}}},
    {"/base", "cam", {{0, 1, 0, 0}, {0.1, 0, 0.3}}},
    {"world", "/dock", {about_z(std::numbers::pi), {-3, 0, 0}}},
};
// hand -> tool gets new stamps but never a new pose, so every lookup through it must match
// a service where it is static.
const Isometry TOOL{about_z(1.0), {0, 0, 0.2}};

struct Pair {
  const char* from;
  const char* to;
};
const Pair STATIC_PAIRS[] = {
    {"hand", "world"}, {"cam", "hand"}, {"/dock", "cam"}, {"world", "arm"}, {"arm", "arm"}};

TransformBuffer static_service() {
  TransformBuffer service(Duration{1, 0});
  for (const auto& link : STATIC_LINKS) {
    EXPECT_TRUE(service.insert_isometry(link.parent, link.child, link.pose, 7, true));
  }
  return service;
}

bool finite_unit(const Isometry& iso) {
  const auto& q = iso.rotation;
  const auto& t = iso.translation;
  const double n = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
  return std::isfinite(t.x) && std::isfinite(t.y) && std::isfinite(t.z) && std::abs(n - 1) < 1e-9;
}

bool same(const Isometry& a, const Isometry& b) {
  return a.rotation == b.rotation && a.translation == b.translation;
}

bool near(const Isometry& a, const Isometry& b, double tolerance) {
  const auto& p = a.rotation;
  const auto& q = b.rotation;
  const double dot = p.w * q.w + p.x * q.x + p.y * q.y + p.z * q.z;  // q and -q: one rotation
  return std::abs(std::abs(dot) - 1) <= tolerance &&
         std::abs(a.translation.x - b.translation.x) <= tolerance &&
         std::abs(a.translation.y - b.translation.y) <= tolerance &&
         std::abs(a.translation.z - b.translation.z) <= tolerance;
}

std::chrono::milliseconds stress_duration() {
  const char* text = std::getenv("QUILM_TF_STRESS_MS");
  const long ms = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return std::chrono::milliseconds(ms > 0 ? ms : 200);
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The service as the binding holds it, plus a writer that keeps changing its dynamic part:
// new stamps for hand -> tool, world -> robot and robot -> wheel, refused inserts that must
// change nothing, and clear_dynamic every 64 rounds. Threads record broken invariants in
// `faults` (gtest assertions are not made from worker threads); the test checks it at the end.
class Stress : public ::testing::Test {
 protected:
  TransformBuffer service = static_service();
  std::shared_mutex lock;
  std::atomic<std::uint64_t> newest_k{0};  // index of the writer's newest stamp

  void fault(std::string text) {
    std::lock_guard guard(faults_mutex_);
    if (faults_++ == 0) first_fault_ = std::move(text);
  }

  // Runs the writer and `workers` until every event the test checks has happened: each
  // thread did MIN_ROUNDS rounds, the writer cleared MIN_CLEARS times and `seen` holds, and
  // at least the stress duration has passed. How much CPU the threads get only changes
  // how long that takes; a watchdog fails the test on a real hang.
  void run(std::vector<std::function<void()>> workers, const std::function<bool()>& seen) {
    std::vector<std::atomic<std::uint64_t>> rounds(workers.size() + 1);
    std::vector<std::thread> threads;
    threads.emplace_back([this, &rounds] { write(rounds[0]); });
    for (std::size_t i = 0; i < workers.size(); ++i) {
      threads.emplace_back([this, &rounds, &workers, i] {
        for (; !stop_.load(); ++rounds[i + 1]) workers[i]();
      });
    }
    const auto start = std::chrono::steady_clock::now();
    const auto done = [&] {
      for (const auto& r : rounds) {
        if (r.load() < MIN_ROUNDS) return false;
      }
      return clears_.load() >= MIN_CLEARS && seen();
    };
    bool events = false;
    while (std::chrono::steady_clock::now() - start < WATCHDOG) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      events = done();
      if (events && std::chrono::steady_clock::now() - start >= stress_duration()) break;
    }
    stop_.store(true);
    for (auto& t : threads) t.join();

    std::string figures = "writer " + std::to_string(rounds[0].load()) + " rounds";
    for (std::size_t i = 1; i < rounds.size(); ++i) figures += ", " + std::to_string(rounds[i].load());
    std::printf("[ stress   ] %s; clears %llu; %lld ms\n", figures.c_str(),
                static_cast<unsigned long long>(clears_.load()),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start)
                                           .count()));
    EXPECT_TRUE(events) << "the checked events did not all happen before the watchdog";
    EXPECT_EQ(faults_, 0) << "first: " << first_fault_;
  }

 private:
  void write(std::atomic<std::uint64_t>& rounds) {
    for (std::uint64_t k = 1; !stop_.load(); ++k, ++rounds) {
      const u128 stamp = k * STEP_NS;
      const double angle = 0.01 * static_cast<double>(k % 600);
      {
        std::unique_lock guard(lock);
        accept(service.insert_isometry("hand", "tool", TOOL, stamp, false));
        accept(service.insert_isometry("world", "robot", {about_z(angle), {1e-3 * k, 0, 0}},
                                       stamp, false));
        accept(service.insert_isometry("/robot", "wheel", {about_z(-angle), {0, 0.3, 0}}, stamp,
                                       false));
      }
      newest_k.store(k);
      if (k % 16 == 0) {
        const Isometry nan_pose{{std::nan(""), 0, 0, 1}, {0, 0, 0}};
        refuse("odom", "base", {}, stamp, false);    // re-parenting
        refuse("hand", "world", {}, stamp, true);    // cycle
        refuse("world", "ghost", nan_pose, stamp, false);
        refuse("tool", "/tool", {}, stamp, false);   // own parent
      }
      if (k % 64 == 0) {
        std::unique_lock guard(lock);
        service.clear_dynamic();
        ++clears_;
      }
    }
  }

  void accept(const Result<void, TransformBufferError>& result) {
    if (!result) fault("writer insert refused: " + to_string(result.error()));
  }

  // Each refused insert takes the lock on its own, so readers can slip in between.
  void refuse(const char* parent, const char* child, const Isometry& pose, u128 stamp,
              bool is_static) {
    std::unique_lock guard(lock);
    if (service.insert_isometry(parent, child, pose, stamp, is_static)) {
      fault(std::string("writer insert accepted though it should fail: ") + parent + " -> " +
            child);
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> clears_{0};
  std::mutex faults_mutex_;
  int faults_ = 0;
  std::string first_fault_;
};

// Static chains answer identically to a single-threaded reference at any stamp, while the
// dynamic part keeps changing; lookups through the dynamic tool agree with a static
// reference; every lookup agrees with can_transform_ns taken under the same lock hold.
TEST_F(Stress, LookupsUnderTheReadLockSeeConsistentTrees) {
  const TransformBuffer reference = static_service();
  std::vector<Isometry> expected;
  for (const Pair& p : STATIC_PAIRS) expected.push_back(*reference.lookup_ns(p.from, p.to, 1));
  TransformBuffer with_tool = static_service();
  ASSERT_TRUE(with_tool.insert_isometry("hand", "tool", TOOL, 0, true));
  const Isometry tool_in_world = *with_tool.lookup_ns("tool", "world", 1);

  auto reader = [&](std::uint64_t seed) {
    return [&, rng = std::mt19937_64(seed)]() mutable {
      const std::uint64_t k = newest_k.load();
      const u128 recent = (k > 3 ? k - rng() % 4 : 1) * STEP_NS;
      const std::size_t pick = rng() % (std::size(STATIC_PAIRS) + 2);
      if (pick < std::size(STATIC_PAIRS)) {
        const Pair& p = STATIC_PAIRS[pick];
        const u128 stamps[] = {recent, MAX_U128, 1, (u128{rng()} << 64) | rng()};
        const u128 stamp = stamps[rng() % 4];
        std::shared_lock guard(lock);
        const auto found = service.lookup_ns(p.from, p.to, stamp);
        if (!found || !service.can_transform_ns(p.from, p.to, stamp)) {
          fault(std::string("static lookup failed from ") + p.from + " to " + p.to);
        } else if (!same(*found, expected[pick])) {
          fault(std::string("static lookup differs from the reference: ") + p.from);
        }
      } else {
        const bool tool = pick == std::size(STATIC_PAIRS);
        const char* from = tool ? "tool" : "wheel";
        const char* to = tool ? "world" : "/dock";
        std::shared_lock guard(lock);
        const auto found = service.lookup_ns(from, to, recent);
        if (found.has_value() != service.can_transform_ns(from, to, recent)) {
          fault(std::string("lookup and can_transform_ns disagree for ") + from);
        }
        if (found) {
          if (!finite_unit(*found)) fault(std::string("non-unit or non-finite result: ") + from);
          if (tool && !near(*found, tool_in_world, 1e-12)) fault("tool lookup is off");
        } else {
          const std::string text = to_string(found.error());
          const bool expected_cause = contains(text, "does not exist in the transform tree") ||
                                      contains(text, "is outside the covered range");
          if (!expected_cause) fault("unexpected lookup failure: " + text);
        }
      }
    };
  };
  run({reader(1), reader(2)}, [] { return true; });
}

// Two threads share one filter behind its mutex, adding messages (good frames, frames that
// never connect, rejected names, future stamps) and draining it under the buffer's read lock.
// Every message leaves exactly once, queued ones in arrival order, and each released message
// was transformable under the very lock hold that released it.
TEST_F(Stress, FiltersDrainedUnderTheReadLockReleaseEachMessageOnce) {
  using Payload = std::unique_ptr<std::uint64_t>;
  struct Sent {
    std::string frame;
    u128 stamp_ns;
  };
  MessageFilter<Payload> filter(32);
  ASSERT_TRUE(filter.set_target_frames(std::vector<std::string>{"/world"}));
  std::mutex filter_mutex;
  std::vector<Sent> sent;        // by message id; guarded by filter_mutex
  std::vector<int> left;         // times each message left the filter; guarded likewise
  std::uint64_t last_left = 0;   // queued messages leave in id order; guarded likewise
  bool any_left = false;
  std::uint64_t delivered = 0, evicted = 0, rejected = 0;

  const char* const frames[] = {"tool", "/wheel", "dock", "ghost", "bad/frame", "", "//"};
  auto leave_in_order = [&](std::uint64_t id) {
    if (any_left && id <= last_left) fault("a queued message left out of arrival order");
    any_left = true;
    last_left = id;
    ++left[id];
  };
  auto worker = [&](std::uint64_t seed) {
    return [&, rng = std::mt19937_64(seed)]() mutable {
      const std::string frame = frames[rng() % std::size(frames)];
      const u128 stamp = (newest_k.load() + rng() % 3) * STEP_NS;
      std::lock_guard guard(filter_mutex);
      const std::uint64_t id = sent.size();
      sent.push_back({frame, stamp});
      left.push_back(0);
      for (auto& drop : filter.add(std::make_unique<std::uint64_t>(id), frame, Timestamp(stamp))) {
        const std::uint64_t dropped = *drop.message;
        if (drop.reason == DropReason::QueueFull) {
          leave_in_order(dropped);
          ++evicted;
        } else {
          const DropReason expected = frame.find_first_not_of('/') == std::string::npos
                                          ? DropReason::EmptyFrameId
                                          : DropReason::InvalidFrameId;
          if (dropped != id || drop.reason != expected) fault("wrong rejection of " + frame);
          ++left[dropped];
          ++rejected;
        }
      }
      if (rng() % 8 == 0) {
        filter.set_queue_size(rng() % 2 == 0 ? 4 : 32);
        for (auto& drop : filter.enforce_queue_size()) {
          leave_in_order(*drop.message);
          ++evicted;
        }
      }
      std::shared_lock read(lock);
      for (const Payload& message : filter.drain_ready(service)) {
        const Sent& s = sent[*message];
        if (!service.can_transform_ns(s.frame, "world", s.stamp_ns)) {
          fault("released a message that is not transformable: " + s.frame);
        }
        leave_in_order(*message);
        ++delivered;
      }
    };
  };
  run({worker(3), worker(4)}, [&] {
    std::lock_guard guard(filter_mutex);
    return delivered > 0 && evicted > 0 && rejected > 0;
  });

  for (const Payload& message : filter.take_all()) ++left[*message];
  std::uint64_t wrong = 0;
  for (int count : left) wrong += count != 1;
  std::printf("[ stress   ] messages %zu: delivered %llu, evicted %llu, rejected %llu\n",
              sent.size(), static_cast<unsigned long long>(delivered),
              static_cast<unsigned long long>(evicted), static_cast<unsigned long long>(rejected));
  EXPECT_EQ(wrong, 0u) << "messages that did not leave the filter exactly once";
}

}  // namespace
}  // namespace quilm_tf
