#pragma once

// Waking the message filters attached to a transform buffer, and delivering a filter's
// ready and dropped messages to its Python callables.
//
// Every dispatch runs in two steps so that no lock is held while Python code runs:
// dispatch_filter collects, under the state mutex and the buffer's read lock, the ready
// messages and snapshots of the callables; signal_dispatch then calls them with no lock
// held. A callable may therefore call back into any filter or buffer; such a call
// dispatches recursively and completes inside the callable.

#include <memory>
#include <vector>

#include "quilm_tf/message_filter.hpp"
#include "quilm_tf_py/filter_state.hpp"
#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {

struct TransformBufferObject;

// Messages the caller took out of a filter with a reason (rejected or evicted), in order.
using Drops = std::vector<quilm_tf::DroppedMessage<OwnedRef>>;

// One dispatch's own references: it holds them whatever happens to the filter meanwhile.
struct DispatchBatch {
  std::vector<OwnedRef> ready;  // oldest first
  Drops failed;                 // in the order handed in
  std::vector<OwnedRef> callbacks;
  std::vector<OwnedRef> failure_callbacks;
};

// Fills `out` (which must be empty): drains the messages that `buffer` can now transform
// (none when `buffer` is null), moves `drops` in and snapshots the callables. False, with
// the fatal error set, when the state's or the buffer's lock is poisoned; the drops are
// then left in `drops` for the caller to release, undelivered.
[[nodiscard]] bool dispatch_filter(MessageFilterState& state, TransformBufferObject* buffer,
                                   Drops&& drops, DispatchBatch* out);

// Calls the failure callables with each dropped message and one new FilterFailureReason
// (shared by every failure callable of that message), then the callables with each ready
// message. The first exception stops it: every reference not yet delivered is released
// undelivered, and it returns false with that exception set.
[[nodiscard]] bool signal_dispatch(DispatchBatch batch);

// dispatch_filter then signal_dispatch, releasing `drops` undelivered if the first fails.
[[nodiscard]] bool dispatch(MessageFilterState& state, TransformBufferObject* buffer,
                            Drops drops);

// Prunes the dead entries of `buffer`'s filter list and appends `state`. False, with the
// fatal error set, when the list's lock is poisoned.
[[nodiscard]] bool attach_filter(TransformBufferObject* buffer,
                                 const std::shared_ptr<MessageFilterState>& state);

// Wakes every live filter attached to `buffer`, in attachment order. Call with none of the
// buffer's locks held. False, with a Python exception set, when a callback raised (the
// filters after that one are not dispatched) or a lock was poisoned.
[[nodiscard]] bool notify_filters(TransformBufferObject* buffer);

}  // namespace quilm_tf_py
