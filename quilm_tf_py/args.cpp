#include "quilm_tf_py/args.hpp"

#include <utility>

#include "quilm_tf_py/errors.hpp"
#include "quilm_tf_py/owned_ref.hpp"

namespace quilm_tf_py {
namespace {

// collections.abc.Sequence, imported on the first object that fails PySequence_Check (so
// importing the module imports nothing). Process-wide, never released.
PyObject* sequence_abc = nullptr;

PyObject* sequence_abc_type() {
  if (sequence_abc != nullptr) {
    return sequence_abc;
  }
  OwnedRef module =
      OwnedRef::steal(run_python([] { return PyImport_ImportModule("collections.abc"); }));
  if (!module) {
    return nullptr;
  }
  PyObject* found =
      run_python([&] { return PyObject_GetAttrString(module.get(), "Sequence"); });
  // The import may have let another thread publish first; keep that one.
  if (found != nullptr && sequence_abc != nullptr) {
    Py_DECREF(found);
    return sequence_abc;
  }
  sequence_abc = found;
  return sequence_abc;
}

// The sequence test of the matrix and name-list parameters: the sequence protocol, or
// registration as a collections.abc.Sequence. A str is refused with its own message.
bool check_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) {
    raise_str_not_sequence();
    return false;
  }
  if (PySequence_Check(object)) {
    return true;
  }
  PyObject* abc = sequence_abc_type();
  if (abc == nullptr) {
    return false;
  }
  const int registered = run_python([&] { return PyObject_IsInstance(object, abc); });
  if (registered < 0) {
    return false;
  }
  if (registered == 0) {
    raise_not_convertible(object, "Sequence");
    return false;
  }
  return true;
}

// Length and items through the object protocol, which also serves registered sequences
// that lack the C sequence slots (a registered dict subclass, say).
Py_ssize_t sequence_size(PyObject* sequence) {
  return run_python([&] { return PyObject_Size(sequence); });
}

OwnedRef sequence_item(PyObject* sequence, Py_ssize_t index) {
  OwnedRef key = OwnedRef::steal(PyLong_FromSsize_t(index));
  if (!key) {
    return {};
  }
  return OwnedRef::steal(run_python([&] { return PyObject_GetItem(sequence, key.get()); }));
}

bool is_numpy_bool_type(PyTypeObject* type) {
  OwnedRef module = OwnedRef::steal(run_python([&] {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
  }));
  OwnedRef name = OwnedRef::steal(PyType_GetName(type));
  if (!module || !name || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  // NumPy 2 names the scalar type numpy.bool, NumPy 1 numpy.bool_.
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0);
}

}  // namespace

bool parse_args(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<const char* const> names, std::size_t n_required, PyObject** out) {
  const auto n_params = static_cast<Py_ssize_t>(names.size());
  if (nargs > n_params) {
    raise_too_many_positional(fn, n_params, n_required < names.size(), nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < n_params; ++i) {
    out[i] = i < nargs ? args[i] : nullptr;
  }
  const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < n_keywords; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    if (keyword == nullptr) {
      return false;
    }
    Py_ssize_t index = 0;
    while (index < n_params && PyUnicode_CompareWithASCIIString(
                                   keyword, names[static_cast<std::size_t>(index)]) != 0) {
      ++index;
    }
    if (index == n_params) {
      raise_unexpected_keyword(fn, keyword);
      return false;
    }
    if (out[index] != nullptr) {
      raise_given_twice(fn, keyword, index + 1);
      return false;
    }
    out[index] = args[nargs + k];
  }
  for (std::size_t i = 0; i < n_required; ++i) {
    if (out[i] == nullptr) {
      raise_missing_argument(fn, names[i], i + 1);
      return false;
    }
  }
  return true;
}

bool parse_args(const char* fn, PyObject* args, PyObject* kwargs,
                std::span<const char* const> names, std::size_t n_required, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) {
    return false;
  }
  const Py_ssize_t n_keywords = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
  std::vector<PyObject*> values;
  values.reserve(static_cast<std::size_t>(nargs + n_keywords));
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    values.push_back(PyTuple_GetItem(args, i));
  }
  OwnedRef kwnames;
  if (n_keywords > 0) {
    kwnames = OwnedRef::steal(PyTuple_New(n_keywords));
    if (!kwnames) {
      return false;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t k = 0; PyDict_Next(kwargs, &position, &key, &value); ++k) {
      Py_INCREF(key);
      if (PyTuple_SetItem(kwnames.get(), k, key) < 0) {
        return false;
      }
      values.push_back(value);
    }
  }
  return parse_args(fn, values.data(), nargs, kwnames.get(), names, n_required, out);
}

bool to_str(PyObject* object, std::string_view* out) {
  if (!PyUnicode_Check(object)) {
    raise_not_convertible(object, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    return false;
  }
  *out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool to_double(PyObject* object, double* out) {
  const double value = run_python([&] { return PyFloat_AsDouble(object); });
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    return false;
  }
  *out = value;
  return true;
}

bool to_u128(PyObject* object, u128* out) {
  OwnedRef index = OwnedRef::borrow(object);
  if (!PyLong_Check(object)) {
    index = OwnedRef::steal(run_python([&] { return PyNumber_Index(object); }));
    if (!index) {
      return false;
    }
  }
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (small == -1 && PyErr_Occurred() != nullptr) {
    return false;
  }
  if (overflow < 0 || (overflow == 0 && small < 0)) {
    raise_negative_unsigned();
    return false;
  }
  if (overflow == 0) {
    *out = static_cast<u128>(small);
    return true;
  }
  // At least 2^63: assemble from the low 64 bits and the value shifted right by 64; the
  // high part overflowing 64 bits means 2^128 or more.
  const unsigned long long low = PyLong_AsUnsignedLongLongMask(index.get());
  if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return false;
  }
  OwnedRef shift = OwnedRef::steal(PyLong_FromLong(64));
  if (!shift) {
    return false;
  }
  OwnedRef high_part = OwnedRef::steal(PyNumber_Rshift(index.get(), shift.get()));
  if (!high_part) {
    return false;
  }
  const unsigned long long high = PyLong_AsUnsignedLongLong(high_part.get());
  if (high == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return false;
  }
  *out = (static_cast<u128>(high) << 64) | low;
  return true;
}

bool to_usize(PyObject* object, std::size_t* out) {
  OwnedRef index = OwnedRef::steal(run_python([&] { return PyNumber_Index(object); }));
  if (!index) {
    return false;
  }
  const std::size_t value = PyLong_AsSize_t(index.get());
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) {
    return false;
  }
  *out = value;
  return true;
}

bool to_bool(PyObject* object, bool* out) {
  if (object == Py_True || object == Py_False) {
    *out = object == Py_True;
    return true;
  }
  if (is_numpy_bool_type(Py_TYPE(object))) {
    const int truth = run_python([&] { return PyObject_IsTrue(object); });
    if (truth < 0) {
      return false;
    }
    *out = truth == 1;
    return true;
  }
  raise_not_convertible(object, "bool");
  return false;
}

bool to_matrix(PyObject* object, MatrixArg* out) {
  if (!check_sequence(object)) {
    return false;
  }
  const Py_ssize_t n_rows = sequence_size(object);
  if (n_rows < 0) {
    return false;
  }
  bool is_4x4 = n_rows == 4;
  for (Py_ssize_t r = 0; r < n_rows; ++r) {
    OwnedRef row = sequence_item(object, r);
    if (!row || !check_sequence(row.get())) {
      return false;
    }
    const Py_ssize_t n_columns = sequence_size(row.get());
    if (n_columns < 0) {
      return false;
    }
    is_4x4 = is_4x4 && n_columns == 4;
    for (Py_ssize_t c = 0; c < n_columns; ++c) {
      OwnedRef item = sequence_item(row.get(), c);
      double value = 0.0;
      if (!item || !to_double(item.get(), &value)) {
        return false;
      }
      if (r < 4 && c < 4) {
        out->entries[static_cast<std::size_t>(r * 4 + c)] = value;
      }
    }
  }
  out->is_4x4 = is_4x4;
  return true;
}

bool to_str_vector(PyObject* object, std::vector<std::string>* out) {
  if (!check_sequence(object)) {
    return false;
  }
  const Py_ssize_t size = sequence_size(object);
  if (size < 0) {
    return false;
  }
  // No reserve: the length is the object's own claim, and a false one must not make the
  // reservation fail (or allocate for items that never come).
  std::vector<std::string> names;
  for (Py_ssize_t i = 0; i < size; ++i) {
    OwnedRef item = sequence_item(object, i);
    std::string_view name;
    if (!item || !to_str(item.get(), &name)) {
      return false;
    }
    names.emplace_back(name);
  }
  *out = std::move(names);
  return true;
}

PyObject* u128_to_python(u128 value) {
  const auto low = static_cast<unsigned long long>(value);
  const auto high = static_cast<unsigned long long>(value >> 64);
  if (high == 0) {
    return PyLong_FromUnsignedLongLong(low);
  }
  OwnedRef high_part = OwnedRef::steal(PyLong_FromUnsignedLongLong(high));
  OwnedRef shift = OwnedRef::steal(PyLong_FromLong(64));
  OwnedRef low_part = OwnedRef::steal(PyLong_FromUnsignedLongLong(low));
  if (!high_part || !shift || !low_part) {
    return nullptr;
  }
  OwnedRef shifted = OwnedRef::steal(PyNumber_Lshift(high_part.get(), shift.get()));
  if (!shifted) {
    return nullptr;
  }
  return PyNumber_Or(shifted.get(), low_part.get());
}

}  // namespace quilm_tf_py
