#include "quilm_tf_py/dispatch.hpp"

namespace quilm_tf_py {

// No filter can attach yet, so there is nobody to wake.
bool notify_filters(TransformBufferObject* /*buffer*/) { return true; }

}  // namespace quilm_tf_py
