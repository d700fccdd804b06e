#pragma once

// One strong reference to a Python object, dropped when the owner goes. Move-only; empty
// (nullptr) after a failed call, a move or release(). Raw PyObject* elsewhere in the
// binding means a borrowed reference.

#include <Python.h>

#include <utility>

namespace quilm_tf_py {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;

  // Takes over a new reference (or nullptr from a failed call).
  static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
  // Adds a reference of its own to a borrowed object.
  static OwnedRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    // Decref last: it may run arbitrary Python code that looks at *this.
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to an API that steals it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

// Stores a process-wide object built on first use and returns the stored one. Building it
// can run Python code, which may switch threads and let another thread publish first: the
// first one published stays, a later one is dropped. Null, with the error set, when
// `created` is empty.
inline PyObject* publish_once(PyObject*& slot, OwnedRef created) noexcept {
  if (!created) {
    return nullptr;
  }
  if (slot == nullptr) {
    slot = created.release();
  }
  return slot;
}

}  // namespace quilm_tf_py
