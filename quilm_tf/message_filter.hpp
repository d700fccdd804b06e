#pragma once

// The waiting room for stamped messages: each one is held, in arrival order, until the
// transform buffer can transform from its frame to every target frame at its stamp.
//
// Invariants: the queue is in arrival order and never re-sorted; every queued frame is a
// normalised name; after add or enforce_queue_size the queue holds at most queue_size
// entries (0 means unbounded). Stamps and tolerance are nanoseconds.
//
// The payload is opaque and may be move-only. Every payload that leaves the filter
// (released, rejected, evicted, taken) is moved out and returned by value, so an owner
// holding a lock can release payloads after unlocking; the filter itself runs no payload
// code except destroying moved-from husks. Not synchronised: the caller serialises access
// and, for drain_ready, holds the buffer's read lock.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <ranges>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "frames/result.hpp"
#include "frames/time/timestamp.hpp"
#include "quilm_tf/buffer.hpp"

namespace quilm_tf {

// Values are shared with the Python failure reasons; keep them fixed.
enum class DropReason : std::uint8_t { EmptyFrameId = 0, InvalidFrameId = 1, QueueFull = 2 };

template <class T>
struct QueuedMessage {
  // Spelled out so that emplace_back builds entries in place also where parenthesised
  // aggregate initialisation is missing (clang before 16, which the fuzzers build with).
  QueuedMessage(frames::time::Timestamp stamp_in, std::string frame_in, T&& message_in) noexcept
      : stamp(stamp_in), frame(std::move(frame_in)), message(std::move(message_in)) {}

  frames::time::Timestamp stamp;
  std::string frame;  // normalised
  T message;
};

template <class T>
struct DroppedMessage {
  T message;
  DropReason reason;
};

template <class T>
class MessageFilter {
  // Moves out of the queue must not fail halfway, or a payload would be lost.
  static_assert(std::is_nothrow_move_constructible_v<T>);

 public:
  explicit MessageFilter(std::size_t queue_size) noexcept : queue_size_(queue_size) {}

  // Queues the message, or hands it straight back when its frame name is unusable. Also
  // returns the oldest messages evicted by the bound; the new one is appended first, so it
  // is never the one evicted. On an exception (allocation) `message` is left untouched.
  [[nodiscard]] std::vector<DroppedMessage<T>> add(T&& message, std::string_view frame,
                                                   frames::time::Timestamp stamp) {
    std::vector<DroppedMessage<T>> dropped;
    if (frame.find_first_not_of('/') == std::string_view::npos) {
      dropped.reserve(1);
      dropped.push_back({std::move(message), DropReason::EmptyFrameId});
      return dropped;
    }
    auto normalized = normalize_frame(frame);
    if (!normalized) {
      dropped.reserve(1);
      dropped.push_back({std::move(message), DropReason::InvalidFrameId});
      return dropped;
    }
    // Reserve before appending so the eviction below cannot fail after the queue changed;
    // emplace_back allocates before it moves the payload in.
    dropped.reserve(excess(queue_.size() + 1));
    queue_.emplace_back(stamp, std::move(*normalized), std::move(message));
    evict_into(dropped);
    return dropped;
  }

  // Removes and returns, oldest first, the longest prefix of the queue whose messages are
  // transformable to every target frame. `Service` is TransformBuffer or anything with
  // its can_transform_ns.
  template <class Service>
  [[nodiscard]] std::vector<T> drain_ready(const Service& buffer) {
    // Count first, then move: the only allocation happens before any payload moves.
    std::size_t ready = 0;
    while (ready < queue_.size() && is_ready(buffer, queue_[ready])) {
      ++ready;
    }
    std::vector<T> released;
    released.reserve(ready);
    for (std::size_t i = 0; i < ready; ++i) {
      released.push_back(std::move(queue_.front().message));
      queue_.pop_front();
    }
    return released;
  }

  // Evicts from the front until the bound holds; oldest first, each QueueFull.
  [[nodiscard]] std::vector<DroppedMessage<T>> enforce_queue_size() {
    std::vector<DroppedMessage<T>> dropped;
    dropped.reserve(excess(queue_.size()));
    evict_into(dropped);
    return dropped;
  }

  // Normalises every name, then replaces the targets (order and duplicates kept). All or
  // nothing: on the first bad name, or an empty list, the current targets stay.
  template <std::ranges::input_range Names>
    requires std::convertible_to<std::ranges::range_reference_t<Names>, std::string_view>
  Result<void, TransformBufferError> set_target_frames(Names&& names) {
    std::vector<std::string> normalized;
    for (auto&& name : names) {
      auto frame = normalize_frame(std::string_view(name));
      if (!frame) {
        return Unexpected{std::move(frame).error()};
      }
      normalized.push_back(std::move(*frame));
    }
    if (normalized.empty()) {
      return Unexpected{TransformBufferError{buffer_error::InvalidFrame{{}, REASON_NO_TARGET}}};
    }
    target_frames_.swap(normalized);
    return {};
  }

  // Takes every queued payload out, oldest first, without reporting drops. An owner that
  // must not release payloads under its lock uses this instead of clear.
  [[nodiscard]] std::vector<T> take_all() {
    std::vector<T> taken;
    taken.reserve(queue_.size());
    for (auto& entry : queue_) {
      taken.push_back(std::move(entry.message));
    }
    queue_.clear();
    return taken;
  }

  // Calls visit(payload) on every queued payload, oldest first, and returns the first
  // non-zero result (0 when every call returned 0). Read-only: for an owner that must
  // enumerate the references it holds, as a garbage collector's traversal does.
  template <class Visit>
  int for_each_payload(Visit&& visit) const {
    for (const QueuedMessage<T>& entry : queue_) {
      if (const int result = visit(entry.message); result != 0) {
        return result;
      }
    }
    return 0;
  }

  // Discards every queued payload, destroying it here.
  void clear() noexcept { queue_.clear(); }

  std::size_t pending_count() const noexcept { return queue_.size(); }
  std::size_t queue_size() const noexcept { return queue_size_; }
  // Stores the bound only; the caller runs enforce_queue_size and delivers its drops.
  void set_queue_size(std::size_t queue_size) noexcept { queue_size_ = queue_size; }
  frames::time::u128 tolerance_ns() const noexcept { return tolerance_ns_; }
  // Stored unchecked; the caller validates the range.
  void set_tolerance_ns(frames::time::u128 tolerance_ns) noexcept { tolerance_ns_ = tolerance_ns; }
  std::vector<std::string> target_frames() const { return target_frames_; }

 private:
  std::size_t excess(std::size_t length) const noexcept {
    return queue_size_ != 0 && length > queue_size_ ? length - queue_size_ : 0;
  }

  // `dropped` has room for every eviction, so nothing here allocates or throws.
  void evict_into(std::vector<DroppedMessage<T>>& dropped) noexcept {
    for (std::size_t n = excess(queue_.size()); n > 0; --n) {
      dropped.push_back({std::move(queue_.front().message), DropReason::QueueFull});
      queue_.pop_front();
    }
  }

  // Two lookups per target when a tolerance is set: the stamp and the instant tolerance_ns
  // later. Targets are asked in order and the first failure decides.
  template <class Service>
  bool is_ready(const Service& buffer, const QueuedMessage<T>& entry) const {
    const frames::time::u128 stamp_ns = entry.stamp.ns();
    // A look-ahead past the end of 128-bit time can never be covered.
    const bool ahead_overflows =
        tolerance_ns_ > std::numeric_limits<frames::time::u128>::max() - stamp_ns;
    for (const std::string& target : target_frames_) {
      if (!buffer.can_transform_ns(entry.frame, target, stamp_ns)) {
        return false;
      }
      if (tolerance_ns_ != 0 &&
          (ahead_overflows ||
           !buffer.can_transform_ns(entry.frame, target, stamp_ns + tolerance_ns_))) {
        return false;
      }
    }
    return true;
  }

  std::deque<QueuedMessage<T>> queue_;
  std::vector<std::string> target_frames_;
  frames::time::u128 tolerance_ns_ = 0;
  std::size_t queue_size_;
};

}  // namespace quilm_tf
