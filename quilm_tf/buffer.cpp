#include "quilm_tf/buffer.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "frames/format.hpp"
#include "quilm_tf/matrix.hpp"
#include "quilm_tf/quoted.hpp"

namespace quilm_tf {
namespace {

using frames::geometry::Transform;
using frames::time::Timestamp;

// The bare name, or an empty view with `reason` set. A view into the caller's string:
// the hot lookup path normalises without copying.
std::string_view strip_frame(std::string_view name, std::string_view& reason) noexcept {
  const std::size_t start = name.find_first_not_of('/');
  if (start == std::string_view::npos) {
    reason = REASON_EMPTY;
    return {};
  }
  const std::string_view rest = name.substr(start);
  if (rest.find('/') != std::string_view::npos) {
    reason = REASON_QUALIFIED;
    return {};
  }
  return rest;
}

Unexpected<TransformBufferError> invalid_frame(std::string_view name, std::string_view reason) {
  return Unexpected{TransformBufferError{buffer_error::InvalidFrame{std::string(name), reason}}};
}

Unexpected<TransformBufferError> stamp_out_of_range() {
  return Unexpected{TransformBufferError{buffer_error::StampOutOfRange{}}};
}

bool all_finite(const Isometry& iso) noexcept {
  const auto& q = iso.rotation;
  const auto& t = iso.translation;
  return std::isfinite(q.w) && std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z) &&
         std::isfinite(t.x) && std::isfinite(t.y) && std::isfinite(t.z);
}

// The lookup result rule: finite, unit within the tolerance, then divided by its length.
Result<Isometry, TransformBufferError> checked_result(const frames::core::Link& t) noexcept {
  const auto& q = t.rotation;
  return isometry_from_components(t.translation, {q.x, q.y, q.z, q.w});
}

// The checks of an insert that need no stored data, then `ok` with both names normalised.
// A template, so that insert_isometry builds its transform in place: a Result between the
// checks and the insert costs a sixth of an insert.
template <class Ok>
auto check_insert(std::string_view parent, std::string_view child, const Isometry& isometry,
                  u128 stamp_ns, bool is_static, Ok&& ok) -> decltype(ok(parent, child)) {
  if (stamp_ns >= ROS_TIME_LIMIT_NS) return stamp_out_of_range();
  std::string_view reason;
  const std::string_view bare_parent = strip_frame(parent, reason);
  if (bare_parent.empty()) return invalid_frame(parent, reason);
  const std::string_view bare_child = strip_frame(child, reason);
  if (bare_child.empty()) return invalid_frame(child, reason);
  if (bare_parent == bare_child) return invalid_frame(bare_child, REASON_SELF_PARENT);
  if (!all_finite(isometry)) {
    return Unexpected{TransformBufferError{buffer_error::NonFiniteComponent{}}};
  }
  if (!is_static && stamp_ns == 0) {
    return Unexpected{TransformBufferError{
        buffer_error::ReservedZeroStamp{std::string(bare_parent), std::string(bare_child)}}};
  }
  return ok(bare_parent, bare_child);
}

PreparedInsert prepared(std::string_view parent, std::string_view child,
                        const Isometry& isometry, u128 stamp_ns, bool is_static) {
  return PreparedInsert{Transform{isometry.translation, isometry.rotation,
                                  Timestamp{is_static ? u128{0} : stamp_ns}, std::string(parent),
                                  std::string(child)},
                        parent, child};
}

}  // namespace

void append_to(std::string& out, const TransformBufferError& error) {
  struct Visitor {
    std::string& out;
    void operator()(const buffer_error::StampOutOfRange&) { out += STAMP_OUT_OF_RANGE; }
    void operator()(const buffer_error::InvalidFrame& e) {
      out += "invalid frame ";
      append_quoted(out, e.name);
      out += ": ";
      out += e.reason;
    }
    void operator()(const buffer_error::ReservedZeroStamp& e) {
      out += "dynamic transform ";
      append_quoted(out, e.parent);
      out += " -> ";
      append_quoted(out, e.child);
      out += " has the reserved zero timestamp";
    }
    void operator()(const buffer_error::InsertFailure& e) {
      out += "failed to insert transform ";
      append_quoted(out, e.parent);
      out += " -> ";
      append_quoted(out, e.child);
      out += ": ";
      frames::core::append_to(out, e.source);
    }
    void operator()(const buffer_error::LookupFailure& e) {
      out += "failed to look up transform from ";
      append_quoted(out, e.from);
      out += " to ";
      append_quoted(out, e.to);
      out += ": ";
      frames::core::append_to(out, e.source);
    }
    void operator()(const buffer_error::NonFiniteComponent&) {
      out += "transform contains a non-finite component";
    }
    void operator()(const buffer_error::QuaternionNorm& e) {
      out += "transform quaternion has norm ";
      frames::append_number(out, e.norm);
      out += ", expected 1";
    }
    void operator()(const buffer_error::NotRigid&) {
      out += "matrix is not a rigid homogeneous transform";
    }
  };
  std::visit(Visitor{out}, error.kind);
}

std::string to_string(const TransformBufferError& error) {
  std::string out;
  append_to(out, error);
  return out;
}

Result<std::string, TransformBufferError> normalize_frame(std::string_view name) {
  std::string_view reason;
  const std::string_view bare = strip_frame(name, reason);
  if (bare.empty()) return invalid_frame(name, reason);
  return std::string(bare);
}

TransformBuffer::TransformBuffer(frames::time::Duration history) : registry_(history) {}

Result<void, TransformBufferError> TransformBuffer::insert_isometry(std::string_view parent,
                                                                    std::string_view child,
                                                                    const Isometry& isometry,
                                                                    u128 stamp_ns, bool is_static) {
  return check_insert(parent, child, isometry, stamp_ns, is_static,
                      [&](std::string_view bare_parent, std::string_view bare_child) {
                        return insert(prepared(bare_parent, bare_child, isometry, stamp_ns,
                                               is_static));
                      });
}

Result<PreparedInsert, TransformBufferError> TransformBuffer::prepare_insert(
    std::string_view parent, std::string_view child, const Isometry& isometry, u128 stamp_ns,
    bool is_static) {
  return check_insert(parent, child, isometry, stamp_ns, is_static,
                      [&](std::string_view bare_parent, std::string_view bare_child)
                          -> Result<PreparedInsert, TransformBufferError> {
                        return prepared(bare_parent, bare_child, isometry, stamp_ns, is_static);
                      });
}

Result<void, TransformBufferError> TransformBuffer::insert(PreparedInsert&& prepared) {
  // A dynamic child is recorded before the registry changes, and forgotten again if the
  // registry refuses it, so that no allocation is left to fail after a stored insert.
  const bool newly_dynamic = !prepared.transform.timestamp.is_zero() &&
                             !dynamic_frames_.contains(prepared.child);
  if (newly_dynamic) dynamic_frames_.emplace(prepared.child);
  const auto forget = [&]() noexcept {
    if (newly_dynamic) dynamic_frames_.erase(dynamic_frames_.find(prepared.child));
  };
  auto inserted = [&] {
    try {
      return registry_.process_add_transform(std::move(prepared.transform));
    } catch (...) {
      forget();
      throw;
    }
  }();
  if (!inserted) {
    forget();
    return Unexpected{TransformBufferError{buffer_error::InsertFailure{
        std::string(prepared.parent), std::string(prepared.child), std::move(inserted).error()}}};
  }
  return {};
}

Result<Isometry, TransformBufferError> TransformBuffer::lookup_ns(std::string_view from,
                                                                  std::string_view to,
                                                                  u128 stamp_ns) const {
  if (stamp_ns >= ROS_TIME_LIMIT_NS) return stamp_out_of_range();
  std::string_view reason;
  const std::string_view bare_from = strip_frame(from, reason);
  if (bare_from.empty()) return invalid_frame(from, reason);
  const std::string_view bare_to = strip_frame(to, reason);
  if (bare_to.empty()) return invalid_frame(to, reason);

  // The registry's first frame is the parent of its answer: `to` is ours.
  auto found = registry_.process_get_link(bare_to, bare_from, Timestamp{stamp_ns});
  if (!found) {
    return Unexpected{TransformBufferError{buffer_error::LookupFailure{
        std::string(bare_from), std::string(bare_to), std::move(found).error()}}};
  }
  return checked_result(*found);
}

BatchLookup::BatchLookup(const TransformBuffer& service, std::string_view from,
                         std::string_view to)
    : service_(service), from_(from), to_(to) {
  std::string_view reason;
  const std::string_view bare_from = strip_frame(from, reason);
  const std::string_view bare_to = strip_frame(to, reason);
  if (!bare_from.empty() && !bare_to.empty()) sampler_.emplace(service.registry_, bare_to, bare_from);
}

std::optional<Isometry> BatchLookup::sampled_ns(u128 stamp_ns) {
  if (!sampler_ || stamp_ns >= ROS_TIME_LIMIT_NS) return std::nullopt;
  const std::optional<frames::core::Link> found = sampler_->sample(Timestamp{stamp_ns});
  if (!found) return std::nullopt;
  Result<Isometry, TransformBufferError> checked = checked_result(*found);
  if (!checked) return std::nullopt;
  return *checked;
}

Result<Isometry, TransformBufferError> BatchLookup::lookup_ns(u128 stamp_ns) {
  // Without a sampler a name is invalid, and lookup_ns says which; it checks the stamp too.
  if (!sampler_ || stamp_ns >= ROS_TIME_LIMIT_NS) return service_.lookup_ns(from_, to_, stamp_ns);
  auto found = sampler_->lookup(Timestamp{stamp_ns});
  if (!found) {
    std::string_view reason;
    return Unexpected{TransformBufferError{buffer_error::LookupFailure{
        std::string(strip_frame(from_, reason)), std::string(strip_frame(to_, reason)),
        std::move(found).error()}}};
  }
  return checked_result(*found);
}

bool TransformBuffer::can_transform_ns(std::string_view from, std::string_view to,
                                       u128 stamp_ns) const {
  // lookup_ns without building an error: this is the message filter's inner loop, where
  // failures are common and their texts would be thrown away.
  if (stamp_ns >= ROS_TIME_LIMIT_NS) return false;
  std::string_view reason;
  const std::string_view bare_from = strip_frame(from, reason);
  if (bare_from.empty()) return false;
  const std::string_view bare_to = strip_frame(to, reason);
  if (bare_to.empty()) return false;
  // Where the walks alone settle the answer, the interpolation and composition are
  // skipped: a lookup that finds every link fails only in its arithmetic, and the probe
  // vouches for success only where that arithmetic cannot fail, nor the result check (the
  // result's rotation is renormalised by the final inverse).
  switch (registry_.probe_link(bare_to, bare_from, Timestamp{stamp_ns})) {
    case frames::core::Registry::Answer::Fails:
      return false;
    case frames::core::Registry::Answer::Succeeds:
      return true;
    case frames::core::Registry::Answer::Unsure:
      break;
  }
  const auto found = registry_.process_get_link(bare_to, bare_from, Timestamp{stamp_ns});
  return found.has_value() && checked_result(*found).has_value();
}

Result<u128, TransformBufferError> TransformBuffer::latest_common_time_ns(
    std::string_view from, std::string_view to) const {
  std::string_view reason;
  const std::string_view bare_from = strip_frame(from, reason);
  if (bare_from.empty()) return invalid_frame(from, reason);
  const std::string_view bare_to = strip_frame(to, reason);
  if (bare_to.empty()) return invalid_frame(to, reason);
  // Asked in lookup_ns's order, so a failure names the frames as a lookup would.
  auto latest = registry_.latest_common_time(bare_to, bare_from);
  if (!latest) {
    return Unexpected{TransformBufferError{buffer_error::LookupFailure{
        std::string(bare_from), std::string(bare_to), std::move(latest).error()}}};
  }
  return latest->ns();
}

std::vector<FrameSummary> TransformBuffer::frames() const {
  std::vector<FrameSummary> out;
  out.reserve(registry_.size());
  registry_.for_each_frame([&](const frames::core::Buffer& history) {
    const auto& samples = history.entries();
    // A history exists only after an accepted insert, so it has names and a sample.
    out.push_back(FrameSummary{*history.child(), *history.parent(), history.is_static(),
                               samples.size(), samples[0].stamp_ns(), samples.back().stamp_ns()});
  });
  std::sort(out.begin(), out.end(),
            [](const FrameSummary& a, const FrameSummary& b) { return a.name < b.name; });
  return out;
}

void TransformBuffer::clear_dynamic() {
  for (const std::string& name : dynamic_frames_) (void)registry_.remove_frame(name);
  dynamic_frames_.clear();
}

}  // namespace quilm_tf
