#pragma once

// The frame tree: one history per child frame, keyed by the child's name. A frame exists
// when it is a key or the recorded parent of some history. Not synchronised: the owner
// serialises inserts and removals against lookups.

#include <optional>
#include <string_view>

#include "frames/core/history.hpp"
#include "frames/geometry/transform.hpp"
#include "frames/result.hpp"
#include "frames/time/timestamp.hpp"

namespace frames::core {

class Registry {
 public:
  explicit Registry(std::optional<time::Duration> max_age);

  // Cycle check (new children only), then the history's own checks. A refused first
  // insert for a child leaves no trace of it.
  Result<void, BufferError> process_add_transform(geometry::Transform transform);
  // Drops one child's history; its children keep naming it as their parent.
  bool remove_frame(std::string_view name);
  // The transform whose parent is `from` and whose child is `to`, at `time`.
  Result<geometry::Transform, geometry::TransformError> process_get_transform(
      std::string_view from, std::string_view to, time::Timestamp time) const;

  // private members are the implementer's (frame map with heterogeneous lookup, max_age)
};

}  // namespace frames::core
