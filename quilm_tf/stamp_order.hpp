#pragma once

// The order in which many lookups of one frame pair are cheapest: ascending stamps, so that
// every link interpolates a run of them between the same two samples.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quilm_tf {

struct StampIndex {
  std::uint64_t stamp_ns = 0;
  std::size_t index = 0;
  friend auto operator<=>(const StampIndex&, const StampIndex&) = default;
};

// Sorts by stamp, then by index; input already in that order (stamps of a log) costs one
// pass.
void sort_stamps(std::vector<StampIndex>& order);

}  // namespace quilm_tf
