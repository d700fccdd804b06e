#pragma once

// The shared state of one Python MessageFilter, owned by the filter object (and by a
// dispatch in progress) and referred to weakly by the buffer it waits on.

namespace quilm_tf_py {

struct MessageFilterState;

}  // namespace quilm_tf_py
