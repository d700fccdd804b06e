#pragma once

// Argument binding and conversion for entry points declared METH_FASTCALL | METH_KEYWORDS.
// parse_args binds positional and keyword arguments to parameter names without building a
// tuple or dict; the converters turn one borrowed object into a C++ value. Every converter
// returns false with a Python exception set; convert_arg adds the parameter note.

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frames/time/timestamp.hpp"
#include "quilm_tf_py/errors.hpp"

namespace quilm_tf_py {

using frames::time::u128;

// Binds args[0..nargs) and the keywords named in kwnames (values after the positionals) to
// `names`, writing borrowed references to out[i], or nullptr for an omitted optional
// parameter. The first n_required names are required. Raises the interpreter's TypeError
// for too many positionals, unknown or duplicate keywords and missing arguments.
bool parse_args(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<const char* const> names, std::size_t n_required, PyObject** out);

// The same binding for tp_new, which receives a tuple and a dict.
bool parse_args(const char* fn, PyObject* args, PyObject* kwargs,
                std::span<const char* const> names, std::size_t n_required, PyObject** out);

// A str; the view points into the str object and lives as long as it.
bool to_str(PyObject* object, std::string_view* out);
bool to_double(PyObject* object, double* out);
// Any integer (or __index__ object) from 0 to 2^128 - 1.
bool to_u128(PyObject* object, u128* out);
// Any integer (or __index__ object) that fits std::size_t.
bool to_usize(PyObject* object, std::size_t* out);
// True or False, or a NumPy bool scalar; anything else, 0 and 1 included, is a TypeError.
bool to_bool(PyObject* object, bool* out);

// A sequence of rows, each a sequence of floats, in any shape: the caller checks the
// shape after conversion, so a ValueError about it carries no argument note.
struct MatrixArg {
  std::array<double, 16> entries{};  // row-major, filled where row and column are below 4
  bool is_4x4 = false;
};
bool to_matrix(PyObject* object, MatrixArg* out);

// A sequence of str (a single str is refused rather than read as its characters).
bool to_str_vector(PyObject* object, std::vector<std::string>* out);

// Runs a converter on an argument; a failure gets the note "while processing '{name}'".
template <class T>
bool convert_arg(bool (*convert)(PyObject*, T*), PyObject* object, const char* name, T* out) {
  if (convert(object, out)) {
    return true;
  }
  add_argument_note(name);
  return false;
}

// A Python int from an unsigned 128-bit value; nullptr with an exception set on failure.
PyObject* u128_to_python(u128 value);

}  // namespace quilm_tf_py
