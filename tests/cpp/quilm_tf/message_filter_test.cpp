#include "quilm_tf/message_filter.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "../testing.hpp"

namespace quilm_tf {
namespace {

using frames::time::Timestamp;
using testing_support::text;

// A move-only payload that counts live instances: the filter cannot copy one, and one it
// loses or destroys twice shows in the count.
struct Payload {
  static inline int live = 0;
  int id;
  explicit Payload(int i) : id(i) { ++live; }
  Payload(Payload&& other) noexcept : id(other.id) { ++live; }
  ~Payload() { --live; }
};
using Filter = MessageFilter<Payload>;
using Drops = std::vector<std::pair<int, DropReason>>;

std::vector<int> ids(const std::vector<Payload>& payloads) {
  std::vector<int> out;
  for (const Payload& p : payloads) out.push_back(p.id);
  return out;
}

Drops ids(const std::vector<DroppedMessage<Payload>>& dropped) {
  Drops out;
  for (const auto& d : dropped) out.emplace_back(d.message.id, d.reason);
  return out;
}

Drops add(Filter& filter, int id, std::string_view frame, u128 stamp_ns = 1'000'000'000) {
  return ids(filter.add(Payload(id), frame, Timestamp(stamp_ns)));
}

// Answers that every frame but `unready` can be transformed, and records each question, so
// tests see which lookups the filter made and in what order.
struct ScriptedBuffer {
  std::string unready;
  mutable std::vector<std::tuple<std::string, std::string, u128>> calls;
  bool can_transform_ns(std::string_view from, std::string_view to, u128 stamp_ns) const {
    calls.emplace_back(from, to, stamp_ns);
    return from != unready;
  }
};

TEST(MessageFilter, ReleasesTheReadyPrefixAskingEachTargetAtTheStampThenAhead) {
  Filter filter(0);
  ScriptedBuffer buffer{"laser", {}};
  add(filter, 1, "laser");
  EXPECT_EQ(ids(filter.drain_ready(buffer)), std::vector{1}) << "no targets: ready at once";
  ASSERT_TRUE(filter.set_target_frames(std::vector{"/map", "odom", "map"}));
  // Replacing the targets is all or nothing.
  EXPECT_EQ(text(filter.set_target_frames(std::vector<std::string>{})),
            R"(invalid frame "": at least one target frame is required)");
  EXPECT_EQ(text(filter.set_target_frames(std::vector{"map", "///"})),
            R"(invalid frame "///": frame name must not be empty)");
  EXPECT_EQ(filter.target_frames(), (std::vector<std::string>{"map", "odom", "map"}));
  add(filter, 2, "laser", 7);
  add(filter, 3, "//base_link", 7);
  // The head's first failed lookup keeps it, and the ready message behind it, queued.
  EXPECT_TRUE(filter.drain_ready(buffer).empty());
  EXPECT_EQ(buffer.calls, (decltype(buffer.calls){{"laser", "map", 7}}));
  buffer = {};
  filter.set_tolerance_ns(5);
  EXPECT_EQ(ids(filter.drain_ready(buffer)), (std::vector{2, 3}));
  decltype(buffer.calls) expected;
  for (const char* frame : {"laser", "base_link"}) {
    for (const char* target : {"map", "odom", "map"}) {
      expected.insert(expected.end(), {{frame, target, 7}, {frame, target, 12}});
    }
  }
  EXPECT_EQ(buffer.calls, expected);
  // Stamps at and one past the last instant whose look-ahead still fits in 128 bits: no
  // lookup at a wrapped-around stamp.
  constexpr u128 MAX = std::numeric_limits<u128>::max();
  for (const u128 stamp : {MAX - 5, MAX - 4}) {
    add(filter, 4, "base_link", stamp);
    buffer = {};
    EXPECT_EQ(filter.drain_ready(buffer).size(), stamp == MAX - 5 ? 1u : 0u);
    for (const auto& call : buffer.calls) EXPECT_GE(std::get<2>(call), MAX - 5);
  }
}

// Unusable names come straight back without evicting from a full queue; the bound evicts
// the oldest, down to the bound and only when enforced or on add; every payload leaves
// exactly once, and the filter destroys only what it must.
TEST(MessageFilter, EveryPayloadLeavesExactlyOnceInOrder) {
  using enum DropReason;
  Payload::live = 0;
  {
    Filter filter(2);
    Drops dropped;
    const char* frames[] = {"a", "/b", "", "///", "a/b", "map/", "c", "d"};
    for (int id = 0; id < 8; ++id) {
      for (const auto& drop : add(filter, id, frames[id])) dropped.push_back(drop);
    }
    filter.set_queue_size(1);
    EXPECT_EQ(filter.pending_count(), 2u) << "storing the bound evicts nothing by itself";
    for (const auto& drop : ids(filter.enforce_queue_size())) dropped.push_back(drop);
    EXPECT_EQ(dropped, (Drops{{2, EmptyFrameId}, {3, EmptyFrameId}, {4, InvalidFrameId},
                              {5, InvalidFrameId}, {0, QueueFull}, {1, QueueFull},
                              {6, QueueFull}}));
    EXPECT_EQ(Payload::live, 1);
    filter.set_queue_size(0);  // unbounded
    for (int id = 8; id < 10; ++id) EXPECT_TRUE(add(filter, id, "a").empty());
    EXPECT_EQ(ids(filter.take_all()), (std::vector{7, 8, 9}));
    add(filter, 10, "a");
    filter.clear();
    EXPECT_EQ(Payload::live, 0);
    add(filter, 11, "a");
  }
  EXPECT_EQ(Payload::live, 0) << "destroying the filter releases queued payloads";
}

}  // namespace
}  // namespace quilm_tf
