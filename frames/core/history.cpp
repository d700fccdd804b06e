#include "frames/core/history.hpp"

#include <algorithm>
#include <cstring>
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

Result<Link, geometry::TransformError> interpolate(const Sample& earlier, const Sample& later,
                                                   time::Timestamp time, std::string_view parent,
                                                   std::string_view child) noexcept {
  const u128 earlier_ns = earlier.stamp_ns();
  const u128 later_ns = later.stamp_ns();
  if (later_ns < earlier_ns) {
    return Unexpected{geometry::TransformError{
        te::TimestampMismatch{earlier.stamp().to_seconds(), later.stamp().to_seconds()}}};
  }
  if (time.ns() < earlier_ns || time.ns() > later_ns) {
    return Unexpected{out_of_range(time.ns(), earlier_ns, later_ns)};
  }
  const Result<time::Duration, time::TimeError> span = span_between(later_ns, earlier_ns);
  if (!span) return Unexpected{geometry::TransformError{te::TimeFailure{span.error()}}};
  if (*span == time::Duration{}) return to_link(earlier, parent, child);
  const Result<time::Duration, time::TimeError> offset = span_between(time.ns(), earlier_ns);
  if (!offset) return Unexpected{geometry::TransformError{te::TimeFailure{offset.error()}}};
  const double r = offset->as_seconds() / span->as_seconds();
  const geometry::Vector3& a = earlier.translation;
  const geometry::Vector3& b = later.translation;
  return Link{{a.x * (1.0 - r) + b.x * r, a.y * (1.0 - r) + b.y * r, a.z * (1.0 - r) + b.z * r},
              geometry::slerp(earlier.rotation, later.rotation, r),
              time,
              parent,
              child};
}

SampleStore::Block SampleStore::allocate(std::size_t capacity) {
  return Block(static_cast<Sample*>(::operator new(capacity * sizeof(Sample))));
}

std::size_t SampleStore::guess(u128 stamp_ns) const noexcept {
  // Histories are mostly sampled at a steady rate, so the position found by linear
  // interpolation of the stamps is usually exact: it costs one or two probes where a
  // bisection of a long history would miss the cache at every step.
  const std::size_t last = size_ - 1;
  const u128 first_ns = (*this)[0].stamp_ns();
  const u128 last_ns = (*this)[last].stamp_ns();
  if (stamp_ns <= first_ns) return 1;
  if (stamp_ns > last_ns) return last - 1;
  const u128 span = last_ns - first_ns;
  if (span >> 64 != 0) return size_ / 2;
  const double ratio = static_cast<double>(static_cast<std::uint64_t>(stamp_ns - first_ns)) /
                       static_cast<double>(static_cast<std::uint64_t>(span));
  const double position = ratio * static_cast<double>(last);
  auto index = static_cast<std::size_t>(position);
  if (static_cast<double>(index) < position) ++index;  // ceiling: a stamp on a sample lands on it
  return std::clamp<std::size_t>(index, 1, last - 1);
}

std::size_t SampleStore::prefetch(u128 stamp_ns) const noexcept {
  if (size_ < 3) return 0;
  const std::size_t index = guess(stamp_ns);
  // The two neighbours span up to three cache lines.
  const auto* earlier = reinterpret_cast<const char*>(&(*this)[index - 1]);
  const auto* later = reinterpret_cast<const char*>(&(*this)[index]);
  __builtin_prefetch(earlier);
  __builtin_prefetch(earlier + sizeof(Sample) - 1);
  __builtin_prefetch(later + sizeof(Sample) - 1);
  return index;
}

std::size_t SampleStore::lower_bound(u128 stamp_ns, std::size_t hint) const noexcept {
  if (size_ == 0 || (*this)[0].stamp_ns() >= stamp_ns) return 0;
  const std::size_t last = size_ - 1;
  if ((*this)[last].stamp_ns() < stamp_ns) return size_;
  // From here stamp(lo) < stamp_ns <= stamp(hi); the answer is hi once they touch.
  std::size_t lo = 0;
  std::size_t hi = last;
  if (hi - lo <= 1) return hi;
  // Galloping out from the guess keeps the worst case logarithmic.
  const std::size_t guess = hint != 0 ? hint : this->guess(stamp_ns);
  if ((*this)[guess].stamp_ns() < stamp_ns) {
    lo = guess;
    for (std::size_t step = 1; hi - lo > step; step *= 2) {
      const std::size_t probe = lo + step;
      if ((*this)[probe].stamp_ns() >= stamp_ns) {
        hi = probe;
        break;
      }
      lo = probe;
    }
  } else {
    hi = guess;
    for (std::size_t step = 1; hi - lo > step; step *= 2) {
      const std::size_t probe = hi - step;
      if ((*this)[probe].stamp_ns() < stamp_ns) {
        lo = probe;
        break;
      }
      hi = probe;
    }
  }
  while (hi - lo > 1) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if ((*this)[mid].stamp_ns() < stamp_ns) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return hi;
}

void SampleStore::push_back(const Sample& sample) {
  if (size_ == 0) {
    blocks_.clear();
    blocks_.push_back(allocate(1));
    first_ = 0;
    head_ = 0;
    capacity_ = 1;
  } else if (capacity_ < BLOCK) {
    if (head_ + size_ == capacity_) {
      // Grow the single small block by doubling (dropping any free space at its front).
      const std::size_t capacity = std::min(BLOCK, 2 * size_);
      Block grown = allocate(capacity);
      std::memcpy(static_cast<void*>(grown.get()), &slot(head_), size_ * sizeof(Sample));
      blocks_[first_] = std::move(grown);
      head_ = 0;
      capacity_ = capacity;
    }
  } else if (head_ + size_ == (blocks_.size() - first_) * BLOCK) {
    blocks_.push_back(allocate(BLOCK));
  }
  ::new (static_cast<void*>(&slot(head_ + size_))) Sample(sample);
  ++size_;
}

void SampleStore::insert(std::size_t index, const Sample& sample) {
  if (index >= size_) {
    push_back(sample);
    return;
  }
  const Sample last = back();  // copied: push_back may move the samples
  push_back(last);
  for (std::size_t i = size_ - 2; i > index; --i) (*this)[i] = (*this)[i - 1];
  (*this)[index] = sample;
}

void SampleStore::pop_front(std::size_t count) noexcept {
  count = std::min(count, size_);
  head_ += count;
  size_ -= count;
  if (size_ == 0) {
    blocks_.clear();
    first_ = head_ = capacity_ = 0;
    return;
  }
  while (head_ >= BLOCK) {
    blocks_[first_].reset();
    ++first_;
    head_ -= BLOCK;
  }
  // Drop the emptied block pointers once they are half of the list: amortised O(1).
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

  const Sample sample = to_sample(transform);
  const u128 stamp_ns = sample.stamp_ns();
  if (!is_static_ && newest_ && *newest_ > transform.timestamp && max_age_) {
    // Older than the window: expiry would drop it at once, so spare the other samples the
    // shift that storing it first would cost.
    const Result<time::Timestamp, time::TimeError> cutoff = newest_->checked_sub(*max_age_);
    if (cutoff && stamp_ns < cutoff->ns()) return {};
  }
  if (entries_.empty() || entries_.back().stamp_ns() < stamp_ns) {
    entries_.push_back(sample);
  } else {
    const std::size_t at = entries_.lower_bound(stamp_ns);
    if (entries_[at].stamp_ns() == stamp_ns) {
      entries_[at] = sample;  // the newer insert wins
    } else {
      entries_.insert(at, sample);
    }
  }
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
  if (entries_.empty() || entries_[0].stamp_ns() >= cutoff->ns()) return;
  entries_.pop_front(entries_.lower_bound(cutoff->ns()));
}

Result<Link, BufferError> Buffer::sample(time::Timestamp time, std::size_t hint) const {
  if (entries_.empty()) return Unexpected{BufferError{buffer_error::Empty{}}};
  const std::string_view parent = *parent_;
  const std::string_view child = *child_;
  // A static link is valid at every time and keeps its stamp zero.
  if (is_static_) return to_link(entries_[0], parent, child);
  const std::size_t after = entries_.lower_bound(time.ns(), hint);
  if (after < entries_.size() && entries_[after].stamp_ns() == time.ns()) {
    return to_link(entries_[after], parent, child);
  }
  if (after == 0 || after == entries_.size()) {
    return Unexpected{BufferError{buffer_error::TransformFailure{
        out_of_range(time.ns(), entries_[0].stamp_ns(), entries_.back().stamp_ns())}}};
  }
  Result<Link, geometry::TransformError> link =
      interpolate(entries_[after - 1], entries_[after], time, parent, child);
  if (!link) {
    return Unexpected{BufferError{buffer_error::TransformFailure{std::move(link).error()}}};
  }
  return *link;
}

Result<geometry::Transform, BufferError> Buffer::get(time::Timestamp time) const {
  Result<Link, BufferError> link = sample(time);
  if (!link) return Unexpected{std::move(link).error()};
  return to_transform(*link);
}

}  // namespace frames::core
