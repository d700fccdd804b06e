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

// The link between two neighbouring samples of one history at `time` (earlier <= time <=
// later): what geometry::interpolate computes for the equivalent Transforms, bit for bit.
Result<Link, geometry::TransformError> interpolate(const Sample& earlier, const Sample& later,
                                                   time::Timestamp time, std::string_view parent,
                                                   std::string_view child) noexcept;

// Samples in ascending stamp order, in fixed-size blocks: appending at the back and
// dropping from the front are O(1) and never move other samples, and the unused space is
// at most one block at either end. A history of one or a few samples (every static link)
// lives in a single small block that doubles up to the full size.
class SampleStore {
 public:
  static constexpr std::size_t BLOCK = 64;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const Sample& operator[](std::size_t i) const noexcept { return slot(head_ + i); }
  Sample& operator[](std::size_t i) noexcept { return slot(head_ + i); }
  const Sample& back() const noexcept { return (*this)[size_ - 1]; }

  // The first index whose stamp is not below `stamp_ns` (size() when there is none).
  // `hint`, when not zero, is what prefetch(stamp_ns) returned for the store as it is now:
  // it saves working out the starting point again, and never changes the answer.
  std::size_t lower_bound(time::u128 stamp_ns, std::size_t hint = 0) const noexcept;
  // Starts loading the samples that lower_bound(stamp_ns) will most likely read; returns
  // the hint for that lower_bound (zero: none).
  std::size_t prefetch(time::u128 stamp_ns) const noexcept;
  void push_back(const Sample& sample);
  // Inserts before `index`, shifting the later samples back by one.
  void insert(std::size_t index, const Sample& sample);
  void pop_front(std::size_t count) noexcept;

 private:
  struct FreeBlock {
    void operator()(Sample* block) const noexcept { ::operator delete(block); }
  };
  using Block = std::unique_ptr<Sample, FreeBlock>;

  static Block allocate(std::size_t capacity);
  // Where the first stamp not below stamp_ns probably is, within [1, size - 2]; size >= 3.
  std::size_t guess(time::u128 stamp_ns) const noexcept;
  Sample& slot(std::size_t pos) const noexcept {
    return blocks_[first_ + pos / BLOCK].get()[pos % BLOCK];
  }

  std::vector<Block> blocks_;
  std::size_t first_ = 0;  // index in blocks_ of the block that holds sample 0
  std::size_t head_ = 0;   // position of sample 0 in that block
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // of the only block while it is smaller than BLOCK, else BLOCK
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
  // `hint` is what prefetch(time) returned, or zero.
  Result<Link, BufferError> sample(time::Timestamp time, std::size_t hint = 0) const;
  // Starts loading what sample(time) will read, so that walks over several long
  // histories wait for memory once rather than once per link. Returns the hint for
  // sample(time).
  std::size_t prefetch(time::Timestamp time) const noexcept {
    return is_static_ ? 0 : entries_.prefetch(time.ns());
  }

  const std::optional<std::string>& parent() const noexcept { return parent_; }
  const std::optional<std::string>& child() const noexcept { return child_; }
  bool is_static() const noexcept { return is_static_; }
  std::size_t size() const noexcept { return entries_.size(); }
  const SampleStore& entries() const noexcept { return entries_; }
  std::optional<time::Timestamp> newest() const noexcept { return newest_; }

 private:
  void delete_expired() noexcept;

  std::optional<std::string> parent_;
  std::optional<std::string> child_;
  std::optional<time::Duration> max_age_;
  std::optional<time::Timestamp> newest_;
  bool is_static_ = false;
  SampleStore entries_;
};

}  // namespace frames::core
