#pragma once

// The transform buffer service: the front of the frame graph. Normalises frame names,
// reserves stamp zero for static transforms, remembers which children got dynamic data so
// it can drop them at once, and checks every lookup result. Not synchronised: the owner
// keeps it behind a reader-writer lock.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

#include "frames/core/chain_sampler.hpp"
#include "frames/core/history.hpp"
#include "frames/core/registry.hpp"
#include "frames/geometry/quaternion.hpp"
#include "frames/geometry/transform.hpp"
#include "frames/result.hpp"
#include "frames/time/timestamp.hpp"

namespace quilm_tf {

using frames::Result;
using frames::Unexpected;
using frames::time::u128;

using frames::geometry::Isometry;

// 2^31 seconds: the first instant a ROS time (signed 32-bit seconds) cannot express. Every
// stamp the service takes, static inserts' included, lies below it.
inline constexpr u128 ROS_TIME_LIMIT_NS =
    u128{std::uint64_t{1} << 31} * frames::time::NS_PER_SECOND;

namespace buffer_error {
struct StampOutOfRange {};  // a stamp at or beyond ROS_TIME_LIMIT_NS
struct InvalidFrame { std::string name; std::string_view reason; };  // reason: one of the fixed texts
struct ReservedZeroStamp { std::string parent; std::string child; };
struct InsertFailure { std::string parent; std::string child; frames::core::BufferError source; };
struct LookupFailure { std::string from; std::string to; frames::core::LookupError source; };
struct NonFiniteComponent {};
struct QuaternionNorm { double norm; };
struct NotRigid {};
}  // namespace buffer_error

inline constexpr std::string_view STAMP_OUT_OF_RANGE = "stamp_ns exceeds the ROS Time range";
inline constexpr std::string_view REASON_EMPTY = "frame name must not be empty";
inline constexpr std::string_view REASON_QUALIFIED = "frame name must be unqualified";
inline constexpr std::string_view REASON_SELF_PARENT = "a frame cannot be its own parent";
inline constexpr std::string_view REASON_NO_TARGET = "at least one target frame is required";

struct TransformBufferError {
  std::variant<buffer_error::InvalidFrame, buffer_error::ReservedZeroStamp,
               buffer_error::InsertFailure, buffer_error::LookupFailure,
               buffer_error::NonFiniteComponent, buffer_error::QuaternionNorm,
               buffer_error::NotRigid, buffer_error::StampOutOfRange>
      kind;
};

// The message users see; names in quoted form.
std::string to_string(const TransformBufferError& error);
void append_to(std::string& out, const TransformBufferError& error);

// One child frame as the frame list shows it. A static link has one sample and stamps 0.
struct FrameSummary {
  std::string name;
  std::string parent;
  bool is_static;
  std::size_t samples;
  u128 oldest_ns;
  u128 newest_ns;
};

// Strips leading "/"; refuses an empty rest or any remaining "/".
Result<std::string, TransformBufferError> normalize_frame(std::string_view name);

// An insert checked and copied, ready to store. `parent` and `child` view the caller's
// names (normalised), which must outlive it.
struct PreparedInsert {
  frames::geometry::Transform transform;
  std::string_view parent;
  std::string_view child;
};

class TransformBuffer {
 public:
  explicit TransformBuffer(frames::time::Duration history);

  // prepare_insert, then insert.
  Result<void, TransformBufferError> insert_isometry(std::string_view parent, std::string_view child,
                                                     const Isometry& isometry, u128 stamp_ns,
                                                     bool is_static);
  // The checks of an insert that need no stored data (the stamp's range first), and the
  // transform it stores with its
  // names copied. Reads nothing of a buffer: an owner that locks the buffer runs it first,
  // so that the allocations that grow with the input (names) fail, if they do, outside
  // its lock.
  static Result<PreparedInsert, TransformBufferError> prepare_insert(std::string_view parent,
                                                                     std::string_view child,
                                                                     const Isometry& isometry,
                                                                     u128 stamp_ns, bool is_static);
  // Stores a prepared insert, or refuses it (cycle, reparenting, mixed kinds, ...) leaving
  // the buffer as it was. A std::bad_alloc from here may leave it half changed.
  Result<void, TransformBufferError> insert(PreparedInsert&& prepared);
  // The pose of `from` expressed in `to` (parent `to`, child `from`) at stamp_ns.
  Result<Isometry, TransformBufferError> lookup_ns(std::string_view from, std::string_view to,
                                                   u128 stamp_ns) const;
  bool can_transform_ns(std::string_view from, std::string_view to, u128 stamp_ns) const;
  // The newest stamp that every dynamic link between the two frames covers (the least of
  // their newest stamps); 0 for equal names or an all-static chain. Invalid names and
  // frames that no chain joins fail with the error lookup_ns gives them.
  Result<u128, TransformBufferError> latest_common_time_ns(std::string_view from,
                                                           std::string_view to) const;
  // Every child frame, sorted by name.
  std::vector<FrameSummary> frames() const;
  void clear_dynamic();

 private:
  friend class BatchLookup;

  // Probed with a string_view, so a repeated dynamic insert allocates nothing.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept {
      return std::hash<std::string_view>{}(name);
    }
  };

  // Children with at least one dynamic insert since creation or the last clear_dynamic.
  std::unordered_set<std::string, NameHash, std::equal_to<>> dynamic_frames_;
  frames::core::Registry registry_;
};

// lookup_ns of one frame pair at many stamps, bit for bit and with the same errors, the
// names checked and the chain worked out once. Borrows the service and the names, which
// must stay unchanged (the service read-locked) while it is used.
class BatchLookup {
 public:
  BatchLookup(const TransformBuffer& service, std::string_view from, std::string_view to);
  // lookup_ns(from, to, stamp_ns). Stamps that are ascending, or near each other, are
  // cheapest: each link goes on from the samples its last stamp used.
  Result<Isometry, TransformBufferError> lookup_ns(u128 stamp_ns);
  // Its answer where it succeeds; nothing, and no error built, where it fails.
  std::optional<Isometry> sampled_ns(u128 stamp_ns);

 private:
  const TransformBuffer& service_;
  std::string_view from_;
  std::string_view to_;
  // Empty when a name is invalid: every stamp then fails as lookup_ns says.
  std::optional<frames::core::ChainSampler> sampler_;
};

}  // namespace quilm_tf
