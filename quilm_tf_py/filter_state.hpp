#pragma once

// The shared state of one Python MessageFilter, owned by the filter object (and by a
// dispatch in progress) and referred to weakly by the buffer it waits on.

#include <cstddef>
#include <vector>

#include "quilm_tf/message_filter.hpp"
#include "quilm_tf_py/locks.hpp"
#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {

// What the state mutex guards. Every reference in it is strong: the queued messages, the
// callables called with (message) and those called with (message, FilterFailureReason),
// both lists in registration order. They only grow, except when the filter is cleared or
// the collector breaks a cycle through it.
struct FilterFields {
  explicit FilterFields(std::size_t queue_size) noexcept : filter(queue_size) {}

  quilm_tf::MessageFilter<OwnedRef> filter;
  std::vector<OwnedRef> callbacks;
  std::vector<OwnedRef> failure_callbacks;
};

// Destroyed when the last strong reference goes, releasing what it still holds. Nothing
// can reach it by then (the buffer's weak entries have expired), so its references are
// released with no lock held.
struct MessageFilterState {
  explicit MessageFilterState(std::size_t queue_size)
      : fields(FILTER_LOCK_POISONED, queue_size) {}

  // Never held while Python code runs or a Python object is made or released; the buffer's
  // read lock is taken inside it, never the other way round.
  Mutex<FilterFields> fields;
};

}  // namespace quilm_tf_py
