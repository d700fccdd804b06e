#pragma once

// Many lookups of one frame pair at different stamps. Which histories the lookup samples
// does not depend on the stamp, so the route is resolved once; each stamp then samples
// those histories, each from where its last stamp left off, and goes through the
// registry's one lookup, so it answers as Registry::process_get_link does, bit for bit
// and with the same errors.

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "frames/core/history.hpp"
#include "frames/core/link.hpp"
#include "frames/core/registry.hpp"
#include "frames/geometry/transform.hpp"
#include "frames/result.hpp"
#include "frames/time/timestamp.hpp"

namespace frames::core {

class ChainSampler {
 public:
  // Reads the registry, which must stay unchanged while the sampler is used; borrows the
  // names.
  ChainSampler(const Registry& registry, std::string_view from, std::string_view to);

  // process_get_link(from, to, time).
  Result<Link, LookupError> lookup(time::Timestamp time);
  // Its link, or nothing where it fails.
  std::optional<Link> sample(time::Timestamp time);

 private:
  const Registry* registry_;
  std::string_view from_;
  std::string_view to_;
  std::unique_ptr<Registry::Route> route_;
  std::vector<SampleCursor> cursors_;
};

}  // namespace frames::core
