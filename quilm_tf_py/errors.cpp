#include "quilm_tf_py/errors.hpp"

#include <exception>
#include <new>
#include <string>

#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {
namespace {

// Process-wide and never released: instances raised long ago may still refer to them.
PyObject* transform_error = nullptr;
PyObject* frame_error = nullptr;
PyObject* internal_error = nullptr;

PyObject* exception_type(PyObject*& slot, const char* name, const char* doc,
                         PyObject* base) {
  if (slot != nullptr) {
    return slot;
  }
  return publish_once(slot, OwnedRef::steal(PyErr_NewExceptionWithDoc(name, doc, base, nullptr)));
}

// Message texts may hold any bytes a caller put in a name; never fail on them.
OwnedRef text(std::string_view message) {
  return OwnedRef::steal(PyUnicode_DecodeUTF8(message.data(),
                                              static_cast<Py_ssize_t>(message.size()),
                                              "replace"));
}

Raised raise_text(PyObject* type, std::string_view message) {
  if (type == nullptr) {
    return {};  // the type's creation error is pending
  }
  OwnedRef value = text(message);
  if (value) {
    PyErr_SetObject(type, value.get());
  }
  return {};
}

Raised raise_format(PyObject* type, const char* format, PyObject* object,
                    const char* target) {
  OwnedRef name = OwnedRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    return {};
  }
  OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat(format, name.get(), target));
  if (message) {
    PyErr_SetObject(type, message.get());
  }
  return {};
}

std::string_view invalid_text(Invalid value) noexcept {
  switch (value) {
    case Invalid::HistorySeconds:
      return "history_seconds must be finite and non-negative";
    case Invalid::HistoryTooLarge:
      return "history_seconds is too large";
    case Invalid::MatrixShape:
      return "matrix must have shape 4x4";
    case Invalid::StampRange:
      return "stamp_ns exceeds the ROS Time range";
    case Invalid::StampSecondsNegative:
      return "timestamp seconds must be non-negative";
    case Invalid::StampNanosecondsLarge:
      return "timestamp nanoseconds must be less than one second";
    case Invalid::CallbackNotCallable:
      return "callback must be callable";
  }
  return "invalid argument";
}

}  // namespace

PyObject* transform_error_type() {
  return exception_type(transform_error, "quilm_tf._native.TransformError", "",
                        PyExc_Exception);
}

PyObject* frame_error_type() {
  return exception_type(frame_error, "quilm_tf._native.FrameError", "", PyExc_Exception);
}

PyObject* internal_error_type() {
  return exception_type(internal_error, "quilm_tf._native.InternalError",
                        "An internal invariant of quilm_tf broke; the object that raised "
                        "it cannot be used any more.",
                        PyExc_BaseException);
}

Raised raise(const quilm_tf::TransformBufferError& error) {
  return raise_text(transform_error_type(), quilm_tf::to_string(error));
}

Raised raise(const quilm_tf::FrameError& error) {
  return raise_text(frame_error_type(), quilm_tf::to_string(error));
}

Raised raise(const quilm_tf::CloudError& error) {
  return raise_text(PyExc_ValueError, quilm_tf::to_string(error));
}

Raised raise(Invalid value) { return raise_text(PyExc_ValueError, invalid_text(value)); }

Raised raise_internal(std::string_view what) {
  return raise_text(internal_error_type(), what);
}

Raised raise_not_convertible(PyObject* object, const char* target) {
  return raise_format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", object, target);
}

Raised raise_str_not_sequence() {
  return raise_text(PyExc_TypeError, "Can't extract `str` to `Vec`");
}

Raised raise_negative_unsigned() {
  return raise_text(PyExc_OverflowError, "can't convert negative int to unsigned");
}

Raised raise_int_too_large(const char* target) {
  PyErr_Format(PyExc_OverflowError, "Python int too large to convert to %s", target);
  return {};
}

Raised raise_too_many_positional(const char* fn, Py_ssize_t n_params, bool has_optional,
                                 Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s() takes %s %zd positional argument%s (%zd given)", fn,
               has_optional ? "at most" : "exactly", n_params, n_params == 1 ? "" : "s", given);
  return {};
}

Raised raise_unexpected_keyword(const char* fn, PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, keyword);
  return {};
}

Raised raise_given_twice(const char* fn, PyObject* keyword, Py_ssize_t position) {
  PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zd)", fn,
               keyword, position);
  return {};
}

Raised raise_missing_argument(const char* fn, const char* name, std::size_t position) {
  PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fn, name,
               position);
  return {};
}

namespace {

// Adds `note` (a new reference, or nullptr) to the pending exception, which stays pending.
void add_note(PyObject* note) {
  OwnedRef owned_note = OwnedRef::steal(note);
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) {
      PyException_SetTraceback(value, traceback);
    }
    OwnedRef method = OwnedRef::steal(PyUnicode_InternFromString("add_note"));
    OwnedRef done;
    if (owned_note && method) {
      done = OwnedRef::steal(run_python([&] {
        return PyObject_CallMethodObjArgs(value, method.get(), owned_note.get(), nullptr);
      }));
    }
    if (!done) {
      // The note is a courtesy: losing it must not replace the conversion's own error.
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, traceback);
}

// "(5,)" or "(5, 4, 4)", as Python shows a shape tuple.
std::string shape_text(const Py_buffer& view) {
  std::string out = "(";
  for (int d = 0; d < view.ndim; ++d) {
    if (d > 0) {
      out += ", ";
    }
    out += std::to_string(view.shape == nullptr ? view.len / view.itemsize : view.shape[d]);
  }
  return out + (view.ndim == 1 ? ",)" : ")");
}

}  // namespace

void add_argument_note(const char* name) {
  add_note(PyUnicode_FromFormat("while processing '%s'", name));
}

void add_index_note(const char* name, Py_ssize_t index) {
  add_note(PyUnicode_FromFormat("at index %zd of %s", index, name));
}

Raised raise_array_shape(const char* name, const char* expected, const Py_buffer& view) {
  try {
    PyErr_Format(PyExc_ValueError, "%s must have shape %s, got %s", name, expected,
                 shape_text(view).c_str());
  } catch (...) {
    return raise_current_exception();
  }
  return {};
}

Raised raise_array_format(const char* name, const char* expected, const Py_buffer& view) noexcept {
  PyErr_Format(PyExc_TypeError, "%s must hold %s, got format '%s' of %zd bytes", name, expected,
               view.format == nullptr ? "B" : view.format, view.itemsize);
  return {};
}

Raised raise_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyObject* type = internal_error_type();
    if (type != nullptr) {
      PyErr_Format(type, "unexpected C++ exception: %s", error.what());
    }
  } catch (...) {
    raise_internal("unexpected C++ exception");
  }
  return {};
}

}  // namespace quilm_tf_py
