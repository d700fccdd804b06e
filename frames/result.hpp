#pragma once

// Errors are values. g++ 12 offers std::expected only under -std=c++23 and without
// and_then/transform, so this is a small stand-in spelled the same way: switching
// later is a rename.

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace frames {

template <class E>
struct Unexpected {
  E error;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(implicit)
  template <class G>
  Result(Unexpected<G> unexpected)  // NOLINT(implicit)
      : storage_(std::in_place_index<1>, E(std::move(unexpected.error))) {}

  bool has_value() const noexcept { return storage_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return *std::get_if<0>(&storage_); }
  const T& value() const& { return *std::get_if<0>(&storage_); }
  T&& value() && { return std::move(*std::get_if<0>(&storage_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return *std::get_if<1>(&storage_); }
  const E& error() const& { return *std::get_if<1>(&storage_); }
  E&& error() && { return std::move(*std::get_if<1>(&storage_)); }

 private:
  std::variant<T, E> storage_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class G>
  Result(Unexpected<G> unexpected)  // NOLINT(implicit)
      : error_(std::in_place, E(std::move(unexpected.error))) {}

  bool has_value() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  void value() const noexcept {}
  void operator*() const noexcept {}

  E& error() & { return *error_; }
  const E& error() const& { return *error_; }
  E&& error() && { return std::move(*error_); }

 private:
  std::optional<E> error_;
};

}  // namespace frames
