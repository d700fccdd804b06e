#pragma once

// The history of one child frame: every transform from its single parent, keyed by stamp.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "frames/core/link.hpp"
#include "frames/geometry/transform.hpp"
#include "frames/result.hpp"
#include "frames/time/timestamp.hpp"

namespace frames::core {

namespace buffer_error {
struct Empty {};
struct MixedStaticDynamic {};
struct SelfParent {};
struct Reparenting { std::string parent; };  // the parent already stored
struct ChildMismatch { std::string child; };  // the child already stored
struct Cycle {};
struct TransformFailure { geometry::TransformError error; };
}  // namespace buffer_error

struct BufferError {
  std::variant<buffer_error::Empty, buffer_error::MixedStaticDynamic, buffer_error::SelfParent,
               buffer_error::Reparenting, buffer_error::ChildMismatch, buffer_error::Cycle,
               buffer_error::TransformFailure>
      kind;
};

std::string to_string(const BufferError& error);
void append_to(std::string& out, const BufferError& error);

// One stored entry of a history, without names (the history holds them once). The stamp
// is kept as two 64-bit halves: a 128-bit member would make the record 16-aligned and pad
// it from 72 to 80 bytes.
struct Sample {
  std::uint64_t stamp_low;
  std::uint64_t stamp_high;
  geometry::Vector3 translation;
  geometry::Quaternion rotation;

  time::u128 stamp_ns() const noexcept { return (time::u128{stamp_high} << 64) | stamp_low; }
  time::Timestamp stamp() const noexcept { return time::Timestamp{stamp_ns()}; }
};

// A link's rigid motion alone, without names or stamp: what a lookup samples and composes.
struct Pose {
  geometry::Vector3 translation;
  geometry::Quaternion rotation;
};

// The link between two neighbouring samples of one history at `time` (earlier <= time <=
// later): what geometry::interpolate computes for the equivalent Transforms, bit for bit.
Result<Link, geometry::TransformError> interpolate(const Sample& earlier, const Sample& later,
                                                   time::Timestamp time, std::string_view parent,
                                                   std::string_view child) noexcept;

// interpolate in two steps: what depends only on the two samples, worked out once, then
// the link at a time; interpolate(e, l, time, ...) is Segment(e, l).at(time, ...) operation
// for operation, so a segment serves many stamps between the same samples.
class Segment {
 public:
  Segment(const Sample& earlier, const Sample& later) noexcept;
  Result<Link, geometry::TransformError> at(time::Timestamp time, std::string_view parent,
                                            std::string_view child) const noexcept;
  // Whether at(time) succeeds; if so, its motion goes to `out`. The same checks and
  // arithmetic, without the link or its error.
  bool pose_at(time::u128 time_ns, Pose& out) const noexcept;
  const Sample& earlier() const noexcept { return *earlier_; }
  const Sample& later() const noexcept { return *later_; }

 private:
  const Sample* earlier_;
  const Sample* later_;
  Result<time::Duration, time::TimeError> span_;
  double span_seconds_;
  geometry::SlerpArc arc_;
};

// The samples a history's last sample(time, cursor) interpolated between: a stamp between
// the same two is answered from them without a search. Valid while the history is
// unchanged.
class SampleCursor {
 private:
  friend class Buffer;
  std::optional<Segment> segment_;
};

// What a history can say about sample(time) from its search alone, without interpolating.
enum class SampleCheck : std::uint8_t {
  Found,    // sampling succeeds, and its link is within the bounds a lookup relies on
  Missing,  // sampling fails
  Unsure,   // only sampling can tell (a span of 2^64 ns or more), or the history holds a
            // translation beyond TRANSLATION_BOUND
};

// Translations up to this magnitude cannot overflow however a lookup of up to
// Registry::CERTAIN_LINKS links composes them: rotating by a quaternion q scales a vector
// by |q|^2, a link's rotation is unit within a few 1e-6, and the product of 2^21 of them
// stays within e^±7 of unit length, so the sum of the links' translations stays below
// 2^560.
inline constexpr double TRANSLATION_BOUND = 0x1p512;

// Samples in ascending stamp order, in blocks of up to BLOCK samples listed by their first
// stamps. Appending at the back, adding before the front and dropping from the front are
// O(1) amortised and never move other samples; a sample stored between two others shifts
// at most one block, splitting it when full (which shifts the list of blocks, 64 times
// shorter than the history), so replaying a history in any order stays near-linear. A history of one or a few samples (every static link) lives in a single
// small block that doubles up to the full size.
class SampleStore {
 public:
  static constexpr std::size_t BLOCK = 64;

  // The samples either side of a stamp: `after` the first not below it and `before` the
  // one preceding that; null where there is none.
  struct Around {
    const Sample* before;
    const Sample* after;
  };

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const Sample& front() const noexcept { return blocks_[first_].at(0); }
  const Sample& back() const noexcept { return blocks_.back().at(blocks_.back().count - 1); }
  // Sample i in stamp order, found by walking the blocks: for inspection, not lookups.
  const Sample& operator[](std::size_t i) const noexcept;

  Around around(time::u128 stamp_ns) const noexcept;
  // Stores the sample in stamp order; one with the same stamp is replaced.
  void insert(const Sample& sample);
  // Drops every sample stamped below stamp_ns.
  void drop_before(time::u128 stamp_ns) noexcept;

 private:
  struct FreeSamples {
    void operator()(Sample* samples) const noexcept { ::operator delete(samples); }
  };
  // Samples data[begin, begin + count) of a block of `capacity`; `first` is the stamp of
  // the first of them, kept here so that finding a block reads only this list.
  struct Block {
    time::u128 first;
    std::unique_ptr<Sample, FreeSamples> data;
    std::uint16_t begin;
    std::uint16_t count;
    std::uint16_t capacity;

    const Sample& at(std::size_t i) const noexcept { return data.get()[begin + i]; }
    Sample& at(std::size_t i) noexcept { return data.get()[begin + i]; }
  };

  // Sample `index` of block `block`; index may be the block's count, for the sample that
  // starts the next block.
  struct Position {
    std::size_t block;
    std::size_t index;
  };

  static Block allocate(std::size_t capacity, std::size_t begin);
  // Where the first sample stamped not below stamp_ns is; {0, 0} when every one is.
  Position locate(time::u128 stamp_ns) const noexcept;
  std::size_t blocks() const noexcept { return blocks_.size() - first_; }
  const Block& block(std::size_t i) const noexcept { return blocks_[first_ + i]; }
  Block& block(std::size_t i) noexcept { return blocks_[first_ + i]; }
  // Where the first sample stamped not below stamp_ns probably is.
  Position guess(time::u128 stamp_ns) const noexcept;
  // Puts the sample at position `at` of block b, which has room.
  void place(std::size_t b, std::size_t at, const Sample& sample) noexcept;

  std::vector<Block> blocks_;
  std::size_t first_ = 0;  // blocks_[0, first_) are emptied blocks not yet erased
  std::size_t size_ = 0;
};

// One child frame's history. The first successful insert fixes the parent and child names
// and whether the link is static (one entry, stamp zero) or dynamic (entries at non-zero
// stamps, trimmed to max_age behind the newest stamp ever inserted). A refused insert
// changes nothing.
class Buffer {
 public:
  explicit Buffer(std::optional<time::Duration> max_age) noexcept : max_age_(max_age) {}

  // Validation, then names (SelfParent, Reparenting, ChildMismatch), then the static or
  // dynamic kind; an equal stamp replaces; then expiry.
  Result<void, BufferError> insert(geometry::Transform transform);
  // The stored transform of a static link at any time; for a dynamic one an exact hit or
  // the interpolation between the neighbours of `time`.
  Result<geometry::Transform, BufferError> get(time::Timestamp time) const;
  // get without copying the names: the link borrows them from this buffer.
  Result<Link, BufferError> sample(time::Timestamp time) const;
  // sample(time), bit for bit, starting from where the cursor's last call ended.
  Result<Link, BufferError> sample(time::Timestamp time, SampleCursor& cursor) const;
  // Whether sample(time) succeeds; if so, its motion goes to `out`. One search, no link
  // and no error built: a lookup asks sample(time) for the error only to report it.
  bool sample_pose(time::Timestamp time, Pose& out) const noexcept;
  // sample_pose from where the cursor's last call ended.
  bool sample_pose(time::Timestamp time, SampleCursor& cursor, Pose& out) const noexcept;
  // Whether sample(time) would succeed, without computing it.
  SampleCheck check(time::Timestamp time) const noexcept;

  const std::optional<std::string>& parent() const noexcept { return parent_; }
  const std::optional<std::string>& child() const noexcept { return child_; }
  bool is_static() const noexcept { return is_static_; }
  std::size_t size() const noexcept { return entries_.size(); }
  const SampleStore& entries() const noexcept { return entries_; }
  std::optional<time::Timestamp> newest() const noexcept { return newest_; }

 private:
  void delete_expired() noexcept;
  // The search of sample(time): a static link's entry, a sample stamped `time`, or the
  // two around it; `exact` is null when interpolation is needed. False when out of range.
  bool locate(time::Timestamp time, const Sample*& exact, SampleStore::Around& near) const noexcept;

  std::optional<std::string> parent_;
  std::optional<std::string> child_;
  std::optional<time::Duration> max_age_;
  std::optional<time::Timestamp> newest_;
  bool is_static_ = false;
  // No translation component ever stored here exceeded TRANSLATION_BOUND in magnitude.
  bool bounded_ = true;
  SampleStore entries_;
};

}  // namespace frames::core
