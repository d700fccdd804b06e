#include "frames/core/registry.hpp"

#include <algorithm>
#include <functional>
#include <utility>

namespace frames::core {

namespace te = geometry::transform_error;

Chain& Chain::operator=(const Chain& other) {
  if (this == &other) return *this;
  clear();
  for (std::size_t i = 0; i < other.size(); ++i) push_back(other[i], other.source(i));
  return *this;
}

void Chain::push_back_slow(const Link& link, const Buffer* source) {
  if (!on_heap_) {
    spill_.assign(inline_, inline_ + size_);
    on_heap_ = true;
  }
  spill_.push_back(Step{link, source});
  ++size_;
}

void Chain::reverse() noexcept {
  Step* steps = mutable_data();
  std::reverse(steps, steps + size_);
}

void Chain::pop_back() noexcept {
  --size_;
  if (on_heap_) spill_.pop_back();
}

void Chain::clear() noexcept {
  size_ = 0;
  spill_.clear();
  on_heap_ = false;
}

namespace {

// Where a walk meets the links of an earlier walk. A short chain is scanned; a long one is
// sorted by history once, so that a deep walk does not scan it once per link.
class JoinIndex {
 public:
  // The first index of `walked` sampled from `buffer`, or walked.size().
  std::size_t find(const Chain& walked, const Buffer* buffer) {
    if (walked.size() <= Chain::INLINE) {
      for (std::size_t i = 0; i < walked.size(); ++i) {
        if (walked.source(i) == buffer) return i;
      }
      return walked.size();
    }
    if (sorted_.empty()) {
      sorted_.reserve(walked.size());
      for (std::size_t i = 0; i < walked.size(); ++i) sorted_.emplace_back(walked.source(i), i);
      std::sort(sorted_.begin(), sorted_.end(), before);
    }
    const auto it = std::lower_bound(sorted_.begin(), sorted_.end(), Entry{buffer, 0}, before);
    return it != sorted_.end() && it->first == buffer ? it->second : walked.size();
  }

 private:
  using Entry = std::pair<const Buffer*, std::size_t>;
  // By address (std::less orders any pointers), then by index: the first link of a history.
  static bool before(const Entry& a, const Entry& b) noexcept {
    const std::less<const Buffer*> less;
    return less(a.first, b.first) || (a.first == b.first && a.second < b.second);
  }
  std::vector<Entry> sorted_;
};

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

template <bool Probe>
bool Registry::get_transform_chain(const Node* start, const Node* target, time::Timestamp time,
                                   std::optional<FailureRecord>& failure, Chain& chain,
                                   const Chain* walked, bool& unsure) const {
  chain.clear();
  // A walk needing more links than there are histories could only be going round a loop.
  std::size_t budget = frames_.size();
  // Ask for every history's samples first: long histories then miss the cache together
  // instead of one link after the other. The hints they return spare the sampling below
  // from locating the samples a second time; the k-th step of both loops is one node.
  std::size_t hints[Chain::INLINE];
  std::size_t hinted = 0;
  for (const Node* node = start; node != nullptr && hinted < Chain::INLINE; node = node->up) {
    hints[hinted++] = node->buffer.prefetch(time);
    if (node->up == target) break;
  }
  std::size_t step = 0;
  JoinIndex joined;
  // A frame without history ends the walk, whether or not it is the target, so the walk
  // only has to recognise a target that has a history: by its entry.
  for (const Node* node = start; node != nullptr; node = node->up) {
    if (budget == 0) {
      chain.clear();
      return false;
    }
    if (walked != nullptr && !node->buffer.is_static()) {
      // Where this walk joins the earlier one, the rest of it is the earlier one's rest:
      // the same histories sampled at the same time, ending where that one ended (at a
      // root, or before the failure it already recorded). Interpolating them again would
      // only repeat the work.
      if (std::size_t i = joined.find(*walked, &node->buffer); i < walked->size()) {
        for (; i < walked->size(); ++i) chain.push_back((*walked)[i], walked->source(i));
        return true;
      }
    }
    const std::size_t hint = step < hinted ? hints[step] : 0;
    ++step;
    // The same name, viewed where the next link's child is: composing then matches the
    // two by address.
    const auto append = [&](Link& link) {
      if (node->up != nullptr) link.parent = *node->up->buffer.child();
      chain.push_back(link, &node->buffer);
    };
    if constexpr (Probe) {
      const SampleCheck found = node->buffer.check(time, hint);
      if (found == SampleCheck::Unsure) {
        unsure = true;
        chain.clear();
        return false;
      }
      if (found == SampleCheck::Missing) break;
      // The stamp sample() would give: a static link keeps zero, any other is at `time`.
      Link link{{}, geometry::Quaternion::identity(),
                node->buffer.is_static() ? time::Timestamp{} : time, *node->buffer.parent(),
                *node->buffer.child()};
      append(link);
    } else {
      Result<Link, BufferError> link = node->buffer.sample(time, hint);
      if (!link) {
        if (!failure) failure.emplace(FailureRecord{*node->buffer.child(), std::move(link).error()});
        break;
      }
      append(*link);
    }
    --budget;
    if (node->up == target) break;
  }
  return !chain.empty();
}

template <bool Probe>
Result<void, geometry::TransformError> Registry::reverse_and_invert_transforms(Chain& chain) {
  // In place: from the last link back, as the first failure to report is the last link's.
  for (std::size_t i = chain.size(); i-- > 0;) {
    Result<Link, geometry::TransformError> inverted =
        Probe ? Result<Link, geometry::TransformError>(invert_frames(chain[i])) : inverse(chain[i]);
    if (!inverted) return Unexpected{std::move(inverted).error()};
    chain.replace(i, *inverted);
  }
  chain.reverse();
  return {};
}

template <bool Probe>
Result<Link, geometry::TransformError> Registry::combine_transforms(const Chain& first,
                                                                    const Chain& second) {
  // The two chains are read as one, first's links then second's, without joining them.
  const std::size_t total = first.size() + second.size();
  if (total == 0) return Unexpected{geometry::TransformError{te::EmptyTree{}}};
  const auto at = [&](std::size_t i) -> const Link& {
    return i < first.size() ? first[i] : second[i - first.size()];
  };
  Link accumulated = at(0);
  for (std::size_t i = 1; i < total; ++i) {
    Result<Link, geometry::TransformError> composed =
        Probe ? compose_frames(at(i), accumulated) : compose(at(i), accumulated);
    if (!composed) return Unexpected{std::move(composed).error()};
    accumulated = *composed;
  }
  if constexpr (Probe) {
    return invert_frames(accumulated);
  } else {
    return inverse(accumulated);
  }
}

geometry::TransformError Registry::diagnose_not_found(std::string_view from, std::string_view to,
                                                      std::optional<FailureRecord>& failure) const {
  if (!frame_exists(from)) return geometry::TransformError{te::FrameNotFound{std::string(from)}};
  if (!frame_exists(to)) return geometry::TransformError{te::FrameNotFound{std::string(to)}};
  if (failure) {
    FailureRecord record = std::move(*failure);
    failure.reset();
    return geometry::TransformError{te::LookupFailed{std::string(from), std::string(to),
                                                     std::string(record.frame),
                                                     Box<BufferError>(std::move(record.error))}};
  }
  return geometry::TransformError{te::NoChain{std::string(from), std::string(to)}};
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

Result<time::Timestamp, geometry::TransformError> Registry::latest_common_time(
    std::string_view from, std::string_view to) const {
  if (from == to) return time::Timestamp{};
  std::vector<const Node*> a;
  std::vector<const Node*> b;
  std::optional<FailureRecord> no_failure;
  if (!path_to_root(from, a) || !path_to_root(to, b)) {
    return Unexpected{diagnose_not_found(from, to, no_failure)};
  }
  // Each walk ends at the parent of its last entry (or at its start): the root of its tree.
  const auto root = [](std::string_view start, const std::vector<const Node*>& path) {
    return path.empty() ? start : std::string_view(*path.back()->buffer.parent());
  };
  if (root(from, a) != root(to, b)) return Unexpected{diagnose_not_found(from, to, no_failure)};
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

Result<geometry::Transform, geometry::TransformError> Registry::process_get_transform(
    std::string_view from, std::string_view to, time::Timestamp time) const {
  Result<Link, geometry::TransformError> link = process_get_link(from, to, time);
  if (!link) return Unexpected{std::move(link).error()};
  return geometry::Transform{link->translation, link->rotation, time, std::string(from),
                             std::string(to)};
}

Result<Link, geometry::TransformError> Registry::process_get_link(std::string_view from,
                                                                  std::string_view to,
                                                                  time::Timestamp time) const {
  bool unsure = false;
  return get_link<false>(from, to, time, unsure);
}

Registry::Answer Registry::probe_link(std::string_view from, std::string_view to,
                                      time::Timestamp time) const {
  // Two walks of at most one link per history each: the bound on the links composed.
  if (frames_.size() > CERTAIN_LINKS / 2) return Answer::Unsure;
  bool unsure = false;
  const bool found = get_link<true>(from, to, time, unsure).has_value();
  if (unsure) return Answer::Unsure;
  return found ? Answer::Succeeds : Answer::Fails;
}

template <bool Probe>
Result<Link, geometry::TransformError> Registry::get_link(std::string_view from,
                                                          std::string_view to,
                                                          time::Timestamp time,
                                                          bool& unsure) const {
  if (from == to) return Link{{}, geometry::Quaternion::identity(), time, from, to};

  const auto from_entry = frames_.find(from);
  const auto to_entry = frames_.find(to);
  const Node* from_node = from_entry == frames_.end() ? nullptr : &from_entry->second;
  const Node* to_node = to_entry == frames_.end() ? nullptr : &to_entry->second;

  std::optional<FailureRecord> failure;
  Chain a;
  Chain b;
  const Chain none;
  // A probe's failures are only ever counted, so it spares building their messages.
  const auto not_found = [&] {
    if constexpr (Probe) {
      return geometry::TransformError{te::EmptyTree{}};
    } else {
      return diagnose_not_found(from, to, failure);
    }
  };
  const bool has_a = get_transform_chain<Probe>(from_node, to_node, time, failure, a, nullptr, unsure);
  if (Probe && unsure) return Unexpected{geometry::TransformError{te::EmptyTree{}}};

  // Each branch below either settles the result or leaves the combined candidate here.
  Result<Link, geometry::TransformError> candidate =
      Unexpected{geometry::TransformError{te::EmptyTree{}}};
  if (has_a && same_name(a.back().parent, to)) {
    candidate = combine_transforms<Probe>(a, none);
  } else {
    const bool has_b = get_transform_chain<Probe>(to_node, from_node, time, failure, b, &a, unsure);
    if (Probe && unsure) return Unexpected{geometry::TransformError{te::EmptyTree{}}};
    if (!has_b) {
      if (!has_a) return Unexpected{not_found()};
      candidate = combine_transforms<Probe>(a, none);
    } else if (same_name(b.back().parent, from) || !has_a) {
      if (Result<void, geometry::TransformError> inverted = reverse_and_invert_transforms<Probe>(b);
          !inverted) {
        return Unexpected{std::move(inverted).error()};
      }
      candidate = combine_transforms<Probe>(none, b);
    } else {
      // Both walks ran to a root without meeting the other frame: drop the links they
      // share (the same edges sampled at the same time) and join at the common ancestor.
      while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.pop_back();
        b.pop_back();
      }
      if (a.empty() || b.empty() || !same_name(a.back().parent, b.back().parent)) {
        return Unexpected{not_found()};
      }
      if (Result<void, geometry::TransformError> inverted = reverse_and_invert_transforms<Probe>(b);
          !inverted) {
        return Unexpected{std::move(inverted).error()};
      }
      candidate = combine_transforms<Probe>(a, b);
    }
  }

  if (!candidate) return Unexpected{std::move(candidate).error()};
  if (!same_name(candidate->parent, from) || !same_name(candidate->child, to)) {
    return Unexpected{not_found()};
  }
  return Link{candidate->translation, candidate->rotation, time, from, to};
}

}  // namespace frames::core
