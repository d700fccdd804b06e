#include "frames/core/registry.hpp"

#include <algorithm>
#include <functional>
#include <utility>

#include "frames/escape.hpp"

namespace frames::core {

namespace te = geometry::transform_error;
namespace le = lookup_error;

void append_to(std::string& out, const LookupError& error) {
  struct Visitor {
    std::string& out;
    void operator()(const le::FrameNotFound& e) {
      out += "frame ";
      append_escaped(out, e.frame);
      out += " does not exist in the transform tree";
    }
    void operator()(const le::NoChain& e) {
      out += "no transform chain connects ";
      append_escaped(out, e.frame_a);
      out += " and ";
      append_escaped(out, e.frame_b);
    }
    void operator()(const le::LookupFailed& e) {
      out += "transform not found from ";
      append_escaped(out, e.from);
      out += " to ";
      append_escaped(out, e.to);
      out += " (frame ";
      append_escaped(out, e.frame);
      out += ": ";
      append_to(out, e.cause);
      out += ')';
    }
    void operator()(const le::TransformFailure& e) { geometry::append_to(out, e.error); }
  };
  std::visit(Visitor{out}, error.kind);
}

std::string to_string(const LookupError& error) {
  std::string out;
  append_to(out, error);
  return out;
}

void Registry::Route::Walk::grow() {
  auto bigger = std::make_unique<Step[]>(2 * capacity_);
  std::copy(data_, data_ + size_, bigger.get());
  spill_ = std::move(bigger);
  data_ = spill_.get();
  capacity_ *= 2;
}

namespace {

// compose of two links, their motions only: lhs is the link nearer the root.
inline Pose compose_pose(const Pose& lhs, const Pose& rhs) noexcept {
  const geometry::Vector3 moved = geometry::rotate_vector(lhs.rotation, rhs.translation);
  return {{lhs.translation.x + moved.x, lhs.translation.y + moved.y, lhs.translation.z + moved.z},
          lhs.rotation * rhs.rotation};
}

// inverse of a link, its motion only; fails as inverse does, on a rotation that cannot
// be normalised.
inline bool invert_pose(const Pose& pose, Pose& out,
                        std::optional<geometry::TransformError>& error) noexcept {
  geometry::Quaternion unit;
  geometry::QuaternionError failure{};
  if (!geometry::normalize_into(pose.rotation, unit, failure)) {
    error.emplace(geometry::TransformError{te::QuaternionFailure{failure}});
    return false;
  }
  const geometry::Quaternion q = geometry::conjugate(unit);
  const geometry::Vector3 r = geometry::rotate_vector(q, pose.translation);
  out = {{-r.x, -r.y, -r.z}, q};
  return true;
}

}  // namespace

Registry::Registry(std::optional<time::Duration> max_age) : max_age_(max_age) {}

const Buffer* Registry::find(std::string_view child) const noexcept {
  const auto it = frames_.find(child);
  return it == frames_.end() ? nullptr : &it->second.buffer;
}

bool Registry::frame_exists(std::string_view name) const noexcept {
  return frames_.find(name) != frames_.end() || children_.find(name) != children_.end();
}

bool Registry::creates_cycle(const geometry::Transform& transform) const {
  // The new child has no history, so the walk up from the new parent can meet it only as
  // the recorded parent of the topmost history: a child that no history names as its
  // parent closes no loop. That settles every new leaf without a walk.
  const auto below = children_.find(std::string_view(transform.child));
  const auto it = frames_.find(std::string_view(transform.parent));
  if (below == children_.end() || it == frames_.end()) return false;
  // The child is a root; the loop closes when the new parent lies in its tree, and then
  // the walk up from the parent meets the child within as many steps as the search down
  // the child's tree needs to reach the parent. So a step of each in turn settles it: a
  // cycle when the walk up meets the child, none when it reaches another root or the
  // search down runs out of histories first. That costs twice the smaller of the parent's
  // depth and the child's tree, so building a tree from either end stays near-linear.
  const Node* up = &it->second;
  // The search down visits one history per step: a stack of sibling lists, each with the
  // next entry to visit.
  std::vector<std::pair<const std::vector<Node*>*, std::size_t>> down{{&below->second, 0}};
  // More steps up than there are histories could only be going round a loop.
  for (std::size_t budget = frames_.size(); budget > 0; --budget) {
    if (*up->buffer.parent() == transform.child) return true;
    up = up->up;
    if (up == nullptr) return false;
    while (!down.empty() && down.back().second == down.back().first->size()) down.pop_back();
    if (down.empty()) return false;
    const Node* node = (*down.back().first)[down.back().second++];
    if (const auto more = children_.find(*node->buffer.child()); more != children_.end()) {
      down.emplace_back(&more->second, 0);
    }
  }
  return true;
}

Result<void, BufferError> Registry::process_add_transform(geometry::Transform transform) {
  if (const auto it = frames_.find(std::string_view(transform.child)); it != frames_.end()) {
    return it->second.buffer.insert(std::move(transform));
  }
  if (!frames_.empty() && creates_cycle(transform)) {
    return Unexpected{BufferError{buffer_error::Cycle{}}};
  }
  Buffer fresh(max_age_);
  if (Result<void, BufferError> inserted = fresh.insert(std::move(transform)); !inserted) {
    return inserted;
  }
  std::string key = *fresh.child();
  Node& node = frames_.emplace(std::move(key), Node{std::move(fresh), nullptr}).first->second;
  const std::string& parent = *node.buffer.parent();
  if (const auto up = frames_.find(parent); up != frames_.end()) node.up = &up->second;
  std::vector<Node*>& siblings = children_[parent];
  node.sibling = siblings.size();
  siblings.push_back(&node);
  if (const auto below = children_.find(*node.buffer.child()); below != children_.end()) {
    for (Node* child : below->second) child->up = &node;
  }
  return {};
}

bool Registry::remove_frame(std::string_view name) {
  const auto it = frames_.find(name);
  if (it == frames_.end()) return false;
  Node* node = &it->second;
  const auto siblings = children_.find(*node->buffer.parent());
  // Swapped out, not erased in place: clearing many siblings stays linear.
  std::vector<Node*>& list = siblings->second;
  list[node->sibling] = list.back();
  list[node->sibling]->sibling = node->sibling;
  list.pop_back();
  if (list.empty()) children_.erase(siblings);
  if (const auto below = children_.find(name); below != children_.end()) {
    for (Node* child : below->second) child->up = nullptr;
  }
  frames_.erase(it);
  return true;
}

void Registry::walk(const Node* start, const Node* target, bool back, Route& route) const {
  Route::Walk& steps = back ? route.b_ : route.a_;
  steps.clear();
  // A frame without history ends the walk, whether or not it is the target, so the walk
  // only has to recognise a target that has a history: by its entry.
  std::size_t budget = frames_.size();
  for (const Node* node = start; node != nullptr; node = node->up) {
    if (budget-- == 0) {
      steps.clear();
      return;
    }
    steps.push_back(node);
    if (node->up == target) break;
  }
}

namespace {

// Whether a walk whose last entry is `last` ends at the frame `name`, whose entry is
// `node` if it has a history. An entry with a history is every child's `up`, so names are
// compared only for a frame without one.
template <class Node>
bool ends_at(const Node* last, const Node* node, std::string_view name) noexcept {
  if (node != nullptr) return last->up == node;
  return last->up == nullptr && same_name(*last->buffer.parent(), name);
}

template <class Node>
bool same_parent(const Node* a, const Node* b) noexcept {
  if (a->up != nullptr || b->up != nullptr) return a->up == b->up;
  return same_name(*a->buffer.parent(), *b->buffer.parent());
}

}  // namespace

void Registry::walk_back(Route& route) const {
  walk(route.to_node_, route.from_node_, true, route);
  const Route::Walk& a = route.a_;
  const Route::Walk& b = route.b_;
  route.b_reaches_ = b.size() > 0 && ends_at(b.back(), route.from_node_, route.from_);
  // Once the walks meet they go on through the same histories to the same root.
  std::size_t shared = 0;
  while (shared < a.size() && shared < b.size() &&
         a[a.size() - 1 - shared].node == b[b.size() - 1 - shared].node) {
    ++shared;
  }
  route.shared_ = shared;
  route.b_walked_ = true;
}

void Registry::resolve(std::string_view from, std::string_view to, Route& route,
                       bool both_walks) const {
  const auto from_entry = frames_.find(from);
  const auto to_entry = frames_.find(to);
  route.from_node_ = from_entry == frames_.end() ? nullptr : &from_entry->second;
  route.to_node_ = to_entry == frames_.end() ? nullptr : &to_entry->second;
  route.from_ = from;
  route.to_ = to;
  route.b_.clear();
  route.b_walked_ = false;
  route.b_reaches_ = false;
  route.shared_ = 0;
  walk(route.from_node_, route.to_node_, false, route);
  route.a_reaches_ = route.a_.size() > 0 && ends_at(route.a_.back(), route.to_node_, to);
  if (both_walks || !route.a_reaches_) walk_back(route);
}

// The lookup, on the two walks of a route. Each walk samples its links until one fails;
// the first failure is kept for the diagnosis. Then: the first walk alone when it reached
// the second frame; else the second walk, inverted, when it reached the first frame (or
// the first walk found nothing); else both, joined below the links they share (the same
// histories at the same time) when they meet at a common ancestor. Links are compared by
// history, not by value: one history sampled twice at one time gives one value, and never
// NaN. The compositions follow the links in that order, each inverted one inverted just
// before it is composed: the same operations as inverting them all first, since
// composing links of one walk never fails.
template <bool Probe, class Sample>
Registry::Outcome Registry::evaluate(Route& route, Sample&& sample, Pose& out,
                                     std::optional<geometry::TransformError>& error) const {
  Route::Walk& a = route.a_;
  route.failed_walk_ = nullptr;
  // The composed links: a_[0, na) upwards, then b_[0, nb) inverted, downwards.
  const auto compose = [&](std::size_t na, std::size_t nb) {
    if constexpr (!Probe) {
      Pose accumulated;
      Pose inverted;
      std::size_t i = 0;
      if (na > 0) {
        accumulated = a[0].pose;
        i = 1;
      } else {
        if (!invert_pose(route.b_[nb - 1].pose, accumulated, error)) return Outcome::Failed;
        --nb;
      }
      for (; i < na; ++i) accumulated = compose_pose(a[i].pose, accumulated);
      for (std::size_t j = nb; j-- > 0;) {
        if (!invert_pose(route.b_[j].pose, inverted, error)) return Outcome::Failed;
        accumulated = compose_pose(inverted, accumulated);
      }
      if (!invert_pose(accumulated, out, error)) return Outcome::Failed;
    }
    return Outcome::Found;
  };
  if (route.shared_ > 0) {
    // The walks meet below a root. When the links below the meeting point all sample, the
    // answer joins them there whatever the links above do: a failure up there cuts both
    // walks at the same link, and the links both keep are dropped as shared. So those
    // links are sampled only when a link below fails, and then every walk in full, in
    // order, for the failure to report.
    const std::size_t na = a.size() - route.shared_;
    const std::size_t nb = route.b_.size() - route.shared_;
    bool found = true;
    for (std::size_t i = 0; found && i < na; ++i) found = sample(i, a[i]) == SampleCheck::Found;
    for (std::size_t i = 0; found && i < nb; ++i) {
      found = sample(a.size() + i, route.b_[i]) == SampleCheck::Found;
    }
    if (found && na > 0 && nb > 0) return compose(na, nb);
  }
  std::size_t ka = 0;
  for (; ka < a.size(); ++ka) {
    const SampleCheck found = sample(ka, a[ka]);
    if (found == SampleCheck::Unsure) return Outcome::Unsure;
    if (found == SampleCheck::Missing) {
      route.failed_walk_ = &a;
      route.failed_at_ = ka;
      break;
    }
  }
  if (ka > 0 && ka == a.size() && route.a_reaches_) return compose(ka, 0);

  if (!route.b_walked_) walk_back(route);
  Route::Walk& b = route.b_;
  // From here on b_ is a_'s tail: b_[i] is a_[i + offset].
  const std::size_t join = b.size() - route.shared_;
  const std::size_t offset = a.size() - b.size();
  std::size_t kb = 0;
  for (; kb < b.size(); ++kb) {
    if (kb >= join && kb + offset < ka) {
      if constexpr (!Probe) b[kb].pose = a[kb + offset].pose;
      continue;
    }
    const SampleCheck found = sample(a.size() + kb, b[kb]);
    if (found == SampleCheck::Unsure) return Outcome::Unsure;
    if (found == SampleCheck::Missing) {
      if (route.failed_walk_ == nullptr) {
        route.failed_walk_ = &b;
        route.failed_at_ = kb;
      }
      break;
    }
  }
  // A walk cut short by a failure ends below a link that is not the other frame's.
  if (kb == 0) return Outcome::NotFound;
  if (kb == b.size() && route.b_reaches_) return compose(0, kb);
  if (ka == 0) return Outcome::NotFound;
  while (ka > 0 && kb > 0 && a[ka - 1].node == b[kb - 1].node) {
    --ka;
    --kb;
  }
  if (ka == 0 || kb == 0 || !same_parent(a[ka - 1].node, b[kb - 1].node)) {
    return Outcome::NotFound;
  }
  return compose(ka, kb);
}

template <bool Probe>
Registry::Outcome Registry::lookup(Route& route, time::Timestamp time, SampleCursor* cursors,
                                   Pose& out,
                                   std::optional<geometry::TransformError>& error) const {
  return evaluate<Probe>(
      route,
      [&](std::size_t index, Route::Step& step) {
        const Buffer& history = step.node->buffer;
        if constexpr (Probe) {
          return history.check(time);
        } else {
          const bool found = cursors != nullptr
                                 ? history.sample_pose(time, cursors[index], step.pose)
                                 : history.sample_pose(time, step.pose);
          return found ? SampleCheck::Found : SampleCheck::Missing;
        }
      },
      out, error);
}

LookupError Registry::diagnose_not_found(std::string_view from, std::string_view to,
                                         const Route& route, time::Timestamp time) const {
  if (!frame_exists(from)) return LookupError{le::FrameNotFound{std::string(from)}};
  if (!frame_exists(to)) return LookupError{le::FrameNotFound{std::string(to)}};
  if (route.failed_walk_ != nullptr) {
    const Buffer& history = (*route.failed_walk_)[route.failed_at_].node->buffer;
    Result<Link, BufferError> failed = history.sample(time);
    if (!failed) {
      return LookupError{le::LookupFailed{std::string(from), std::string(to), *history.child(),
                                          std::move(failed).error()}};
    }
  }
  return LookupError{le::NoChain{std::string(from), std::string(to)}};
}

bool Registry::path_to_root(std::string_view start, std::vector<const Node*>& path) const {
  const auto it = frames_.find(start);
  for (const Node* node = it == frames_.end() ? nullptr : &it->second; node != nullptr;
       node = node->up) {
    if (path.size() == frames_.size()) return false;
    path.push_back(node);
  }
  return true;
}

Result<time::Timestamp, LookupError> Registry::latest_common_time(
    std::string_view from, std::string_view to) const {
  if (from == to) return time::Timestamp{};
  std::vector<const Node*> a;
  std::vector<const Node*> b;
  const Route none;  // no link sampled, so none failed
  if (!path_to_root(from, a) || !path_to_root(to, b)) {
    return Unexpected{diagnose_not_found(from, to, none, {})};
  }
  // Each walk ends at the parent of its last entry (or at its start): the root of its tree.
  const auto root = [](std::string_view start, const std::vector<const Node*>& path) {
    return path.empty() ? start : std::string_view(*path.back()->buffer.parent());
  };
  if (root(from, a) != root(to, b)) return Unexpected{diagnose_not_found(from, to, none, {})};
  // The links both walks share lie above the common ancestor, off the chain.
  while (!a.empty() && !b.empty() && a.back() == b.back()) {
    a.pop_back();
    b.pop_back();
  }
  std::optional<time::u128> latest;
  for (const std::vector<const Node*>* path : {&a, &b}) {
    for (const Node* node : *path) {
      const Buffer& history = node->buffer;
      if (history.is_static() || history.entries().empty()) continue;
      const time::u128 newest = history.entries().back().stamp_ns();
      if (!latest || newest < *latest) latest = newest;
    }
  }
  return time::Timestamp{latest.value_or(0)};
}

Result<geometry::Transform, LookupError> Registry::process_get_transform(
    std::string_view from, std::string_view to, time::Timestamp time) const {
  Result<Link, LookupError> link = process_get_link(from, to, time);
  if (!link) return Unexpected{std::move(link).error()};
  return geometry::Transform{link->translation, link->rotation, time, std::string(from),
                             std::string(to)};
}

Result<Link, LookupError> Registry::process_get_link(std::string_view from, std::string_view to,
                                                     time::Timestamp time) const {
  if (from == to) return Link{{}, geometry::Quaternion::identity(), time, from, to};
  Route route;
  resolve(from, to, route);
  return get_link(route, from, to, time);
}

Result<Link, LookupError> Registry::get_link(Route& route, std::string_view from,
                                             std::string_view to, time::Timestamp time,
                                             SampleCursor* cursors) const {
  if (from == to) return Link{{}, geometry::Quaternion::identity(), time, from, to};
  Pose pose;
  std::optional<geometry::TransformError> error;
  switch (lookup<false>(route, time, cursors, pose, error)) {
    case Outcome::Found:
      return Link{pose.translation, pose.rotation, time, from, to};
    case Outcome::Failed:
      return Unexpected{LookupError{le::TransformFailure{std::move(*error)}}};
    case Outcome::NotFound:
    case Outcome::Unsure:
      break;
  }
  return Unexpected{diagnose_not_found(from, to, route, time)};
}

std::optional<Pose> Registry::find_pose(Route& route, std::string_view from, std::string_view to,
                                        time::Timestamp time, SampleCursor* cursors) const {
  if (from == to) return Pose{{}, geometry::Quaternion::identity()};
  Pose pose;
  std::optional<geometry::TransformError> error;
  if (lookup<false>(route, time, cursors, pose, error) != Outcome::Found) return std::nullopt;
  return pose;
}

Registry::Answer Registry::probe_link(std::string_view from, std::string_view to,
                                      time::Timestamp time) const {
  // Two walks of at most one link per history each: the bound on the links composed.
  if (frames_.size() > CERTAIN_LINKS / 2) return Answer::Unsure;
  if (from == to) return Answer::Succeeds;
  Route route;
  resolve(from, to, route);
  Pose unused;
  std::optional<geometry::TransformError> error;
  switch (lookup<true>(route, time, nullptr, unused, error)) {
    case Outcome::Found:
      return Answer::Succeeds;
    case Outcome::Unsure:
      return Answer::Unsure;
    case Outcome::NotFound:
    case Outcome::Failed:
      break;
  }
  return Answer::Fails;
}

}  // namespace frames::core
