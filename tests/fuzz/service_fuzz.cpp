// libFuzzer harness for the transform buffer service: the input becomes up to 48 operations
// (inserts with odd names, stamps at the ends of the ROS time range and past it, non-finite
// and non-unit poses, static and dynamic; chains of up to 80 links; clears; lookups), and
// every step is checked:
//
// - nothing crashes or trips a sanitizer;
// - a refused insert changes no lookup result (probe lookups before and after, bit for bit);
// - an accepted insert reads back: the link's own lookup at its newest stamp gives its pose;
// - can_transform_ns agrees with lookup_ns; a successful lookup is finite with a unit
//   rotation, and the reverse lookup succeeds and composes with it to the identity; a
//   lookup between two spellings of one frame is the exact identity.
//
// The message filter's rules are its unit tests'.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_driver.hpp"
#include "quilm_tf/buffer.hpp"

namespace {

using fuzz::fail;
using fuzz::length;
using fuzz::number;
using quilm_tf::Isometry;
using quilm_tf::ROS_TIME_LIMIT_NS;
using quilm_tf::u128;

constexpr u128 MAX_U128 = ~u128{0};
constexpr u128 HALF_SECOND_NS = 500'000'000;

// Mostly short valid names so that trees grow deep; then names the service must keep
// byte for byte (blanks, NUL, quotes, non-ASCII, invalid UTF-8) and names it must refuse.
const std::string NAMES[] = {
    "a", "b", "c", "d", "e", "f", "/a", "//b", "/c",
    " a", std::string("n\0l", 3), "\"q\\", "\xc3\xa9t\xc3\xa9", "\xff\xfe", "\xcc\x81",
    "", "/", "///", "a/b", "/a/", "\t\n"};
// The probe names: every insert and refusal in the pool above touches some of these.
const char* const PROBES[] = {"a", "b", "c", "d", "e", "f"};

std::string name(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 15) == 0) return in.ConsumeRandomLengthString(12);
  return NAMES[in.ConsumeIntegralInRange<std::size_t>(0, std::size(NAMES) - 1)];
}

std::string name_or_probe(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? name(in) : PROBES[in.ConsumeIntegralInRange(0, 5)];
}

u128 near_stamp(FuzzedDataProvider& in) {
  return in.ConsumeIntegralInRange<std::uint64_t>(1, 12) * HALF_SECOND_NS;
}

u128 stamp(FuzzedDataProvider& in) {
  const u128 ends[] = {0, 1, ROS_TIME_LIMIT_NS - 1, ROS_TIME_LIMIT_NS, MAX_U128};
  const int kind = in.ConsumeIntegralInRange(0, 9);
  if (kind < 5) return ends[kind];
  if (kind > 5) return near_stamp(in);  // neighbours to interpolate between
  const u128 high = in.ConsumeIntegral<std::uint64_t>();
  return (high << 64) | in.ConsumeIntegral<std::uint64_t>();
}

Quaternion rotation(FuzzedDataProvider& in) {
  // Half turns reach the slerp and from-rotation branches at pi; case 5 is off unit by up
  // to the accepted tolerance and a little beyond.
  const Quaternion fixed[] = {
      {1, 0, 0, 0}, {-1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 0, 1}, {0.5, 0.5, 0.5, 0.5}};
  const int kind = in.ConsumeIntegralInRange(0, 11);
  if (kind < 5) return fixed[kind];
  if (kind == 5) {
    const double scale = 1 + in.ConsumeIntegralInRange(-12, 12) * 1e-7;
    return fuzz::unit({number(in), number(in), number(in), 1}, scale);
  }
  if (kind == 6) return {0, 0, 0, 0};
  if (kind == 7) return {number(in), number(in), number(in), number(in)};
  const double angle = in.ConsumeFloatingPointInRange(-7.0, 7.0);
  return fuzz::unit({std::cos(angle / 2), in.ConsumeFloatingPointInRange(-1.0, 1.0),
                     in.ConsumeFloatingPointInRange(-1.0, 1.0), std::sin(angle / 2)});
}

std::string bare(std::string_view frame) {
  const auto normalized = quilm_tf::normalize_frame(frame);
  return normalized ? *normalized : std::string();
}

// Exact, so that equal text means equal doubles.
std::string text(const Isometry& iso) {
  char out[256];
  const Quaternion& q = iso.rotation;
  const Vector3& t = iso.translation;
  std::snprintf(out, sizeof out, "rotation %a %a %a %a translation %a %a %a", q.w, q.x, q.y,
                q.z, t.x, t.y, t.z);
  return out;
}

// The crashing input is saved; this only names the frames.
std::string where(const std::string& from, const std::string& to) {
  return "\"" + from + "\" -> \"" + to + "\"";
}

// One run: the service and what the harness knows about what it accepted.
class Session {
 public:
  void insert(FuzzedDataProvider& in) {
    const std::string parent = name(in), child = name(in);
    const Isometry pose{rotation(in), {number(in), number(in), number(in)}};
    const u128 stamp_ns = stamp(in);
    const bool is_static = in.ConsumeBool();
    const std::vector<std::string> before = probe(stamp_ns);
    const auto inserted = service_.insert_isometry(parent, child, pose, stamp_ns, is_static);
    if (inserted) {
      accepted(bare(parent), bare(child), pose, is_static ? 0 : stamp_ns);
    } else if (probe(stamp_ns) != before) {
      fail("a refused insert changed a lookup", to_string(inserted.error()) + "\n" + text(pose));
    }
  }

  void lookup(FuzzedDataProvider& in) {
    const std::string from = name_or_probe(in);
    check(from, name_or_probe(in), stamp(in));
  }

  // A chain of up to 80 links below a probe frame, longer than any chain the name pool
  // can make, then lookups from its end.
  void grow(FuzzedDataProvider& in) {
    const std::string root = PROBES[in.ConsumeIntegralInRange(0, 5)];
    const int links = in.ConsumeIntegralInRange(1, 80);
    const bool is_static = in.ConsumeBool();
    const u128 stamp_ns = near_stamp(in);
    const double angle = in.ConsumeFloatingPointInRange(-4.0, 4.0);
    const Isometry pose{{std::cos(angle / 2), 0, 0, std::sin(angle / 2)},
                        {in.ConsumeFloatingPointInRange(-2.0, 2.0), 0.5, 0}};
    std::string parent = root;
    for (int i = 0; i < links; ++i) {
      std::string child = root + "~" + std::to_string(i);
      if (service_.insert_isometry(parent, child, pose, stamp_ns, is_static)) {
        accepted(parent, child, pose, is_static ? 0 : stamp_ns);
      }
      parent = std::move(child);
    }
    check(parent, root, stamp_ns);
    check(root, parent, stamp_ns + HALF_SECOND_NS);
    check(parent, PROBES[in.ConsumeIntegralInRange(0, 5)], stamp_ns);
  }

  void clear() {
    service_.clear_dynamic();
    dynamic_newest_.clear();
  }

 private:
  // Every check that does not depend on what was inserted.
  void check(const std::string& from, const std::string& to, u128 stamp_ns) {
    const auto found = service_.lookup_ns(from, to, stamp_ns);
    if (found.has_value() != service_.can_transform_ns(from, to, stamp_ns)) {
      fail("can_transform_ns disagrees", where(from, to));
    }
    if (!found) {  // rendering the error runs the quoting of every odd name
      if (to_string(found.error()).empty()) fail("empty error text", where(from, to));
      return;
    }
    const Vector3& t = found->translation;
    if (!std::isfinite(t.x) || !std::isfinite(t.y) || !std::isfinite(t.z) ||
        std::abs(length(found->rotation) - 1) > 1e-9) {
      fail("lookup result not finite or not unit", where(from, to) + "\n" + text(*found));
    }
    if (bare(from) == bare(to) && (found->rotation != Quaternion{} || t != Vector3{})) {
      fail("lookup between one frame's spellings is not the identity", where(from, to));
    }
    const auto backward = service_.lookup_ns(to, from, stamp_ns);
    if (!backward) {
      if (!overflowed(backward.error())) {
        fail("reverse lookup failed", where(from, to) + "\n" + to_string(backward.error()));
      }
      return;
    }
    const Quaternion round = found->rotation * backward->rotation;
    const Vector3 r = frames::geometry::rotate_vector(found->rotation, backward->translation);
    if (std::abs(std::abs(round.w) - 1) > 1e-9 ||
        length(Vector3{t.x + r.x, t.y + r.y, t.z + r.z}) > translation_tolerance()) {
      fail("forward and reverse lookups do not compose to the identity",
           where(from, to) + "\n" + text(*found) + "\n" + text(*backward));
    }
  }

  // Composing translations near the largest double may overflow to infinity, which the
  // service refuses; only then may a lookup that should succeed fail.
  bool overflowed(const quilm_tf::TransformBufferError& error) const {
    return largest_translation_ >= 1e250 &&
           to_string(error) == "transform contains a non-finite component";
  }

  // A chain has at most one link per child frame ever accepted; each link's translation is
  // at most the largest one inserted (interpolation blends, it does not extrapolate).
  // Rounding over such a chain stays far below 1e-9 relative. A rotation accepted off unit
  // by d scales what it rotates by about (1 + d)^2 when composed raw, while the other
  // direction composes normalised inverses, so each link may add about 2d (with slerp's
  // blend weights summing to at most sqrt 2 for d up to the tolerance): 4 L d covers it.
  double translation_tolerance() const {
    const double links = static_cast<double>(children_.size());
    return (1e-9 + 4 * links * worst_norm_error_) * (1 + links * largest_translation_);
  }

  // Lookup outcomes between every two probe names, as text (error or the exact bits).
  std::vector<std::string> probe(u128 stamp_ns) const {
    std::vector<std::string> outcomes;
    for (const char* from : PROBES) {
      for (const char* to : PROBES) {
        if (from == to) continue;
        for (const u128 at : {stamp_ns, 3 * HALF_SECOND_NS}) {
          const auto found = service_.lookup_ns(from, to, at);
          outcomes.push_back(found ? text(*found) : to_string(found.error()));
        }
      }
    }
    return outcomes;
  }

  void accepted(const std::string& parent, const std::string& child, const Isometry& pose,
                u128 stamp_ns) {
    children_.insert(child);
    worst_norm_error_ = std::max(worst_norm_error_, std::abs(length(pose.rotation) - 1));
    largest_translation_ = std::max(largest_translation_, length(pose.translation));
    if (stamp_ns != 0) {
      // Older stamps may have expired at once; the newest entry never does.
      auto [it, added] = dynamic_newest_.emplace(child, stamp_ns);
      if (!added && it->second > stamp_ns) return;
      it->second = stamp_ns;
    }
    const u128 at_ns = stamp_ns == 0 ? ROS_TIME_LIMIT_NS - 1 : stamp_ns;
    const auto found = service_.lookup_ns(child, parent, at_ns);
    if (!found) {
      if (overflowed(found.error())) return;
      fail("an accepted link does not read back",
           where(parent, child) + "\n" + to_string(found.error()));
    }
    const Quaternion& q = pose.rotation;
    const Quaternion& got = found->rotation;
    const double dot = (got.w * q.w + got.x * q.x + got.y * q.y + got.z * q.z) / length(q);
    const Vector3& t = found->translation;
    const Vector3& want = pose.translation;
    if (std::abs(std::abs(dot) - 1) > 1e-9 ||
        length(Vector3{t.x - want.x, t.y - want.y, t.z - want.z}) > 1e-9 * (1 + length(want))) {
      fail("an accepted link reads back a different pose",
           where(parent, child) + "\nstored " + text(pose) + "\nread " + text(*found));
    }
  }

  quilm_tf::TransformBuffer service_{frames::time::Duration{3, 0}};
  std::map<std::string, u128> dynamic_newest_;  // by normalised child, since the last clear
  std::set<std::string> children_;              // every child ever accepted
  double worst_norm_error_ = 0;
  double largest_translation_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Session session;
  fuzz::drive(data, size, 48, [&](FuzzedDataProvider& in) {
    const int op = in.ConsumeIntegralInRange(0, 16);
    if (op == 0) session.clear();
    if (op >= 1 && op <= 4) session.lookup(in);
    if (op >= 5 && op <= 15) session.insert(in);
    if (op == 16) session.grow(in);
  });
  return 0;
}
