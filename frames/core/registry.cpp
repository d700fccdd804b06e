#include "frames/core/registry.hpp"

#include <unordered_set>
#include <utility>

namespace frames::core {

namespace te = geometry::transform_error;

Chain& Chain::operator=(const Chain& other) {
  if (this == &other) return *this;
  clear();
  for (std::size_t i = 0; i < other.size(); ++i) push_back(other[i]);
  return *this;
}

void Chain::push_back(const Link& link) {
  if (!on_heap_) {
    if (size_ < INLINE) {
      inline_[size_++] = link;
      return;
    }
    spill_.assign(inline_, inline_ + size_);
    on_heap_ = true;
  }
  spill_.push_back(link);
  ++size_;
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

Registry::Registry(std::optional<time::Duration> max_age) : max_age_(max_age) {}

const Buffer* Registry::find(std::string_view child) const noexcept {
  const auto it = frames_.find(child);
  return it == frames_.end() ? nullptr : &it->second;
}

bool Registry::frame_exists(std::string_view name) const noexcept {
  if (frames_.find(name) != frames_.end()) return true;
  for (const auto& [key, buffer] : frames_) {
    if (buffer.parent() == name) return true;
  }
  return false;
}

bool Registry::creates_cycle(const geometry::Transform& transform) const {
  // Walk up from the new parent; the child would close a loop if the walk meets it.
  std::unordered_set<std::string_view> visited;
  std::string_view current = transform.parent;
  while (true) {
    const auto it = frames_.find(current);
    if (it == frames_.end()) return false;
    if (!visited.insert(current).second) return true;
    if (!it->second.parent()) return false;
    current = *it->second.parent();
    if (current == transform.child) return true;
  }
}

Result<void, BufferError> Registry::process_add_transform(geometry::Transform transform) {
  if (const auto it = frames_.find(std::string_view(transform.child)); it != frames_.end()) {
    return it->second.insert(std::move(transform));
  }
  if (!frames_.empty() && creates_cycle(transform)) return Unexpected{BufferError{buffer_error::Cycle{}}};
  Buffer fresh(max_age_);
  if (Result<void, BufferError> inserted = fresh.insert(std::move(transform)); !inserted) return inserted;
  std::string key = *fresh.child();
  frames_.emplace(std::move(key), std::move(fresh));
  return {};
}

bool Registry::remove_frame(std::string_view name) {
  const auto it = frames_.find(name);
  if (it == frames_.end()) return false;
  frames_.erase(it);
  return true;
}

bool Registry::get_transform_chain(std::string_view start, std::string_view target, time::Timestamp time,
                                   std::optional<FailureRecord>& failure, Chain& chain) const {
  chain.clear();
  std::string_view current = start;
  // A walk needing more links than there are histories could only be going round a loop.
  std::size_t budget = frames_.size();
  while (true) {
    const auto it = frames_.find(current);
    if (it == frames_.end()) break;
    if (budget == 0) {
      chain.clear();
      return false;
    }
    Result<Link, BufferError> link = it->second.sample(time);
    if (!link) {
      if (!failure) failure.emplace(FailureRecord{it->first, std::move(link).error()});
      break;
    }
    current = link->parent;
    chain.push_back(*link);
    --budget;
    if (current == target) break;
  }
  return !chain.empty();
}

Result<void, geometry::TransformError> Registry::reverse_and_invert_transforms(Chain& chain) {
  Chain reversed;
  for (std::size_t i = chain.size(); i-- > 0;) {
    Result<Link, geometry::TransformError> inverted = inverse(chain[i]);
    if (!inverted) return Unexpected{std::move(inverted).error()};
    reversed.push_back(*inverted);
  }
  chain = reversed;
  return {};
}

Result<Link, geometry::TransformError> Registry::combine_transforms(const Chain& first, const Chain& second) {
  // The two chains are read as one, first's links then second's, without joining them.
  const std::size_t total = first.size() + second.size();
  if (total == 0) return Unexpected{geometry::TransformError{te::EmptyTree{}}};
  const auto at = [&](std::size_t i) -> const Link& {
    return i < first.size() ? first[i] : second[i - first.size()];
  };
  Link accumulated = at(0);
  for (std::size_t i = 1; i < total; ++i) {
    Result<Link, geometry::TransformError> composed = compose(at(i), accumulated);
    if (!composed) return Unexpected{std::move(composed).error()};
    accumulated = *composed;
  }
  return inverse(accumulated);
}

geometry::TransformError Registry::diagnose_not_found(std::string_view from, std::string_view to,
                                                      std::optional<FailureRecord>& failure) const {
  if (!frame_exists(from)) return geometry::TransformError{te::FrameNotFound{std::string(from)}};
  if (!frame_exists(to)) return geometry::TransformError{te::FrameNotFound{std::string(to)}};
  if (failure) {
    FailureRecord record = std::move(*failure);
    failure.reset();
    return geometry::TransformError{te::LookupFailed{std::string(from), std::string(to),
                                                     std::string(record.frame), Box<BufferError>(std::move(record.error))}};
  }
  return geometry::TransformError{te::NoChain{std::string(from), std::string(to)}};
}

Result<geometry::Transform, geometry::TransformError> Registry::process_get_transform(
    std::string_view from, std::string_view to, time::Timestamp time) const {
  if (from == to) return geometry::identity(from, to, time);

  std::optional<FailureRecord> failure;
  Chain a;
  Chain b;
  const Chain none;
  const bool has_a = get_transform_chain(from, to, time, failure, a);

  // Each branch below either settles the result or leaves the combined candidate here.
  Result<Link, geometry::TransformError> candidate = Unexpected{geometry::TransformError{te::EmptyTree{}}};
  if (has_a && a.back().parent == to) {
    candidate = combine_transforms(a, none);
  } else {
    const bool has_b = get_transform_chain(to, from, time, failure, b);
    if (!has_b) {
      if (!has_a) return Unexpected{diagnose_not_found(from, to, failure)};
      candidate = combine_transforms(a, none);
    } else if (b.back().parent == from || !has_a) {
      if (Result<void, geometry::TransformError> inverted = reverse_and_invert_transforms(b); !inverted) {
        return Unexpected{std::move(inverted).error()};
      }
      candidate = combine_transforms(none, b);
    } else {
      // Both walks ran to a root without meeting the other frame: drop the links they
      // share (the same edges sampled at the same time) and join at the common ancestor.
      while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.pop_back();
        b.pop_back();
      }
      if (a.empty() || b.empty() || a.back().parent != b.back().parent) {
        return Unexpected{diagnose_not_found(from, to, failure)};
      }
      if (Result<void, geometry::TransformError> inverted = reverse_and_invert_transforms(b); !inverted) {
        return Unexpected{std::move(inverted).error()};
      }
      candidate = combine_transforms(a, b);
    }
  }

  if (!candidate) return Unexpected{std::move(candidate).error()};
  if (candidate->parent != from || candidate->child != to) {
    return Unexpected{diagnose_not_found(from, to, failure)};
  }
  return geometry::Transform{candidate->translation, candidate->rotation, time, std::string(from),
                             std::string(to)};
}

}  // namespace frames::core
