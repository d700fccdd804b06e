#include "quilm_tf/stamp_order.hpp"

#include <algorithm>

namespace quilm_tf {

void sort_stamps(std::vector<StampIndex>& order) {
  if (!std::is_sorted(order.begin(), order.end())) {
    std::sort(order.begin(), order.end());
  }
}

}  // namespace quilm_tf
