#pragma once

// The Python TransformBuffer class: one transform buffer service behind a reader-writer
// lock, and the weak list of the message filters that wait on it.

#include <Python.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "frames/time/timestamp.hpp"
#include "quilm_tf/buffer.hpp"
#include "quilm_tf/matrix.hpp"
#include "quilm_tf_py/filter_state.hpp"
#include "quilm_tf_py/locks.hpp"

namespace quilm_tf_py {

// The attached filters in attachment order. An expired entry is a filter that is gone.
struct FilterList {
  std::vector<std::weak_ptr<MessageFilterState>> entries;
  // Attaching prunes only once the list has doubled since it was last pruned, so that
  // attaching stays O(1) amortised however many filters are alive.
  std::size_t prune_at = 0;
};

struct TransformBufferState {
  explicit TransformBufferState(frames::time::Duration history)
      : service(BUFFER_LOCK_POISONED, history), filters(FILTER_LIST_LOCK_POISONED) {}

  // Shared side for lookups and for filters draining; exclusive side for inserts and
  // clearing. Never held while Python code runs or Python objects are made or dropped.
  RwLock<quilm_tf::TransformBuffer> service;
  // Entries are pruned lazily, by wake-ups and attachments. Always locked alone.
  Mutex<FilterList> filters;
};

struct TransformBufferObject {
  PyObject_HEAD
  TransformBufferState state;  // constructed in place by tp_new, destroyed by tp_dealloc
};

// The type object, process-wide, created on first use. Borrowed; nullptr with an exception
// set if creation failed.
PyObject* transform_buffer_type();

// A pose as a new list of four new lists of four floats, row by row; nullptr with an
// exception set on failure.
PyObject* matrix_to_python(const quilm_tf::Matrix4& matrix);

// Converter for parameters that take a TransformBuffer (borrowed; TypeError otherwise).
bool to_transform_buffer(PyObject* object, TransformBufferObject** out);

}  // namespace quilm_tf_py
