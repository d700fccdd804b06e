#pragma once

// FilterFailureReason: why a message filter discarded a message. The values are those of
// the library's DropReason, so converting is copying the byte: 0 empty frame id,
// 1 invalid frame id, 2 queue full.

#include <Python.h>

#include <cstdint>

namespace quilm_tf_py {

// The type object, process-wide, created on first use together with its three class
// attributes. Borrowed; nullptr with an exception set if creation failed.
PyObject* failure_reason_type();

// A new instance holding `value` (0, 1 or 2): equal to, but not the same object as, the
// class attribute of that value. New reference, or nullptr with an exception set.
PyObject* new_failure_reason(std::uint8_t value);

}  // namespace quilm_tf_py
