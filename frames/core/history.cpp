#include "frames/core/history.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "frames/escape.hpp"

namespace frames::core {

namespace te = geometry::transform_error;
using time::u128;

void append_to(std::string& out, const BufferError& error) {
  struct Visitor {
    std::string& out;
    void operator()(const buffer_error::Empty&) { out += "the buffer holds no transforms"; }
    void operator()(const buffer_error::MixedStaticDynamic&) {
      out += "cannot mix static and dynamic transforms for the same child frame";
    }
    void operator()(const buffer_error::SelfParent&) { out += "a frame cannot be its own parent"; }
    void operator()(const buffer_error::Reparenting& e) {
      out += "re-parenting is not supported (the child frame's parent is ";
      append_escaped(out, e.parent);
      out += ')';
    }
    void operator()(const buffer_error::ChildMismatch& e) {
      out += "the buffer already stores a different child frame (";
      append_escaped(out, e.child);
      out += ')';
    }
    void operator()(const buffer_error::Cycle&) {
      out += "inserting the transform would create a cycle in the frame tree";
    }
    void operator()(const buffer_error::TransformFailure& e) {
      out += "transform error: ";
      geometry::append_to(out, e.error);
    }
  };
  std::visit(Visitor{out}, error.kind);
}

std::string to_string(const BufferError& error) {
  std::string out;
  append_to(out, error);
  return out;
}

namespace {

// Nanoseconds as whole seconds and the rest, as Timestamp::duration_since splits them;
// spans below 2^64 ns take 64-bit division instead of a 128-bit library call.
time::Duration split_ns(std::uint64_t ns) noexcept {
  return time::Duration{ns / time::NS_PER_SECOND,
                        static_cast<std::uint32_t>(ns % time::NS_PER_SECOND)};
}

Result<time::Duration, time::TimeError> span_between(u128 later_ns, u128 earlier_ns) noexcept {
  if (later_ns >= earlier_ns && (later_ns - earlier_ns) >> 64 == 0) {
    return split_ns(static_cast<std::uint64_t>(later_ns - earlier_ns));
  }
  return time::Timestamp{later_ns}.duration_since(time::Timestamp{earlier_ns});
}

geometry::TransformError out_of_range(u128 requested, u128 first, u128 last) {
  return geometry::TransformError{te::TimestampOutOfRange{time::Timestamp{requested}.to_seconds(),
                                                          time::Timestamp{first}.to_seconds(),
                                                          time::Timestamp{last}.to_seconds()}};
}

Sample to_sample(const geometry::Transform& t) noexcept {
  const u128 ns = t.timestamp.ns();
  return Sample{static_cast<std::uint64_t>(ns), static_cast<std::uint64_t>(ns >> 64), t.translation,
                t.rotation};
}

Link to_link(const Sample& s, std::string_view parent, std::string_view child) noexcept {
  return Link{s.translation, s.rotation, s.stamp(), parent, child};
}

}  // namespace

Segment::Segment(const Sample& earlier, const Sample& later) noexcept
    : earlier_(&earlier),
      later_(&later),
      span_(span_between(later.stamp_ns(), earlier.stamp_ns())),
      span_seconds_(span_ ? span_->as_seconds() : 0.0),
      arc_(geometry::slerp_arc(earlier.rotation, later.rotation)) {}

Result<Link, geometry::TransformError> Segment::at(time::Timestamp time, std::string_view parent,
                                                   std::string_view child) const noexcept {
  const u128 earlier_ns = earlier_->stamp_ns();
  const u128 later_ns = later_->stamp_ns();
  if (later_ns < earlier_ns) {
    return Unexpected{geometry::TransformError{
        te::TimestampMismatch{earlier_->stamp().to_seconds(), later_->stamp().to_seconds()}}};
  }
  if (time.ns() < earlier_ns || time.ns() > later_ns) {
    return Unexpected{out_of_range(time.ns(), earlier_ns, later_ns)};
  }
  if (!span_) return Unexpected{geometry::TransformError{te::TimeFailure{span_.error()}}};
  if (*span_ == time::Duration{}) return to_link(*earlier_, parent, child);
  Pose pose;
  // The span fits a Duration, so the offset within it does too: pose_at cannot fail here.
  (void)pose_at(time.ns(), pose);
  return Link{pose.translation, pose.rotation, time, parent, child};
}

bool Segment::pose_at(u128 time_ns, Pose& out) const noexcept {
  const u128 earlier_ns = earlier_->stamp_ns();
  if (later_->stamp_ns() < earlier_ns || time_ns < earlier_ns || time_ns > later_->stamp_ns() ||
      !span_) {
    return false;
  }
  if (*span_ == time::Duration{}) {
    out = {earlier_->translation, earlier_->rotation};
    return true;
  }
  const Result<time::Duration, time::TimeError> offset = span_between(time_ns, earlier_ns);
  if (!offset) return false;
  const double r = offset->as_seconds() / span_seconds_;
  const geometry::Vector3& a = earlier_->translation;
  const geometry::Vector3& b = later_->translation;
  out = {{a.x * (1.0 - r) + b.x * r, a.y * (1.0 - r) + b.y * r, a.z * (1.0 - r) + b.z * r},
         geometry::slerp(arc_, r)};
  return true;
}

Result<Link, geometry::TransformError> interpolate(const Sample& earlier, const Sample& later,
                                                   time::Timestamp time, std::string_view parent,
                                                   std::string_view child) noexcept {
  return Segment(earlier, later).at(time, parent, child);
}

namespace {

// The first index in [0, n) whose key is not below `stamp` (n when there is none), keys
// ascending. Galloping out from `guess` costs one or two probes when the guess is good and
// keeps the worst case logarithmic.
template <class Key>
std::size_t gallop(std::size_t n, std::size_t guess, u128 stamp, const Key& key) noexcept {
  // The answer lies in [lo, hi].
  std::size_t lo = 0;
  std::size_t hi = n;
  if (n == 0) return 0;
  if (guess >= n) guess = n - 1;
  if (key(guess) < stamp) {
    lo = guess + 1;
    for (std::size_t step = 1; guess + step < n; step *= 2) {
      if (key(guess + step) >= stamp) {
        hi = guess + step;
        break;
      }
      lo = guess + step + 1;
    }
  } else {
    hi = guess;
    for (std::size_t step = 1; step <= guess; step *= 2) {
      if (key(guess - step) < stamp) {
        lo = guess - step + 1;
        break;
      }
      hi = guess - step;
    }
  }
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (key(mid) < stamp) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// Where `stamp` falls between first_ns and last_ns, scaled to [0, scale] and rounded up:
// histories are mostly sampled at a steady rate, so this is usually exact, and costs one
// or two probes where a bisection of a long history would miss the cache at every step.
std::size_t interpolate_position(u128 stamp, u128 first_ns, u128 last_ns,
                                 std::size_t scale) noexcept {
  if (stamp <= first_ns) return 0;
  if (stamp >= last_ns) return scale;
  const u128 span = last_ns - first_ns;
  if (span >> 64 != 0) return scale / 2;
  const double ratio = static_cast<double>(static_cast<std::uint64_t>(stamp - first_ns)) /
                       static_cast<double>(static_cast<std::uint64_t>(span));
  const double position = ratio * static_cast<double>(scale);
  auto index = static_cast<std::size_t>(position);
  if (static_cast<double>(index) < position) ++index;  // a stamp on a sample lands on it
  return std::min(index, scale);
}

}  // namespace

SampleStore::Block SampleStore::allocate(std::size_t capacity, std::size_t begin) {
  return Block{0,
               std::unique_ptr<Sample, FreeSamples>(
                   static_cast<Sample*>(::operator new(capacity * sizeof(Sample)))),
               static_cast<std::uint16_t>(begin), 0, static_cast<std::uint16_t>(capacity)};
}

const Sample& SampleStore::operator[](std::size_t i) const noexcept {
  std::size_t b = 0;
  while (i >= block(b).count) i -= block(b++).count;
  return block(b).at(i);
}

SampleStore::Position SampleStore::guess(u128 stamp_ns) const noexcept {
  // The sample's place in the whole store gives its block and its place in it, exactly
  // for blocks filled in order (full but for the first and the last), roughly otherwise.
  const std::size_t index =
      interpolate_position(stamp_ns, block(0).first, back().stamp_ns(), size_ - 1);
  const std::size_t head = block(0).count;
  if (index < head) return {0, index};
  const std::size_t b = std::min(1 + (index - head) / BLOCK, blocks() - 1);
  return {b, std::min<std::size_t>((index - head) % BLOCK, block(b).count - 1u)};
}

SampleStore::Position SampleStore::locate(u128 stamp_ns) const noexcept {
  const std::size_t n = blocks();
  const auto first_of = [this](std::size_t i) { return block(i).first; };
  const Position at = guess(stamp_ns);
  // Block b is the one to search when it starts below the stamp and the next does not.
  std::size_t b = at.block;
  std::size_t k = at.index;
  if (!(first_of(b) < stamp_ns && (b + 1 == n || first_of(b + 1) >= stamp_ns))) {
    const std::size_t j = gallop(n, b, stamp_ns, first_of);
    if (j == 0) return {0, 0};
    b = j - 1;
    k = block(b).count / 2;
  }
  const Block& found = block(b);
  return {b, gallop(found.count, k, stamp_ns,
                    [&found](std::size_t i) { return found.at(i).stamp_ns(); })};
}

SampleStore::Around SampleStore::around(u128 stamp_ns) const noexcept {
  if (size_ == 0) return {nullptr, nullptr};
  const Position p = locate(stamp_ns);
  const Block& b = block(p.block);
  const Sample* after = p.index < b.count        ? &b.at(p.index)
                        : p.block + 1 < blocks() ? &block(p.block + 1).at(0)
                                                 : nullptr;
  return {p.index == 0 ? nullptr : &b.at(p.index - 1), after};
}

void SampleStore::place(std::size_t b, std::size_t at, const Sample& sample) noexcept {
  Block& block = this->block(b);
  Sample* data = block.data.get();
  if (block.begin + block.count < block.capacity) {
    // Room behind: the later samples move back by one.
    std::memmove(static_cast<void*>(data + block.begin + at + 1), data + block.begin + at,
                 (block.count - at) * sizeof(Sample));
  } else {
    // Room in front only: the earlier samples move forward by one.
    std::memmove(static_cast<void*>(data + block.begin - 1), data + block.begin, at * sizeof(Sample));
    --block.begin;
  }
  ::new (static_cast<void*>(data + block.begin + at)) Sample(sample);
  ++block.count;
  block.first = block.at(0).stamp_ns();
  ++size_;
}

void SampleStore::insert(const Sample& sample) {
  const u128 stamp = sample.stamp_ns();
  if (size_ == 0) {
    blocks_.clear();
    first_ = 0;
    blocks_.push_back(allocate(1, 0));
    place(0, 0, sample);
    return;
  }
  const std::size_t n = blocks();
  std::size_t b = n - 1;
  std::size_t at = block(b).count;
  if (back().stamp_ns() >= stamp) {
    const Position p = locate(stamp);
    b = p.block;
    at = p.index;
    Sample* after = at < block(b).count ? &block(b).at(at)
                    : b + 1 < n         ? &block(b + 1).at(0)
                                        : nullptr;
    if (after != nullptr && after->stamp_ns() == stamp) {
      *after = sample;  // the newer insert wins
      return;
    }
  }
  Block& target = block(b);
  if (target.count < target.capacity) {
    place(b, at, sample);
    return;
  }
  if (target.capacity < BLOCK) {
    // The single small block doubles; its samples move to the front of the new one.
    Block grown = allocate(std::min(BLOCK, 2 * std::size_t{target.capacity}), 0);
    std::memcpy(static_cast<void*>(grown.data.get()), &target.at(0), target.count * sizeof(Sample));
    grown.count = target.count;
    grown.first = target.first;
    target = std::move(grown);
    place(b, at, sample);
    return;
  }
  if (at == target.count && b + 1 == n) {
    blocks_.push_back(allocate(BLOCK, 0));  // appending: a new block at the back
    place(n, 0, sample);
    return;
  }
  if (at == 0 && b == 0) {
    // Before every sample: a new block in front, filled from its end, so that a history
    // replayed backwards adds each sample in O(1) as well.
    Block front = allocate(BLOCK, BLOCK);
    if (first_ == 0) {
      // Free entries in front, as many as there are blocks: O(1) amortised per block.
      std::vector<Block> grown(blocks_.size());
      grown.reserve(2 * blocks_.size());
      std::move(blocks_.begin(), blocks_.end(), std::back_inserter(grown));
      first_ = blocks_.size();
      blocks_ = std::move(grown);
    }
    blocks_[--first_] = std::move(front);
    place(0, 0, sample);
    return;
  }
  // A full block in the middle splits in halves, and the sample joins its half. Everything
  // that can throw comes first.
  Block upper = allocate(BLOCK, 0);
  blocks_.reserve(blocks_.size() + 1);
  Block& full = block(b);
  const std::size_t half = full.count / 2;
  upper.count = static_cast<std::uint16_t>(full.count - half);
  std::memcpy(static_cast<void*>(upper.data.get()), &full.at(half), upper.count * sizeof(Sample));
  upper.first = upper.data.get()[0].stamp_ns();
  full.count = static_cast<std::uint16_t>(half);
  blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(first_ + b + 1), std::move(upper));
  if (at <= half) {
    place(b, at, sample);
  } else {
    place(b + 1, at - half, sample);
  }
}

void SampleStore::drop_before(u128 stamp_ns) noexcept {
  while (size_ > 0 && block(0).first < stamp_ns) {
    Block& front = block(0);
    const std::size_t k = gallop(front.count, 0, stamp_ns,
                                 [&front](std::size_t i) { return front.at(i).stamp_ns(); });
    size_ -= k;
    if (k < front.count) {
      front.begin = static_cast<std::uint16_t>(front.begin + k);
      front.count = static_cast<std::uint16_t>(front.count - k);
      front.first = front.at(0).stamp_ns();
      break;
    }
    front.data.reset();
    ++first_;
    if (first_ == blocks_.size()) {
      blocks_.clear();
      first_ = 0;
    }
  }
  // Drop the emptied block entries once they are half of the list: amortised O(1).
  if (first_ > 0 && 2 * first_ >= blocks_.size()) {
    blocks_.erase(blocks_.begin(), blocks_.begin() + static_cast<std::ptrdiff_t>(first_));
    first_ = 0;
  }
}

Result<void, BufferError> Buffer::insert(geometry::Transform transform) {
  if (Result<void, geometry::TransformError> valid = geometry::validate(transform); !valid) {
    return Unexpected{BufferError{buffer_error::TransformFailure{std::move(valid).error()}}};
  }
  if (transform.parent == transform.child) {
    return Unexpected{BufferError{buffer_error::SelfParent{}}};
  }
  if (parent_ && *parent_ != transform.parent) {
    return Unexpected{BufferError{buffer_error::Reparenting{*parent_}}};
  }
  if (child_ && *child_ != transform.child) {
    return Unexpected{BufferError{buffer_error::ChildMismatch{*child_}}};
  }
  const bool is_static = transform.timestamp.is_zero();
  if (!entries_.empty() && is_static != is_static_) {
    return Unexpected{BufferError{buffer_error::MixedStaticDynamic{}}};
  }
  // Every check has passed: from here the insert cannot be refused.
  if (!parent_) parent_ = std::move(transform.parent);
  if (!child_) child_ = std::move(transform.child);
  if (entries_.empty()) is_static_ = is_static;

  const geometry::Vector3& t = transform.translation;
  if (!(std::fabs(t.x) <= TRANSLATION_BOUND && std::fabs(t.y) <= TRANSLATION_BOUND &&
        std::fabs(t.z) <= TRANSLATION_BOUND)) {
    bounded_ = false;
  }
  const Sample sample = to_sample(transform);
  const u128 stamp_ns = sample.stamp_ns();
  if (!is_static_ && newest_ && *newest_ > transform.timestamp && max_age_) {
    // Older than the window: expiry would drop it at once, so it is not stored at all.
    const Result<time::Timestamp, time::TimeError> cutoff = newest_->checked_sub(*max_age_);
    if (cutoff && stamp_ns < cutoff->ns()) return {};
  }
  entries_.insert(sample);
  if (is_static_) return {};
  if (!newest_ || *newest_ < transform.timestamp) newest_ = transform.timestamp;
  delete_expired();
  return {};
}

void Buffer::delete_expired() noexcept {
  if (!max_age_ || !newest_) return;
  const Result<time::Timestamp, time::TimeError> cutoff = newest_->checked_sub(*max_age_);
  if (!cutoff) return;  // the window reaches back past zero: nothing is old enough
  // The cutoff itself stays; only entries strictly older go, and they form a prefix.
  entries_.drop_before(cutoff->ns());
}

bool Buffer::locate(time::Timestamp time, const Sample*& exact,
                    SampleStore::Around& near) const noexcept {
  if (entries_.empty()) return false;
  // A static link is valid at every time and keeps its stamp zero.
  if (is_static_) {
    exact = &entries_.front();
    return true;
  }
  near = entries_.around(time.ns());
  if (near.after != nullptr && near.after->stamp_ns() == time.ns()) {
    exact = near.after;
    return true;
  }
  exact = nullptr;
  return near.before != nullptr && near.after != nullptr;
}

Result<Link, BufferError> Buffer::sample(time::Timestamp time) const {
  if (entries_.empty()) return Unexpected{BufferError{buffer_error::Empty{}}};
  const Sample* exact = nullptr;
  SampleStore::Around near{};
  if (!locate(time, exact, near)) {
    return Unexpected{BufferError{buffer_error::TransformFailure{
        out_of_range(time.ns(), entries_.front().stamp_ns(), entries_.back().stamp_ns())}}};
  }
  if (exact != nullptr) return to_link(*exact, *parent_, *child_);
  Result<Link, geometry::TransformError> link =
      interpolate(*near.before, *near.after, time, *parent_, *child_);
  if (!link) {
    return Unexpected{BufferError{buffer_error::TransformFailure{std::move(link).error()}}};
  }
  return *link;
}

bool Buffer::sample_pose(time::Timestamp time, Pose& out) const noexcept {
  const Sample* exact = nullptr;
  SampleStore::Around near{};
  if (!locate(time, exact, near)) return false;
  if (exact != nullptr) {
    out = {exact->translation, exact->rotation};
    return true;
  }
  return Segment(*near.before, *near.after).pose_at(time.ns(), out);
}

namespace {

// The segment a cursor answers `time` from without a search: a stamp above its earlier
// sample and not above its later one is what the search would find between them (they
// are neighbours, the later the first not below it).
bool in_segment(const std::optional<Segment>& segment, u128 ns) noexcept {
  return segment && segment->earlier().stamp_ns() < ns && ns <= segment->later().stamp_ns();
}

}  // namespace

Result<Link, BufferError> Buffer::sample(time::Timestamp time, SampleCursor& cursor) const {
  if (!in_segment(cursor.segment_, time.ns())) {
    const Sample* exact = nullptr;
    SampleStore::Around near{};
    if (!locate(time, exact, near)) return sample(time);  // for its error
    if (exact != nullptr) return to_link(*exact, *parent_, *child_);
    cursor.segment_.emplace(*near.before, *near.after);
  }
  const Segment& segment = *cursor.segment_;
  if (time.ns() == segment.later().stamp_ns()) return to_link(segment.later(), *parent_, *child_);
  Result<Link, geometry::TransformError> link = segment.at(time, *parent_, *child_);
  if (!link) {
    return Unexpected{BufferError{buffer_error::TransformFailure{std::move(link).error()}}};
  }
  return *link;
}

bool Buffer::sample_pose(time::Timestamp time, SampleCursor& cursor, Pose& out) const noexcept {
  if (!in_segment(cursor.segment_, time.ns())) {
    const Sample* exact = nullptr;
    SampleStore::Around near{};
    if (!locate(time, exact, near)) return false;
    if (exact != nullptr) {
      out = {exact->translation, exact->rotation};
      return true;
    }
    cursor.segment_.emplace(*near.before, *near.after);
  }
  const Segment& segment = *cursor.segment_;
  if (time.ns() == segment.later().stamp_ns()) {
    out = {segment.later().translation, segment.later().rotation};
    return true;
  }
  return segment.pose_at(time.ns(), out);
}

SampleCheck Buffer::check(time::Timestamp time) const noexcept {
  // The same search as sample(). Past it, interpolation can fail only where it converts a
  // span too long for 64 bits of nanoseconds; its results are unit within a few 1e-6 and
  // no larger than the samples it blends.
  if (entries_.empty()) return SampleCheck::Missing;
  if (!bounded_) return SampleCheck::Unsure;
  const Sample* exact = nullptr;
  SampleStore::Around near{};
  if (!locate(time, exact, near)) return SampleCheck::Missing;
  if (exact != nullptr) return SampleCheck::Found;
  const u128 span = near.after->stamp_ns() - near.before->stamp_ns();
  return span >> 64 == 0 ? SampleCheck::Found : SampleCheck::Unsure;
}

// g++ 12 at -O2 takes the string alternatives of the moved error for uninitialised once
// it inlines the variant's move (a false -Wmaybe-uninitialized).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
Result<geometry::Transform, BufferError> Buffer::get(time::Timestamp time) const {
  Result<Link, BufferError> link = sample(time);
  if (!link) return Unexpected{std::move(link).error()};
  return to_transform(*link);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace frames::core
