#include "frames/core/link.hpp"

#include <string>

namespace frames::core {

geometry::Transform to_transform(const Link& link) {
  return geometry::Transform{link.translation, link.rotation, link.timestamp,
                             std::string(link.parent), std::string(link.child)};
}

}  // namespace frames::core
