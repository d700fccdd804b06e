#include "frames/core/chain_sampler.hpp"

#include <utility>

namespace frames::core {

ChainSampler::ChainSampler(const Registry& registry, std::string_view from, std::string_view to)
    : from_(from), to_(to) {
  // Equal names need no chain: process_get_link answers them at once.
  if (from == to) return;
  using Node = Registry::Node;
  const auto node_of = [&](std::string_view name) -> const Node* {
    const auto it = registry.frames_.find(name);
    return it == registry.frames_.end() ? nullptr : &it->second;
  };
  const Node* from_node = node_of(from);
  const Node* to_node = node_of(to);
  // The histories Registry::get_transform_chain visits when every one of them samples.
  const auto walk = [&](const Node* start, const Node* target, std::vector<const Node*>& path) {
    std::size_t budget = registry.frames_.size();
    for (const Node* node = start; node != nullptr; node = node->up) {
      if (budget-- == 0) return false;
      path.push_back(node);
      if (node->up == target) break;
    }
    return true;
  };
  const auto parent_of = [](const Node* node) -> std::string_view {
    return node->up != nullptr ? *node->up->buffer.child() : *node->buffer.parent();
  };
  // The branches of Registry::get_link that end in a composition; every other one fails
  // whatever the stamp, and is left to process_get_link.
  std::vector<const Node*> a;
  std::vector<const Node*> b;
  if (!walk(from_node, to_node, a)) return;
  if (a.empty() || !same_name(parent_of(a.back()), to)) {
    if (!walk(to_node, from_node, b) || b.empty()) return;
    if (same_name(parent_of(b.back()), from) || a.empty()) {
      // The links of `a` do not change the answer, whether they sample or not.
      if (!same_name(parent_of(b.back()), from)) return;
      a.clear();
    } else {
      // The links above the common ancestor are sampled by both walks and dropped.
      while (!a.empty() && !b.empty() && a.back() == b.back()) {
        walked_.push_back(&a.back()->buffer);
        a.pop_back();
        b.pop_back();
      }
      if (a.empty() || b.empty() || !same_name(parent_of(a.back()), parent_of(b.back()))) return;
    }
  }
  const auto add = [&](const Node* node, bool inverted) {
    Step& step = steps_.emplace_back(Step{&node->buffer, parent_of(node), inverted, {}, {}});
    if (!node->buffer.is_static()) return;
    Result<Link, BufferError> link = node->buffer.sample(time::Timestamp{});
    if (!link) return;
    link->parent = step.parent;
    if (!inverted) {
      step.fixed = *link;
    } else if (Result<Link, geometry::TransformError> flipped = inverse(*link); flipped) {
      step.fixed = *flipped;
    }
  };
  steps_.reserve(a.size() + b.size());
  for (const Node* node : a) add(node, false);
  for (std::size_t i = b.size(); i-- > 0;) add(b[i], true);
  resolved_ = true;
}

std::optional<Link> ChainSampler::value(Step& step, time::Timestamp time) {
  if (step.fixed) return step.fixed;
  Result<Link, BufferError> link = step.history->sample(time, step.cursor);
  if (!link) return std::nullopt;
  link->parent = step.parent;
  if (!step.inverted) return *link;
  Result<Link, geometry::TransformError> flipped = inverse(*link);
  if (!flipped) return std::nullopt;
  return *flipped;
}

std::optional<Link> ChainSampler::sample(time::Timestamp time) {
  if (!resolved_) return std::nullopt;
  for (const Buffer* history : walked_) {
    // Found: both walks sample it to equal values (no NaN), so both drop it. Missing: both
    // walks end below it, the second on the first's record, and drop the same links. Only
    // a link that might sample to NaN, which never equals itself, could change the chain.
    if (history->check(time) == SampleCheck::Unsure) return std::nullopt;
  }
  std::optional<Link> accumulated = value(steps_[0], time);
  if (!accumulated) return std::nullopt;
  for (std::size_t i = 1; i < steps_.size(); ++i) {
    const std::optional<Link> link = value(steps_[i], time);
    if (!link) return std::nullopt;
    Result<Link, geometry::TransformError> composed = compose(*link, *accumulated);
    if (!composed) return std::nullopt;
    *accumulated = *composed;
  }
  const Result<Link, geometry::TransformError> result = inverse(*accumulated);
  if (!result || !same_name(result->parent, from_) || !same_name(result->child, to_)) {
    return std::nullopt;
  }
  return Link{result->translation, result->rotation, time, from_, to_};
}

}  // namespace frames::core
