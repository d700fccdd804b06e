#pragma once

// The frame tree: one history per child frame, keyed by the child's name. A frame exists
// when it is a key or the recorded parent of some history. Not synchronised: the owner
// serialises inserts and removals against lookups.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "frames/core/history.hpp"
#include "frames/core/link.hpp"
#include "frames/geometry/transform.hpp"
#include "frames/result.hpp"
#include "frames/time/timestamp.hpp"

namespace frames::core {

// The links met by one walk, from the start frame upwards, each with the history it was
// sampled from. Lookups in a tree of ordinary depth keep them inline, so a lookup allocates
// nothing; deeper walks spill to the heap.
class Chain {
 public:
  static constexpr std::size_t INLINE = 32;

  Chain() noexcept {}  // the inline steps are written before they are read
  Chain(const Chain& other) { *this = other; }
  Chain& operator=(const Chain& other);

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const Link& operator[](std::size_t i) const noexcept { return data()[i].link; }
  const Link& back() const noexcept { return data()[size_ - 1].link; }
  // The history a link was sampled from; null for derived links.
  const Buffer* source(std::size_t i) const noexcept { return data()[i].source; }
  // Inline so that a walk's steps are written straight into place.
  void push_back(const Link& link, const Buffer* source = nullptr) {
    if (!on_heap_ && size_ < INLINE) {
      Step& step = inline_[size_++];
      step.link = link;
      step.source = source;
      return;
    }
    push_back_slow(link, source);
  }
  // Overwrites link i with a derived link (no source).
  void replace(std::size_t i, const Link& link) noexcept {
    Step& step = mutable_data()[i];
    step.link = link;
    step.source = nullptr;
  }
  void reverse() noexcept;
  void pop_back() noexcept;
  void clear() noexcept;

 private:
  struct Step {
    Link link;
    const Buffer* source;
  };
  const Step* data() const noexcept { return on_heap_ ? spill_.data() : inline_; }
  Step* mutable_data() noexcept { return on_heap_ ? spill_.data() : inline_; }
  void push_back_slow(const Link& link, const Buffer* source);

  union {
    Step inline_[INLINE];
  };
  std::vector<Step> spill_;
  std::size_t size_ = 0;
  bool on_heap_ = false;
};

class Registry {
 public:
  explicit Registry(std::optional<time::Duration> max_age);
  // Histories link to each other by address; moving keeps the addresses, copying would not.
  Registry(Registry&&) noexcept = default;
  Registry& operator=(Registry&&) noexcept = default;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Cycle check (new children only), then the history's own checks. A refused first
  // insert for a child leaves no trace of it.
  Result<void, BufferError> process_add_transform(geometry::Transform transform);
  // Drops one child's history; its children keep naming it as their parent.
  bool remove_frame(std::string_view name);
  // The transform whose parent is `from` and whose child is `to`, at `time`.
  Result<geometry::Transform, geometry::TransformError> process_get_transform(
      std::string_view from, std::string_view to, time::Timestamp time) const;
  // The same answer without copying the names: its parent and child view `from` and `to`.
  Result<Link, geometry::TransformError> process_get_link(std::string_view from,
                                                          std::string_view to,
                                                          time::Timestamp time) const;

  // The newest stamp that every dynamic link on the chain between the two frames covers:
  // the least of their newest stored stamps; zero when the names are equal or every link
  // is static. Samples nothing. Without a chain, the error process_get_link reports when
  // no link fails to sample: FrameNotFound (`from` checked first), else NoChain.
  Result<time::Timestamp, geometry::TransformError> latest_common_time(
      std::string_view from, std::string_view to) const;
  // Calls visit(history) once per child frame, in no particular order.
  template <class Visit>
  void for_each_frame(Visit&& visit) const {
    for (const auto& entry : frames_) visit(entry.second.buffer);
  }
  // What the walks alone tell about process_get_link(from, to, time).has_value().
  enum class Answer : std::uint8_t { Fails, Succeeds, Unsure };
  // Succeeds only when every link is found and nothing the arithmetic can do fails: no
  // history on the way holds a translation beyond TRANSLATION_BOUND or a span of 2^64 ns
  // or more at `time`, and the registry holds at most CERTAIN_LINKS / 2 histories. Unsure
  // otherwise, and then only process_get_link can tell.
  Answer probe_link(std::string_view from, std::string_view to, time::Timestamp time) const;
  // Links a lookup composes, at most, for probe_link to vouch for it (see TRANSLATION_BOUND).
  static constexpr std::size_t CERTAIN_LINKS = std::size_t{1} << 21;

  // The history of a child frame, or null.
  const Buffer* find(std::string_view child) const noexcept;
  std::size_t size() const noexcept { return frames_.size(); }
  // A key, or else the recorded parent of some history.
  bool frame_exists(std::string_view name) const noexcept;

 private:
  friend class ChainSampler;

  // Heterogeneous lookup: a name given as a view finds its entry without building a string.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept {
      return std::hash<std::string_view>{}(name);
    }
  };
  // A child frame's history and the entry of its parent frame, when the parent has a
  // history of its own: walks go up the tree by pointer instead of hashing every name.
  struct Node {
    Buffer buffer;
    Node* up = nullptr;
    // Where this entry sits in its parent's list of ChildIndex: removal swaps it out.
    std::size_t sibling = 0;
  };
  using FrameMap = std::unordered_map<std::string, Node, NameHash, std::equal_to<>>;
  // For every frame named as a parent: the entries that name it, in no particular order. A
  // frame that gains or loses its history relinks them, and it exists in the tree while
  // this list is not empty.
  using ChildIndex = std::unordered_map<std::string, std::vector<Node*>, NameHash, std::equal_to<>>;

  // The first sampling failure of one lookup, shared by its two walks.
  struct FailureRecord {
    std::string_view frame;
    BufferError error;
  };

  bool creates_cycle(const geometry::Transform& transform) const;
  // The entries from `start` up to the last one with a history, in walking order; false
  // when the walk outran the number of histories (only a loop could do that).
  bool path_to_root(std::string_view start, std::vector<const Node*>& path) const;
  // Fills `chain` (emptied first) walking from start towards the root until target or a
  // frame without history; false (and an empty chain) when nothing was walked or the walk
  // outran the number of histories. Links that `walked` (an earlier walk of the same
  // lookup) already sampled are taken from it.
  // With Probe the links are only checked, not sampled (their values are left zero), and
  // a history that cannot tell sets `unsure` and ends the walk with an empty chain.
  template <bool Probe>
  bool get_transform_chain(const Node* start, const Node* target, time::Timestamp time,
                           std::optional<FailureRecord>& failure, Chain& chain,
                           const Chain* walked, bool& unsure) const;
  // process_get_link; with Probe it walks, checks names and stamps, and computes nothing.
  template <bool Probe>
  Result<Link, geometry::TransformError> get_link(std::string_view from, std::string_view to,
                                                  time::Timestamp time, bool& unsure) const;
  template <bool Probe>
  static Result<void, geometry::TransformError> reverse_and_invert_transforms(Chain& chain);
  template <bool Probe>
  static Result<Link, geometry::TransformError> combine_transforms(const Chain& first,
                                                                   const Chain& second);
  geometry::TransformError diagnose_not_found(std::string_view from, std::string_view to,
                                              std::optional<FailureRecord>& failure) const;

  FrameMap frames_;
  ChildIndex children_;
  std::optional<time::Duration> max_age_;
};

}  // namespace frames::core
