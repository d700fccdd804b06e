#pragma once

// Every failure becomes a Python exception here and nowhere else. Call sites write
// `return raise(error);`: the functions set the exception and return Raised, which reads as
// nullptr in functions returning PyObject* and as -1 in those returning int.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "quilm_tf/buffer.hpp"
#include "quilm_tf/cloud.hpp"
#include "quilm_tf/frame.hpp"
#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {

struct Raised {
  operator PyObject*() const noexcept { return nullptr; }  // NOLINT(implicit)
  operator int() const noexcept { return -1; }             // NOLINT(implicit)
  // A bool result has no "raised" spelling; refuse the silent int-to-bool route.
  operator bool() const = delete;
};

// The module's exception types, process-wide, created on first use. Borrowed; nullptr
// with the creation error set if the interpreter refused to create one.
PyObject* transform_error_type();
PyObject* frame_error_type();
// The fatal type: derives from BaseException so that `except Exception` does not swallow
// a broken invariant. Not a module attribute.
PyObject* internal_error_type();

// Argument values the binding refuses itself, each a ValueError with a fixed message.
enum class Invalid : std::uint8_t {
  HistorySeconds,         // history_seconds NaN, infinite or negative
  HistoryTooLarge,        // history_seconds of 2^64 s or more: no Duration holds it
  MatrixShape,            // matrix not four rows of four
  StampRange,             // stamp or tolerance at or beyond the ROS time range
  StampSecondsNegative,   // header.stamp.sec below zero
  StampNanosecondsLarge,  // header.stamp.nanosec of a second or more
  CallbackNotCallable,
};

Raised raise(const quilm_tf::TransformBufferError& error);
Raised raise(const quilm_tf::FrameError& error);
// ValueError with the layout problem's text.
Raised raise(const quilm_tf::CloudError& error);
Raised raise(Invalid value);
// The fatal error; the text starts with `what`.
Raised raise_internal(std::string_view what);

// Conversion failures of the binding's own converters, in the interpreter's manner.
// TypeError "'{type}' object cannot be converted to '{target}'".
Raised raise_not_convertible(PyObject* object, const char* target);
// TypeError for a str where a sequence of values is wanted: a str is a sequence of strs,
// which is never what the caller meant.
Raised raise_str_not_sequence();
// OverflowError for a negative value where an unsigned one is wanted.
Raised raise_negative_unsigned();
// OverflowError for an integer beyond the range of the C type `target`.
Raised raise_int_too_large(const char* target);

// Argument binding failures, in the interpreter's wording for built-in functions.
Raised raise_too_many_positional(const char* fn, Py_ssize_t n_params, bool has_optional,
                                 Py_ssize_t given);
Raised raise_unexpected_keyword(const char* fn, PyObject* keyword);
Raised raise_given_twice(const char* fn, PyObject* keyword, Py_ssize_t position);
Raised raise_missing_argument(const char* fn, const char* name, std::size_t position);

// Adds the note "while processing '{name}'" to the pending exception (it stays pending).
void add_argument_note(const char* name);
// Adds the note "at index {index} of {name}": which element of an array argument failed.
void add_index_note(const char* name, Py_ssize_t index);

// Array arguments read through the buffer protocol. `expected` completes the sentence.
// ValueError "{name} must have shape {expected}, got {shape}" ((5,) for one dimension).
Raised raise_array_shape(const char* name, const char* expected, const Py_buffer& view);
// TypeError "{name} must hold {expected}, got format '{format}' of {itemsize} bytes".
Raised raise_array_format(const char* name, const char* expected, const Py_buffer& view) noexcept;

// Maps the C++ exception being handled: std::bad_alloc becomes MemoryError, anything else
// the fatal error. Call only inside a catch block.
Raised raise_current_exception();

// Wraps the body of an entry point: C++ exceptions must not cross into the interpreter. The
// interpreter's forced unwind of an exiting thread is not an error: it passes (see
// owned_ref.hpp), so neither this nor any entry point is noexcept.
template <class F>
auto guarded(F&& body) -> decltype(body()) {
  try {
    return run_python(std::forward<F>(body));
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return raise_current_exception();
  }
}

}  // namespace quilm_tf_py
