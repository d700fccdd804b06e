#pragma once

// One edge of the frame tree as a lookup carries it: a rigid motion, its stamp, and the
// two frame names borrowed from the history it was sampled from. Lookups only read the
// registry, so the names stay valid for the whole lookup and walking a chain copies no
// string.

#include <string_view>

#include "frames/geometry/quaternion.hpp"
#include "frames/geometry/transform.hpp"
#include "frames/result.hpp"
#include "frames/time/timestamp.hpp"

namespace frames::core {

// Names compare by content; views of one stored string match at once by address.
inline bool same_name(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && (a.data() == b.data() || a.compare(b) == 0);
}

struct Link {
  geometry::Vector3 translation;
  geometry::Quaternion rotation;
  time::Timestamp timestamp;
  std::string_view parent;
  std::string_view child;

  // Every field, names by content: two links are one when they are the same edge sampled
  // at the same time.
  friend bool operator==(const Link& a, const Link& b) noexcept {
    return a.translation == b.translation && a.rotation == b.rotation &&
           a.timestamp == b.timestamp && same_name(a.parent, b.parent) &&
           same_name(a.child, b.child);
  }
};

// The Transform with these values and owned copies of the names.
geometry::Transform to_transform(const Link& link);

}  // namespace frames::core
