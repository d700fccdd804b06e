#pragma once

// The frame tree: one history per child frame, keyed by the child's name. A frame exists
// when it is a key or the recorded parent of some history. Not synchronised: the owner
// serialises inserts and removals against lookups.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "frames/core/history.hpp"
#include "frames/core/link.hpp"
#include "frames/geometry/transform.hpp"
#include "frames/result.hpp"
#include "frames/time/timestamp.hpp"

namespace frames::core {

// Why a lookup found no transform. Texts insert names as plain text; a failed composition
// or inversion reads as the transform error it wraps.
namespace lookup_error {
struct FrameNotFound { std::string frame; };
struct NoChain { std::string frame_a; std::string frame_b; };
// The first link that failed to sample on the way, and why.
struct LookupFailed { std::string from; std::string to; std::string frame; BufferError cause; };
struct TransformFailure { geometry::TransformError error; };
}  // namespace lookup_error

struct LookupError {
  std::variant<lookup_error::FrameNotFound, lookup_error::NoChain, lookup_error::LookupFailed,
               lookup_error::TransformFailure>
      kind;
};

std::string to_string(const LookupError& error);
void append_to(std::string& out, const LookupError& error);

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
  Result<geometry::Transform, LookupError> process_get_transform(std::string_view from,
                                                                 std::string_view to,
                                                                 time::Timestamp time) const;
  // The same answer without copying the names: its parent and child view `from` and `to`.
  Result<Link, LookupError> process_get_link(std::string_view from, std::string_view to,
                                             time::Timestamp time) const;

  // The newest stamp that every dynamic link on the chain between the two frames covers:
  // the least of their newest stored stamps; zero when the names are equal or every link
  // is static. Samples nothing. Without a chain, the error process_get_link reports when
  // no link fails to sample: FrameNotFound (`from` checked first), else NoChain.
  Result<time::Timestamp, LookupError> latest_common_time(std::string_view from,
                                                          std::string_view to) const;
  // Calls visit(history) once per child frame, in no particular order.
  template <class Visit>
  void for_each_frame(Visit&& visit) const {
    for (const auto& entry : frames_) visit(entry.second.buffer);
  }
  // What the walks alone tell about process_get_link(from, to, time).has_value().
  enum class Answer : std::uint8_t { Fails, Succeeds, Unsure };
  // Succeeds only when every link is found and nothing the arithmetic can do fails: no
  // history whose link is composed holds a translation beyond TRANSLATION_BOUND or a span
  // of 2^64 ns or more at `time`, and the registry holds at most CERTAIN_LINKS / 2
  // histories. Unsure otherwise, and then only process_get_link can tell.
  Answer probe_link(std::string_view from, std::string_view to, time::Timestamp time) const;
  // Links a lookup composes, at most, for probe_link to vouch for it (see TRANSLATION_BOUND).
  static constexpr std::size_t CERTAIN_LINKS = std::size_t{1} << 21;

  class Route;
  // Works out, from the tree alone, which histories a lookup from `from` to `to` samples.
  // With `both_walks`, the second walk too, which a lookup otherwise walks only if needed.
  void resolve(std::string_view from, std::string_view to, Route& route,
               bool both_walks = false) const;
  // process_get_link(from, to, time) along a route resolve gave for these names, the
  // registry unchanged since. Cursors, when given, are Route::cursors() long: each link
  // goes on from the samples its last stamp used.
  Result<Link, LookupError> get_link(Route& route, std::string_view from, std::string_view to,
                                     time::Timestamp time,
                                     SampleCursor* cursors = nullptr) const;
  // get_link's motion where it succeeds; nothing, and no error built, where it fails.
  std::optional<Pose> find_pose(Route& route, std::string_view from, std::string_view to,
                                time::Timestamp time, SampleCursor* cursors = nullptr) const;

  // The history of a child frame, or null.
  const Buffer* find(std::string_view child) const noexcept;
  std::size_t size() const noexcept { return frames_.size(); }
  // A key, or else the recorded parent of some history.
  bool frame_exists(std::string_view name) const noexcept;

 private:
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

  bool creates_cycle(const geometry::Transform& transform) const;
  // The entries from `start` up to the last one with a history, in walking order; false
  // when the walk outran the number of histories (only a loop could do that).
  bool path_to_root(std::string_view start, std::vector<const Node*>& path) const;
  // One walk of a route (its first, or with `back` its second): from `start` up to the
  // entry whose parent is `target`, or to a root; empty when it outruns the number of
  // histories (only a loop could do that).
  void walk(const Node* start, const Node* target, bool back, Route& route) const;
  // Walks the second half of a route whose first half is walked.
  void walk_back(Route& route) const;

  enum class Outcome : std::uint8_t { Found, NotFound, Failed, Unsure };
  // The one lookup algorithm. `sample(step, node, pose)` samples a link into its step and
  // returns Found, Missing or (probes only) Unsure. With Probe nothing is computed: only
  // whether the lookup would find its links and compose them. A Failed outcome leaves the
  // arithmetic's error in `error`.
  template <bool Probe, class Sample>
  Outcome evaluate(Route& route, Sample&& sample, Pose& out,
                   std::optional<geometry::TransformError>& error) const;
  template <bool Probe>
  Outcome lookup(Route& route, time::Timestamp time, SampleCursor* cursors, Pose& out,
                 std::optional<geometry::TransformError>& error) const;
  // The error of a lookup that found no chain: FrameNotFound (`from` first), then the first
  // sampling failure the route met (sampled again for its error), then NoChain.
  LookupError diagnose_not_found(std::string_view from, std::string_view to,
                                              const Route& route, time::Timestamp time) const;

  FrameMap frames_;
  ChildIndex children_;
  std::optional<time::Duration> max_age_;
};

// The two walks of a lookup, as histories in walking order, and the motion each link
// sampled to at the last stamp: sampling writes straight into these steps, which the
// route owns for as long as it lives, and nothing else is copied per link. Walks of
// ordinary depth stay inline; deeper ones spill to the heap once. Not movable: the steps
// are reached through a pointer into the route itself.
class Registry::Route {
 public:
  Route() noexcept = default;
  Route(const Route&) = delete;
  Route& operator=(const Route&) = delete;

  // Links on both walks: the number of cursors get_link takes.
  std::size_t cursors() const noexcept { return a_.size() + b_.size(); }

 private:
  friend class Registry;
  struct Step {
    const Node* node;
    Pose pose;
  };
  class Walk {
   public:
    static constexpr std::size_t INLINE = 24;
    Walk() noexcept {}
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;
    std::size_t size() const noexcept { return size_; }
    Step& operator[](std::size_t i) noexcept { return data_[i]; }
    const Step& operator[](std::size_t i) const noexcept { return data_[i]; }
    const Node* back() const noexcept { return data_[size_ - 1].node; }
    void clear() noexcept { size_ = 0; }
    void push_back(const Node* node) {
      if (size_ == capacity_) grow();
      ::new (static_cast<void*>(data_ + size_)) Step{node, {}};
      ++size_;
    }

   private:
    void grow();
    union {
      Step inline_[INLINE];
    };
    Step* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = INLINE;
    std::unique_ptr<Step[]> spill_;
  };

  // a_ walks from `from` towards `to`, b_ from `to` towards `from`; each ends where its
  // parent is the other frame (reaches set) or at a root. b_ is walked only when a_ does
  // not reach `to`, or when a lookup finds a link of a_ missing. The last `shared_` links
  // of the two are the same histories: the part above the common ancestor.
  Walk a_;
  Walk b_;
  const Node* from_node_ = nullptr;
  const Node* to_node_ = nullptr;
  std::string_view from_;
  std::string_view to_;
  bool a_reaches_ = false;
  bool b_reaches_ = false;
  bool b_walked_ = false;
  std::size_t shared_ = 0;
  // Set by the last lookup: the first link that failed to sample (walk, index), if any.
  const Walk* failed_walk_ = nullptr;
  std::size_t failed_at_ = 0;
};

}  // namespace frames::core
