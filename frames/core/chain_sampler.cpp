#include "frames/core/chain_sampler.hpp"

namespace frames::core {

ChainSampler::ChainSampler(const Registry& registry, std::string_view from, std::string_view to)
    : registry_(&registry), from_(from), to_(to), route_(std::make_unique<Registry::Route>()) {
  // Both walks now, so that every link has its cursor from the first stamp on.
  registry.resolve(from, to, *route_, true);
  cursors_.resize(route_->cursors());
}

Result<Link, LookupError> ChainSampler::lookup(time::Timestamp time) {
  return registry_->get_link(*route_, from_, to_, time, cursors_.data());
}

std::optional<Link> ChainSampler::sample(time::Timestamp time) {
  const std::optional<Pose> found =
      registry_->find_pose(*route_, from_, to_, time, cursors_.data());
  if (!found) return std::nullopt;
  return Link{found->translation, found->rotation, time, from_, to_};
}

}  // namespace frames::core
