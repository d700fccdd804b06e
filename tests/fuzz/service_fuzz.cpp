// libFuzzer harness for the transform buffer service and the message filter over it: the
// input bytes become a sequence of inserts (odd names, stamps at the ends of the 128-bit
// range, non-finite and non-unit poses, static and dynamic, chains of up to 80 links),
// clears, lookups, and filter adds, drains and settings, and every step is checked:
//
// - nothing crashes or trips a sanitizer;
// - a refused insert changes no lookup result (probe lookups before and after, compared
//   bit for bit);
// - an accepted insert reads back: the link's own lookup at its newest stamp gives its pose;
// - can_transform_ns agrees with lookup_ns;
// - a successful lookup is finite with a unit rotation, and the reverse lookup succeeds
//   and composes with it to the identity;
// - a lookup between two spellings of one frame is the exact identity;
// - the filter rejects exactly the names normalisation refuses, with the right reason,
//   releases only messages transformable to every target at their stamp and at the stamp
//   plus the tolerance, keeps the bound, and lets every message leave exactly once.
//
// A broken check prints the operation and aborts, which libFuzzer reports as a crash.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "quilm_tf/buffer.hpp"
#include "quilm_tf/message_filter.hpp"

namespace {

using frames::geometry::Quaternion;
using frames::geometry::Vector3;
using quilm_tf::Isometry;
using quilm_tf::TransformBuffer;
using quilm_tf::u128;

constexpr u128 MAX_U128 = ~u128{0};
constexpr u128 HALF_SECOND_NS = 500'000'000;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr int MAX_OPERATIONS = 48;

// Mostly short valid names so that trees grow deep; then names the service must keep
// byte for byte (blanks, NUL, quotes, non-ASCII, invalid UTF-8) and names it must refuse.
const std::string NAMES[] = {
    "a", "b", "c", "d", "e", "f", "/a", "//b", "/c",
    " a", std::string("n\0l", 3), "\"q\\", "\xc3\xa9t\xc3\xa9", "\xff\xfe", "\xcc\x81",
    "", "/", "///", "a/b", "/a/", "\t\n"};
// The probe names: every insert and refusal in the pool above touches some of these.
const char* const PROBES[] = {"a", "b", "c", "d", "e", "f"};

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
  std::abort();
}

std::string name(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 15) == 0) return in.ConsumeRandomLengthString(12);
  return NAMES[in.ConsumeIntegralInRange<std::size_t>(0, std::size(NAMES) - 1)];
}

u128 stamp(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0: return 0;
    case 1: return 1;
    case 2: return u128{1} << 64;
    case 3: return MAX_U128;
    case 4: return MAX_U128 - 1;
    case 5: {
      const u128 high = in.ConsumeIntegral<std::uint64_t>();
      return (high << 64) | in.ConsumeIntegral<std::uint64_t>();
    }
    default:  // a handful of nearby stamps, so links get neighbours to interpolate between
      return in.ConsumeIntegralInRange<std::uint64_t>(1, 12) * HALF_SECOND_NS;
  }
}

double number(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: return 0.0;
    case 1: return std::nan("");
    case 2: return in.ConsumeBool() ? INF : -INF;
    case 3: {  // overflows once composed; 2^512 is the largest a search-only answer trusts
      constexpr double LARGE[] = {1e300, -1e300, 0x1p512, -0x1p512};
      return LARGE[in.ConsumeIntegralInRange(0, 3)];
    }
    case 4: return in.ConsumeFloatingPoint<double>();
    default: return static_cast<double>(in.ConsumeIntegralInRange(-8, 8)) * 0.25;
  }
}

Quaternion unit(double w, double x, double y, double z) {
  const double n = std::sqrt(w * w + x * x + y * y + z * z);
  return n > 0 && std::isfinite(n) ? Quaternion{w / n, x / n, y / n, z / n} : Quaternion{};
}

Quaternion rotation(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 11)) {
    case 0: return {1, 0, 0, 0};
    case 1: return {-1, 0, 0, 0};
    case 2: return {0, 1, 0, 0};  // half turns: slerp and from-rotation branches at pi
    case 3: return {0, 0, 0, 1};
    case 4: return {0.5, 0.5, 0.5, 0.5};
    case 5: {  // off unit by up to the accepted tolerance and a little beyond
      const double scale = 1 + static_cast<double>(in.ConsumeIntegralInRange(-12, 12)) * 1e-7;
      const Quaternion q = unit(number(in), number(in), number(in), 1);
      return {q.w * scale, q.x * scale, q.y * scale, q.z * scale};
    }
    case 6: return {0, 0, 0, 0};
    case 7: return {number(in), number(in), number(in), number(in)};
    default: {
      const double angle = in.ConsumeFloatingPointInRange(-7.0, 7.0);
      return unit(std::cos(angle / 2), in.ConsumeFloatingPointInRange(-1.0, 1.0),
                  in.ConsumeFloatingPointInRange(-1.0, 1.0), std::sin(angle / 2));
    }
  }
}

double magnitude(const Quaternion& q) { return std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z); }
double length(const Vector3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

Quaternion product(const Quaternion& p, const Quaternion& q) {
  return {p.w * q.w - p.x * q.x - p.y * q.y - p.z * q.z,
          p.w * q.x + p.x * q.w + p.y * q.z - p.z * q.y,
          p.w * q.y - p.x * q.z + p.y * q.w + p.z * q.x,
          p.w * q.z + p.x * q.y - p.y * q.x + p.z * q.w};
}

Vector3 rotate(const Quaternion& q, const Vector3& v) {
  const Quaternion r = product(product(q, {0, v.x, v.y, v.z}), {q.w, -q.x, -q.y, -q.z});
  return {r.x, r.y, r.z};
}

std::string bare(std::string_view frame) {
  const auto normalized = quilm_tf::normalize_frame(frame);
  return normalized ? *normalized : std::string();
}

std::string describe(const Isometry& iso) {
  char text[256];
  std::snprintf(text, sizeof text, "rotation (%.17g, %.17g, %.17g, %.17g) translation (%.17g, %.17g, %.17g)",
                iso.rotation.w, iso.rotation.x, iso.rotation.y, iso.rotation.z, iso.translation.x,
                iso.translation.y, iso.translation.z);
  return text;
}

// Exact, so that equal text means equal doubles.
std::string bits(const Isometry& iso) {
  char text[256];
  std::snprintf(text, sizeof text, "%a %a %a %a %a %a %a", iso.rotation.w, iso.rotation.x,
                iso.rotation.y, iso.rotation.z, iso.translation.x, iso.translation.y,
                iso.translation.z);
  return text;
}

std::string describe(u128 value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

// One run: the service and what the harness knows about what it accepted.
class Session {
 public:
  Session() {
    if (!filter_.set_target_frames(std::vector<std::string>{"/a"})) fail("no first target", "");
  }

  void insert(FuzzedDataProvider& in) {
    const std::string parent = name(in);
    const std::string child = name(in);
    const Isometry pose{rotation(in), {number(in), number(in), number(in)}};
    const u128 stamp_ns = stamp(in);
    const bool is_static = in.ConsumeBool();
    const std::vector<std::string> before = probe(stamp_ns);
    const auto inserted = service_.insert_isometry(parent, child, pose, stamp_ns, is_static);
    if (!inserted) {
      if (probe(stamp_ns) != before) {
        fail("a refused insert changed a lookup",
             quilm_tf::to_string(inserted.error()) + "\n" + describe(pose));
      }
      return;
    }
    accepted(bare(parent), bare(child), pose, is_static ? 0 : stamp_ns);
  }

  void lookup(FuzzedDataProvider& in) {
    const std::string from = in.ConsumeBool() ? name(in) : PROBES[in.ConsumeIntegralInRange(0, 5)];
    const std::string to = in.ConsumeBool() ? name(in) : PROBES[in.ConsumeIntegralInRange(0, 5)];
    check(from, to, stamp(in));
  }

  // A chain of up to 80 links below a probe frame, longer than any chain the name pool
  // can make, then lookups from its end.
  void grow(FuzzedDataProvider& in) {
    const std::string root = PROBES[in.ConsumeIntegralInRange(0, 5)];
    const int links = in.ConsumeIntegralInRange(1, 80);
    const bool is_static = in.ConsumeBool();
    const u128 stamp_ns = in.ConsumeIntegralInRange<std::uint64_t>(1, 12) * HALF_SECOND_NS;
    const double angle = in.ConsumeFloatingPointInRange(-4.0, 4.0);
    const Isometry pose{unit(std::cos(angle / 2), 0, 0, std::sin(angle / 2)),
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

  void filter_add(FuzzedDataProvider& in) {
    const std::string frame = in.ConsumeBool() ? name(in) : PROBES[in.ConsumeIntegralInRange(0, 5)];
    // Mostly the stamps links get, or one stuck message would block the queue for good.
    const u128 stamp_ns =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(1, 12) * HALF_SECOND_NS
                         : stamp(in);
    const std::uint64_t id = sent_.size();
    const auto normalized = quilm_tf::normalize_frame(frame);
    sent_.push_back({normalized ? *normalized : std::string(), stamp_ns, 0});
    auto dropped = filter_.add(std::make_unique<std::uint64_t>(id), frame,
                               frames::time::Timestamp(stamp_ns));
    if (!normalized) {
      const bool empty = frame.find_first_not_of('/') == std::string::npos;
      const auto reason = empty ? quilm_tf::DropReason::EmptyFrameId
                                : quilm_tf::DropReason::InvalidFrameId;
      if (dropped.size() != 1 || *dropped[0].message != id || dropped[0].reason != reason) {
        fail("a refused frame name was not handed back with its reason", frame);
      }
      ++sent_[id].left;
      return;
    }
    left_the_queue(std::move(dropped));
  }

  void filter_drain() {
    const std::vector<std::string> targets = filter_.target_frames();
    const u128 tolerance_ns = filter_.tolerance_ns();
    for (const auto& message : filter_.drain_ready(service_)) {
      Sent& s = sent_[*message];
      for (const std::string& target : targets) {
        const bool ahead_fits = tolerance_ns <= MAX_U128 - s.stamp_ns;
        if (!service_.can_transform_ns(s.frame, target, s.stamp_ns) ||
            (tolerance_ns != 0 &&
             (!ahead_fits || !service_.can_transform_ns(s.frame, target, s.stamp_ns + tolerance_ns)))) {
          fail("the filter released a message it cannot transform", s.frame + " -> " + target);
        }
      }
      leave_in_order(*message);
    }
  }

  void filter_settings(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
      case 0: {
        filter_.set_queue_size(in.ConsumeIntegralInRange<std::size_t>(0, 4));
        left_the_queue(filter_.enforce_queue_size());
        break;
      }
      case 1: {
        const int kind = in.ConsumeIntegralInRange(0, 2);
        filter_.set_tolerance_ns(kind == 0   ? 0
                                 : kind == 1 ? in.ConsumeIntegralInRange(1, 4) * HALF_SECOND_NS
                                             : stamp(in));
        break;
      }
      default: {
        std::vector<std::string> targets(in.ConsumeIntegralInRange(0, 3));
        bool valid = !targets.empty();
        for (std::string& target : targets) {
          target = in.ConsumeBool() ? name(in) : PROBES[in.ConsumeIntegralInRange(0, 5)];
          valid = valid && quilm_tf::normalize_frame(target).has_value();
        }
        const auto before = filter_.target_frames();
        if (filter_.set_target_frames(targets).has_value() != valid) {
          fail("set_target_frames accepted a bad list or refused a good one", "");
        }
        if (!valid && filter_.target_frames() != before) fail("refused targets changed", "");
      }
    }
  }

  // At the end of the input: what is still queued leaves once too, and nothing else.
  void finish() {
    for (const auto& message : filter_.take_all()) leave_in_order(*message);
    for (const Sent& s : sent_) {
      if (s.left != 1) fail("a message did not leave the filter exactly once", s.frame);
    }
  }

 private:
  // Every check that does not depend on what was inserted.
  void check(const std::string& from, const std::string& to, u128 stamp_ns) {
    const auto found = service_.lookup_ns(from, to, stamp_ns);
    const auto where = [&] {
      return "from \"" + from + "\" to \"" + to + "\" at " + describe(stamp_ns);
    };
    if (found.has_value() != service_.can_transform_ns(from, to, stamp_ns)) {
      fail("can_transform_ns disagrees with lookup_ns", where());
    }
    if (!found) {
      if (quilm_tf::to_string(found.error()).empty()) fail("empty error text", where());
      return;
    }
    const Isometry& forward = *found;
    const Vector3& t = forward.translation;
    if (!std::isfinite(t.x) || !std::isfinite(t.y) || !std::isfinite(t.z) ||
        std::abs(magnitude(forward.rotation) - 1) > 1e-9) {
      fail("lookup result not finite or not unit", where() + "\n" + describe(forward));
    }
    const std::string from_bare = bare(from);
    if (from_bare == bare(to)) {
      const Isometry identity{};
      if (forward.rotation != identity.rotation || forward.translation != identity.translation) {
        fail("lookup between one frame's spellings is not the identity", where());
      }
    }
    const auto backward = service_.lookup_ns(to, from, stamp_ns);
    if (!backward) {
      if (!overflowed(backward.error())) {
        fail("reverse lookup failed", where() + "\n" + quilm_tf::to_string(backward.error()));
      }
    } else {
      const Quaternion round = product(forward.rotation, backward->rotation);
      const Vector3 r = rotate(forward.rotation, backward->translation);
      const Vector3 gap{t.x + r.x, t.y + r.y, t.z + r.z};
      if (std::abs(std::abs(round.w) - 1) > 1e-9 || length(gap) > translation_tolerance()) {
        fail("forward and reverse lookups do not compose to the identity",
             where() + "\n" + describe(forward) + "\n" + describe(*backward));
      }
    }
  }

  // Composing translations near the largest double may overflow to infinity, which the
  // service refuses; only then may a lookup that should succeed fail.
  bool overflowed(const quilm_tf::TransformBufferError& error) const {
    return largest_translation_ >= 1e250 &&
           quilm_tf::to_string(error) == "transform contains a non-finite component";
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
        outcomes.push_back(outcome(from, to, stamp_ns));
        outcomes.push_back(outcome(from, to, 3 * HALF_SECOND_NS));
      }
    }
    return outcomes;
  }

  std::string outcome(const std::string& from, const std::string& to, u128 stamp_ns) const {
    const auto found = service_.lookup_ns(from, to, stamp_ns);
    if (!found) return quilm_tf::to_string(found.error());
    return bits(*found);
  }

  void accepted(const std::string& parent, const std::string& child, const Isometry& pose,
                u128 stamp_ns) {
    children_.insert(child);
    worst_norm_error_ = std::max(worst_norm_error_, std::abs(magnitude(pose.rotation) - 1));
    largest_translation_ = std::max(largest_translation_, length(pose.translation));
    u128 newest = stamp_ns;
    if (stamp_ns != 0) {
      auto [it, added] = dynamic_newest_.emplace(child, stamp_ns);
      if (!added) it->second = newest = std::max(it->second, stamp_ns);
    }
    // Older stamps may have expired at once; the newest entry never does.
    if (stamp_ns != newest) return;
    const auto where = [&] {
      return "\"" + parent + "\" -> \"" + child + "\" at " + describe(stamp_ns);
    };
    const auto found = service_.lookup_ns(child, parent, stamp_ns == 0 ? MAX_U128 : stamp_ns);
    if (!found) {
      if (overflowed(found.error())) return;
      fail("an accepted link does not read back",
           where() + "\n" + quilm_tf::to_string(found.error()));
    }
    const Quaternion& q = pose.rotation;
    const double n = magnitude(q);
    const Quaternion& got = found->rotation;
    const double dot = (got.w * q.w + got.x * q.x + got.y * q.y + got.z * q.z) / n;
    const Vector3& t = found->translation;
    const Vector3& want = pose.translation;
    const double gap = length({t.x - want.x, t.y - want.y, t.z - want.z});
    if (std::abs(std::abs(dot) - 1) > 1e-9 || gap > 1e-9 * (1 + length(want))) {
      fail("an accepted link reads back a different pose",
           where() + "\nstored " + describe(pose) + "\nread " + describe(*found));
    }
  }

  struct Sent {
    std::string frame;  // normalised; empty when refused
    u128 stamp_ns;
    int left;  // times it left the filter
  };

  void left_the_queue(std::vector<quilm_tf::DroppedMessage<std::unique_ptr<std::uint64_t>>> dropped) {
    for (const auto& drop : dropped) {
      if (drop.reason != quilm_tf::DropReason::QueueFull) fail("eviction with a wrong reason", "");
      leave_in_order(*drop.message);
    }
    const std::size_t bound = filter_.queue_size();
    if (bound != 0 && filter_.pending_count() > bound) fail("the queue exceeds its bound", "");
  }

  // Queued messages leave from the front, so in the order they came.
  void leave_in_order(std::uint64_t id) {
    if (id < next_to_leave_ || sent_[id].frame.empty()) fail("a message left out of order", "");
    next_to_leave_ = id;
    ++sent_[id].left;
  }

  TransformBuffer service_{frames::time::Duration{3, 0}};
  quilm_tf::MessageFilter<std::unique_ptr<std::uint64_t>> filter_{2};
  std::vector<Sent> sent_;
  std::uint64_t next_to_leave_ = 0;
  std::map<std::string, u128> dynamic_newest_;  // by normalised child, since the last clear
  std::set<std::string> children_;              // every child ever accepted
  double worst_norm_error_ = 0;
  double largest_translation_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Session session;
  for (int i = 0; i < MAX_OPERATIONS && in.remaining_bytes() > 0; ++i) {
    switch (in.ConsumeIntegralInRange(0, 20)) {
      case 0: session.clear(); break;
      case 1: case 2: case 3: case 4: session.lookup(in); break;
      case 16: case 17: case 18: session.filter_add(in); break;
      case 19: session.filter_settings(in); break;
      case 20: session.grow(in); break;
      default: session.insert(in); break;
    }
    // As the binding does: every insert wakes the filter, every filter change dispatches.
    session.filter_drain();
  }
  session.finish();
  return 0;
}
