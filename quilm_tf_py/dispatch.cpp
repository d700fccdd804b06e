#include "quilm_tf_py/dispatch.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/failure_reason.hpp"
#include "quilm_tf_py/locks.hpp"
#include "quilm_tf_py/transform_buffer.hpp"

namespace quilm_tf_py {
namespace {

// Attaching leaves up to this many entries unpruned: a list that short costs nothing.
constexpr std::size_t MIN_PRUNE = 16;

// New references to every callable, in order; only reference counts change, so it is
// safe under the state mutex.
std::vector<OwnedRef> snapshot(const std::vector<OwnedRef>& callables) {
  std::vector<OwnedRef> copy;
  copy.reserve(callables.size());
  for (const OwnedRef& callable : callables) {
    copy.push_back(OwnedRef::borrow(callable.get()));
  }
  return copy;
}

// Calls callable(first) or callable(first, second); the result is dropped unread.
bool call(PyObject* callable, PyObject* first, PyObject* second = nullptr) {
  OwnedRef result = OwnedRef::steal(
      run_python([&] { return PyObject_CallFunctionObjArgs(callable, first, second, nullptr); }));
  const bool called = static_cast<bool>(result);
  release_now(result);
  return called;
}

// What a stopped dispatch did not deliver goes in a fixed order: the remaining drops, the
// ready messages, then the snapshots. Entries already delivered are empty by now.
void release_undelivered(DispatchBatch& batch) {
  for (auto& drop : batch.failed) {
    release_now(drop.message);
  }
  release_all(batch.ready);
  release_all(batch.callbacks);
  release_all(batch.failure_callbacks);
}

}  // namespace

bool dispatch_filter(MessageFilterState& state, TransformBufferObject* buffer, Drops&& drops,
                     DispatchBatch* out) {
  bool buffer_poisoned = false;
  {
    auto fields = state.fields.lock();
    if (!fields) {
      return false;
    }
    if (buffer != nullptr) {
      auto service = buffer->state.service.read_or_empty();
      buffer_poisoned = !service;
      if (service) {
        out->ready = fields.all_or_nothing([&] { return fields->filter.drain_ready(*service); });
      }
    }
    // A snapshot is only ever read to deliver something; skipping an unused one saves two
    // allocations on every wake-up that releases nothing. Taken after the drain, it may
    // fail with messages already out of the queue: that failure poisons the mutex.
    if (!out->ready.empty()) {
      out->callbacks = snapshot(fields->callbacks);
    }
    if (!drops.empty()) {
      out->failure_callbacks =
          fields.all_or_nothing([&] { return snapshot(fields->failure_callbacks); });
    }
  }
  if (buffer_poisoned) {
    // Raised only now: making the exception object could start a collection, whose
    // finalizers must not run under the state mutex.
    raise_internal(BUFFER_LOCK_POISONED);
    return false;
  }
  out->failed = std::move(drops);
  return true;
}

bool signal_dispatch(DispatchBatch batch) {
  // Each message, and its reason, is released as soon as it has been handed out (or on the
  // way out after a failure), before the undelivered rest.
  for (auto& drop : batch.failed) {
    OwnedRef message = std::move(drop.message);
    if (batch.failure_callbacks.empty()) {
      release_now(message);  // nobody would see the reason, so none is made
      continue;
    }
    // One reason per message, shared by all its failure callables.
    OwnedRef reason = OwnedRef::steal(new_failure_reason(static_cast<std::uint8_t>(drop.reason)));
    bool delivered = static_cast<bool>(reason);
    for (std::size_t i = 0; delivered && i < batch.failure_callbacks.size(); ++i) {
      delivered = call(batch.failure_callbacks[i].get(), message.get(), reason.get());
    }
    release_now(reason);
    release_now(message);
    if (!delivered) {
      release_undelivered(batch);
      return false;
    }
  }
  for (OwnedRef& ready : batch.ready) {
    OwnedRef message = std::move(ready);
    bool delivered = true;
    for (std::size_t i = 0; delivered && i < batch.callbacks.size(); ++i) {
      delivered = call(batch.callbacks[i].get(), message.get());
    }
    release_now(message);
    if (!delivered) {
      release_undelivered(batch);
      return false;
    }
  }
  release_undelivered(batch);  // only the snapshots are left
  return true;
}

bool dispatch(MessageFilterState& state, TransformBufferObject* buffer, Drops drops) {
  DispatchBatch batch;
  if (!dispatch_filter(state, buffer, std::move(drops), &batch)) {
    return false;
  }
  if (batch.ready.empty() && batch.failed.empty()) {
    return true;
  }
  return signal_dispatch(std::move(batch));
}

bool attach_filter(TransformBufferObject* buffer,
                   const std::shared_ptr<MessageFilterState>& state) {
  auto filters = buffer->state.filters.lock();
  if (!filters) {
    return false;
  }
  // An expired entry's state is already destroyed: dropping the entry releases nothing of
  // Python's, so it may wait until the list has doubled.
  if (filters->entries.size() >= filters->prune_at) {
    std::erase_if(filters->entries, [](const std::weak_ptr<MessageFilterState>& entry) {
      return entry.expired();
    });
    filters->prune_at = std::max<std::size_t>(MIN_PRUNE, 2 * filters->entries.size());
  }
  filters->entries.push_back(state);
  return true;
}

bool notify_filters(TransformBufferObject* buffer) {
  // Declared before the lock so that these references, possibly the last ones of a state
  // whose filter object is gone, are dropped only after it is released.
  std::vector<std::shared_ptr<MessageFilterState>> live;
  {
    auto filters = buffer->state.filters.lock();
    if (!filters) {
      return false;
    }
    live.reserve(filters->entries.size());
    std::erase_if(filters->entries, [&live](const std::weak_ptr<MessageFilterState>& entry) {
      std::shared_ptr<MessageFilterState> state = entry.lock();
      if (!state) {
        return true;
      }
      live.push_back(std::move(state));  // reserved: cannot throw
      return false;
    });
  }
  // Each state stays alive until its dispatch is over, even if a callback destroys its
  // filter object meanwhile; filters attached by a callback wait for the next wake-up.
  // A callback that raises stops its own filter's dispatch, not the others': every filter
  // (a waiter among them) is still woken by this insert. The first error is held while the
  // rest run, since Python code may not run with an exception set, and then raised to the
  // inserting caller; later ones go to sys.unraisablehook.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  for (const std::shared_ptr<MessageFilterState>& state : live) {
    if (dispatch(*state, buffer, {})) {
      continue;
    }
    if (type == nullptr) {
      PyErr_Fetch(&type, &value, &traceback);
    } else {
      PyErr_WriteUnraisable(nullptr);
    }
  }
  if (type != nullptr) {
    PyErr_Restore(type, value, traceback);
    return false;
  }
  return true;
}

}  // namespace quilm_tf_py
