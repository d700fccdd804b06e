#pragma once

// Waking the message filters attached to a transform buffer.

namespace quilm_tf_py {

struct TransformBufferObject;

// Wakes every live filter attached to `buffer`. Call with none of the buffer's locks held.
// False, with a Python exception set, when a callback raised or a lock was poisoned.
[[nodiscard]] bool notify_filters(TransformBufferObject* buffer);

}  // namespace quilm_tf_py
