#include "quilm_tf/message_filter.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace quilm_tf {
namespace {

using frames::time::Timestamp;
using frames::time::u128;
using Filter = MessageFilter<std::unique_ptr<int>>;

constexpr u128 SECOND_NS = 1'000'000'000;

std::vector<int> ids(const std::vector<std::unique_ptr<int>>& payloads) {
  std::vector<int> out;
  for (const auto& p : payloads) out.push_back(*p);
  return out;
}

std::vector<std::pair<int, DropReason>> ids(
    const std::vector<DroppedMessage<std::unique_ptr<int>>>& drops) {
  std::vector<std::pair<int, DropReason>> out;
  for (const auto& d : drops) out.emplace_back(*d.message, d.reason);
  return out;
}

std::vector<DroppedMessage<std::unique_ptr<int>>> add(Filter& filter, int id, std::string_view frame,
                                                      u128 stamp_ns = SECOND_NS) {
  return filter.add(std::make_unique<int>(id), frame, Timestamp(stamp_ns));
}

// Answers every availability question from `answer` and records it, so tests can see which
// lookups the filter made and in what order.
struct ScriptedBuffer {
  struct Call {
    std::string from, to;
    u128 stamp_ns;
    bool operator==(const Call&) const = default;
  };
  explicit ScriptedBuffer(bool answer = true) : answer(answer) {}
  bool answer;
  mutable std::vector<Call> calls;
  bool can_transform_ns(std::string_view from, std::string_view to, u128 stamp_ns) const {
    calls.push_back({std::string(from), std::string(to), stamp_ns});
    return answer;
  }
};

TransformBuffer buffer_with(std::initializer_list<std::pair<const char*, u128>> links) {
  TransformBuffer buffer(frames::time::Duration{100, 0});
  for (auto [child, stamp_ns] : links) {
    EXPECT_TRUE(buffer.insert_isometry("map", child, Isometry{}, stamp_ns, false).has_value());
  }
  return buffer;
}

struct BadName {
  const char* frame;
  DropReason reason;
};
class MessageFilterRejects : public testing::TestWithParam<BadName> {};

TEST_P(MessageFilterRejects, HandsBackTheNewMessageAndLeavesTheQueue) {
  Filter filter(1);
  EXPECT_TRUE(add(filter, 1, "base_link").empty());
  // A full queue must not evict for a message that is never queued.
  EXPECT_EQ(ids(add(filter, 2, GetParam().frame)), (std::vector{std::pair{2, GetParam().reason}}));
  EXPECT_EQ(filter.pending_count(), 1u);
  EXPECT_EQ(ids(filter.drain_ready(ScriptedBuffer{})), std::vector{1});
}

INSTANTIATE_TEST_SUITE_P(Names, MessageFilterRejects,
                         testing::Values(BadName{"", DropReason::EmptyFrameId},
                                         BadName{"/", DropReason::EmptyFrameId},
                                         BadName{"///", DropReason::EmptyFrameId},
                                         BadName{"a/b", DropReason::InvalidFrameId},
                                         BadName{"/a/b", DropReason::InvalidFrameId},
                                         BadName{"map/", DropReason::InvalidFrameId}));

TEST(MessageFilter, QueuesUnderTheNormalisedNameAndAsksInTargetOrder) {
  Filter filter(0);
  ASSERT_TRUE(filter.set_target_frames(std::vector{"/map", "odom", "map"}).has_value());
  EXPECT_EQ(filter.target_frames(), (std::vector<std::string>{"map", "odom", "map"}));
  EXPECT_TRUE(add(filter, 1, "//base_link", 7).empty());
  ScriptedBuffer buffer;
  filter.set_tolerance_ns(5);
  EXPECT_EQ(ids(filter.drain_ready(buffer)), std::vector{1});
  using Call = ScriptedBuffer::Call;
  EXPECT_EQ(buffer.calls, (std::vector<Call>{{"base_link", "map", 7}, {"base_link", "map", 12},
                                             {"base_link", "odom", 7}, {"base_link", "odom", 12},
                                             {"base_link", "map", 7}, {"base_link", "map", 12}}));
}

TEST(MessageFilter, FirstFailedLookupStopsDraining) {
  Filter filter(0);
  ASSERT_TRUE(filter.set_target_frames(std::vector{"map", "odom"}).has_value());
  ScriptedBuffer buffer(false);
  EXPECT_TRUE(filter.drain_ready(buffer).empty());
  EXPECT_TRUE(buffer.calls.empty()) << "an empty queue needs no lookup";
  add(filter, 1, "base_link");
  add(filter, 2, "base_link");
  EXPECT_TRUE(filter.drain_ready(buffer).empty());
  EXPECT_EQ(buffer.calls, (std::vector<ScriptedBuffer::Call>{{"base_link", "map", SECOND_NS}}));
  EXPECT_EQ(filter.pending_count(), 2u);
}

TEST(MessageFilter, WithoutTargetsEveryMessageIsReady) {
  Filter filter(0);
  add(filter, 1, "a");
  ScriptedBuffer buffer(false);
  EXPECT_EQ(ids(filter.drain_ready(buffer)), std::vector{1});
  EXPECT_TRUE(buffer.calls.empty());
}

// Stamps at and one past the last instant whose look-ahead still fits in 128 bits.
class MessageFilterLookAhead : public testing::TestWithParam<bool> {};

TEST_P(MessageFilterLookAhead, ReleasesOnlyWhenStampPlusToleranceFits) {
  const bool fits = GetParam();
  constexpr u128 MAX = std::numeric_limits<u128>::max();
  Filter filter(0);
  ASSERT_TRUE(filter.set_target_frames(std::vector{"map"}).has_value());
  filter.set_tolerance_ns(5);
  add(filter, 1, "base_link", fits ? MAX - 5 : MAX - 4);
  ScriptedBuffer buffer;
  EXPECT_EQ(filter.drain_ready(buffer).size(), fits ? 1u : 0u);
  // No lookup at a wrapped-around stamp.
  for (const auto& call : buffer.calls) EXPECT_GE(call.stamp_ns, MAX - 5);
}

INSTANTIATE_TEST_SUITE_P(Edge, MessageFilterLookAhead, testing::Bool());

TEST(MessageFilter, BoundEvictsOldestFirstAndKeepsTheNewest) {
  Filter filter(2);
  add(filter, 1, "a");
  add(filter, 2, "a");
  EXPECT_EQ(ids(add(filter, 3, "a")), (std::vector{std::pair{1, DropReason::QueueFull}}));
  for (int id = 4; id <= 6; ++id) add(filter, id, "a");
  filter.set_queue_size(1);
  EXPECT_EQ(filter.pending_count(), 2u) << "storing the bound evicts nothing by itself";
  EXPECT_EQ(ids(filter.enforce_queue_size()), (std::vector{std::pair{5, DropReason::QueueFull}}));
  EXPECT_EQ(ids(filter.drain_ready(ScriptedBuffer{})), std::vector{6});
}

TEST(MessageFilter, ZeroBoundIsUnbounded) {
  Filter filter(0);
  for (int id = 0; id < 1000; ++id) ASSERT_TRUE(add(filter, id, "a").empty());
  EXPECT_TRUE(filter.enforce_queue_size().empty());
  EXPECT_EQ(filter.pending_count(), 1000u);
}

TEST(MessageFilter, SetTargetFramesIsAllOrNothing) {
  Filter filter(0);
  ASSERT_TRUE(filter.set_target_frames(std::vector{"base"}).has_value());
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{}, R"(invalid frame "": at least one target frame is required)"},
      {{"map", "a/b"}, R"(invalid frame "a/b": frame name must be unqualified)"},
      {{"map", "//"}, R"(invalid frame "//": frame name must not be empty)"},
  };
  for (const auto& [names, message] : refused) {
    auto result = filter.set_target_frames(names);
    ASSERT_FALSE(result.has_value()) << message;
    EXPECT_EQ(to_string(result.error()), message);
    EXPECT_EQ(filter.target_frames(), std::vector<std::string>{"base"});
  }
}

TEST(MessageFilter, HeadOfLineBlocksUntilTheFrontIsReady) {
  TransformBuffer buffer = buffer_with({{"base_link", SECOND_NS}});
  Filter filter(0);
  ASSERT_TRUE(filter.set_target_frames(std::vector{"map"}).has_value());
  add(filter, 1, "laser");
  add(filter, 2, "/base_link");
  EXPECT_TRUE(filter.drain_ready(buffer).empty());
  EXPECT_EQ(filter.pending_count(), 2u);
  ASSERT_TRUE(buffer.insert_isometry("base_link", "laser", Isometry{}, 0, true).has_value());
  EXPECT_EQ(ids(filter.drain_ready(buffer)), (std::vector{1, 2}));
}

TEST(MessageFilter, ToleranceWaitsForTheInstantAfterTheStamp) {
  constexpr u128 TOLERANCE_NS = 5'000'000;
  TransformBuffer buffer = buffer_with({{"base_link", SECOND_NS}});
  Filter filter(0);
  ASSERT_TRUE(filter.set_target_frames(std::vector{"map"}).has_value());
  add(filter, 1, "base_link");
  filter.set_tolerance_ns(TOLERANCE_NS);
  EXPECT_TRUE(filter.drain_ready(buffer).empty());
  ASSERT_TRUE(buffer.insert_isometry("map", "base_link", Isometry{}, SECOND_NS + TOLERANCE_NS, false)
                  .has_value());
  add(filter, 2, "base_link", SECOND_NS + 1);
  EXPECT_EQ(ids(filter.drain_ready(buffer)), std::vector{1});
  filter.set_tolerance_ns(0);
  EXPECT_EQ(ids(filter.drain_ready(buffer)), std::vector{2});
}

// Counts live instances and copies: a filter that copies a payload, or loses one, shows here.
struct Tracked {
  static inline int live = 0;
  static inline int copies = 0;
  int id;
  explicit Tracked(int i) : id(i) { ++live; }
  Tracked(const Tracked& other) : id(other.id) { ++live, ++copies; }
  Tracked(Tracked&& other) noexcept : id(other.id) { ++live; }
  ~Tracked() { --live; }
};
int id_of(const Tracked& payload) { return payload.id; }
int id_of(const DroppedMessage<Tracked>& drop) { return drop.message.id; }

TEST(MessageFilter, EveryPayloadLeavesExactlyOnceAndIsNeverCopied) {
  Tracked::live = Tracked::copies = 0;
  std::vector<int> out;
  {
    MessageFilter<Tracked> filter(3);
    auto keep = [&](const auto& payloads) {
      for (const auto& p : payloads) out.push_back(id_of(p));
    };
    const char* frames[] = {"a", "", "/b", "a/b", "c", "d", "e"};
    for (int id = 0; id < 7; ++id) keep(filter.add(Tracked(id), frames[id], Timestamp(1)));
    EXPECT_EQ(Tracked::live, 3);
    ASSERT_TRUE(filter.set_target_frames(std::vector{"map"}).has_value());
    keep(filter.drain_ready(ScriptedBuffer{}));
    for (int id = 7; id < 10; ++id) keep(filter.add(Tracked(id), "a", Timestamp(1)));
    keep(filter.take_all());
    EXPECT_EQ(filter.pending_count(), 0u);
    for (int id = 10; id < 12; ++id) keep(filter.add(Tracked(id), "a", Timestamp(1)));
    filter.clear();
    EXPECT_EQ(Tracked::live, 0);
    keep(filter.add(Tracked(12), "a", Timestamp(1)));
    EXPECT_EQ(Tracked::live, 1);
  }
  EXPECT_EQ(Tracked::live, 0) << "destroying the filter releases queued payloads";
  EXPECT_EQ(Tracked::copies, 0);
  EXPECT_EQ(out, (std::vector{1, 3, 0, 2, 4, 5, 6, 7, 8, 9}));
}

}  // namespace
}  // namespace quilm_tf
