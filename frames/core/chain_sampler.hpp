#pragma once

// Many lookups of one frame pair at different stamps. The chain's shape (which histories,
// which of them inverted, in what order) does not depend on the stamp, so it is worked out
// once; each stamp then samples those histories, each from where its last stamp left off,
// and composes exactly as Registry::process_get_link does, operation for operation.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "frames/core/history.hpp"
#include "frames/core/link.hpp"
#include "frames/core/registry.hpp"
#include "frames/time/timestamp.hpp"

namespace frames::core {

class ChainSampler {
 public:
  // Reads the registry, which must stay unchanged while the sampler is used.
  ChainSampler(const Registry& registry, std::string_view from, std::string_view to);

  // process_get_link(from, to, time) bit for bit, or nothing where only that call can
  // tell: any link failing, a result failing, or a pair whose chain was not resolved. A
  // caller answers those stamps with process_get_link, which then gives the exact error.
  std::optional<Link> sample(time::Timestamp time);

 private:
  struct Step {
    const Buffer* history;
    std::string_view parent;  // the name the walk gives the link's parent
    bool inverted;
    std::optional<Link> fixed;  // a static link's value, inverted if the step is
    SampleCursor cursor;
  };
  std::optional<Link> value(Step& step, time::Timestamp time);

  std::string_view from_;
  std::string_view to_;
  bool resolved_ = false;
  // In the order they are composed: the first is the innermost.
  std::vector<Step> steps_;
  // Histories both walks sample and then drop: the links above the common ancestor.
  std::vector<const Buffer*> walked_;
};

}  // namespace frames::core
