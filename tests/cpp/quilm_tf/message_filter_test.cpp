#include "quilm_tf/message_filter.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace quilm_tf {
namespace {

using frames::time::Timestamp;
using frames::time::u128;

constexpr u128 SECOND_NS = 1'000'000'000;

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

Drops add(Filter& filter, int id, std::string_view frame, u128 stamp_ns = SECOND_NS) {
  return ids(filter.add(Payload(id), frame, Timestamp(stamp_ns)));
}

// Answers that every frame but `unready` can be transformed, and records each question, so
// tests see which lookups the filter made and in what order.
struct ScriptedBuffer {
  struct Call {
    std::string from, to;
    u128 stamp_ns;
    bool operator==(const Call&) const = default;
  };
  std::string unready;
  mutable std::vector<Call> calls;
  bool can_transform_ns(std::string_view from, std::string_view to, u128 stamp_ns) const {
    calls.push_back({std::string(from), std::string(to), stamp_ns});
    return from != unready;
  }
};

TEST(MessageFilter, ReleasesTheReadyPrefixAskingEachTargetAtTheStampThenAhead) {
  Filter filter(0);
  ScriptedBuffer buffer{"laser", {}};
  add(filter, 1, "laser");
  EXPECT_EQ(ids(filter.drain_ready(buffer)), std::vector{1}) << "no targets: ready at once";

  ASSERT_TRUE(filter.set_target_frames(std::vector{"/map", "odom", "map"}).has_value());
  // Replacing the targets is all or nothing.
  for (const auto& [names, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{}, R"(invalid frame "": at least one target frame is required)"},
           {{"map", "///"}, R"(invalid frame "///": frame name must not be empty)"}}) {
    auto result = filter.set_target_frames(names);
    EXPECT_EQ(result ? "ok" : to_string(result.error()), message);
  }
  EXPECT_EQ(filter.target_frames(), (std::vector<std::string>{"map", "odom", "map"}));
  add(filter, 2, "laser", 7);
  add(filter, 3, "//base_link", 7);
  // The head's first failed lookup keeps it, and the ready message behind it, queued.
  EXPECT_TRUE(filter.drain_ready(buffer).empty());
  using Call = ScriptedBuffer::Call;
  EXPECT_EQ(buffer.calls, (std::vector<Call>{{"laser", "map", 7}}));

  buffer = {};
  filter.set_tolerance_ns(5);
  EXPECT_EQ(ids(filter.drain_ready(buffer)), (std::vector{2, 3}));
  std::vector<Call> expected;
  for (const char* frame : {"laser", "base_link"}) {
    for (const char* target : {"map", "odom", "map"}) {
      expected.insert(expected.end(), {{frame, target, 7}, {frame, target, 12}});
    }
  }
  EXPECT_EQ(buffer.calls, expected);
}

// Stamps at and one past the last instant whose look-ahead still fits in 128 bits.
TEST(MessageFilter, ReleasesOnlyWhenStampPlusToleranceFits) {
  constexpr u128 MAX = std::numeric_limits<u128>::max();
  for (const bool fits : {true, false}) {
    Filter filter(0);
    ASSERT_TRUE(filter.set_target_frames(std::vector{"map"}).has_value());
    filter.set_tolerance_ns(5);
    add(filter, 1, "base_link", fits ? MAX - 5 : MAX - 4);
    ScriptedBuffer buffer;
    EXPECT_EQ(filter.drain_ready(buffer).size(), fits ? 1u : 0u);
    // No lookup at a wrapped-around stamp.
    for (const auto& call : buffer.calls) EXPECT_GE(call.stamp_ns, MAX - 5);
  }
}

// Unusable names come straight back without evicting from a full queue; the bound evicts
// the oldest; every payload leaves exactly once, and the filter destroys only what it must.
TEST(MessageFilter, EveryPayloadLeavesExactlyOnceInOrder) {
  using enum DropReason;
  Payload::live = 0;
  {
    Filter filter(2);
    const char* frames[] = {"a", "/b", "", "///", "a/b", "map/", "c", "d"};
    Drops dropped;
    for (int id = 0; id < 8; ++id) {
      for (const auto& drop : add(filter, id, frames[id])) dropped.push_back(drop);
    }
    EXPECT_EQ(dropped, (Drops{{2, EmptyFrameId}, {3, EmptyFrameId}, {4, InvalidFrameId},
                              {5, InvalidFrameId}, {0, QueueFull}, {1, QueueFull}}));
    EXPECT_EQ(Payload::live, 2);
    filter.set_queue_size(1);
    EXPECT_EQ(filter.pending_count(), 2u) << "storing the bound evicts nothing by itself";
    EXPECT_EQ(ids(filter.enforce_queue_size()), (Drops{{6, QueueFull}}));
    filter.set_queue_size(0);  // unbounded
    for (int id = 8; id < 10; ++id) EXPECT_TRUE(add(filter, id, "a").empty());
    EXPECT_TRUE(filter.enforce_queue_size().empty());
    EXPECT_EQ(ids(filter.drain_ready(ScriptedBuffer{})), (std::vector{7, 8, 9}));
    for (int id = 10; id < 12; ++id) EXPECT_TRUE(add(filter, id, "a").empty());
    EXPECT_EQ(ids(filter.take_all()), (std::vector{10, 11}));
    EXPECT_EQ(filter.pending_count(), 0u);
    add(filter, 12, "a");
    filter.clear();
    EXPECT_EQ(Payload::live, 0);
    add(filter, 13, "a");
    EXPECT_EQ(Payload::live, 1);
  }
  EXPECT_EQ(Payload::live, 0) << "destroying the filter releases queued payloads";
}

}  // namespace
}  // namespace quilm_tf
