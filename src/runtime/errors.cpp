// The exception in flight, read and written straight in the thread state, and
// exception matching by identity and method resolution order.
#include "runtime/runtime.h"

namespace tarn {

void fetch_error_state(PyThreadState* ts, PyObject** type, PyObject** value, PyObject** tb) noexcept {
  ErrorTriple held = swap_raised(ts, {nullptr, nullptr, nullptr});
  *type = held.type;
  *value = held.value;
  *tb = held.tb;
}

void restore_error_state(PyThreadState* ts, PyObject* type, PyObject* value, PyObject* tb) noexcept {
  ErrorTriple held = swap_raised(ts, {type, value, tb});
  Py_XDECREF(held.type);
  Py_XDECREF(held.value);
  Py_XDECREF(held.tb);
}

int in_base_chain(PyTypeObject* a, PyTypeObject* b) noexcept {
  for (a = type_base(a); a; a = type_base(a))
    if (a == b) return 1;
  return b == &PyBaseObject_Type;
}

int is_subtype(PyTypeObject* a, PyTypeObject* b) noexcept {
  if (a == b) return 1;
  if constexpr (kStableAbi) return PyType_IsSubtype(a, b);  // no MRO to read: the interpreter's own test
  PyObject* mro = type_mro(a);
  if (!mro) return in_base_chain(a, b);
  Py_ssize_t n = PyTuple_GET_SIZE(mro);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject*>(b)) return 1;
  return 0;
}

namespace {

// The identity pass over a tuple, made before any subclass test.
bool tuple_holds(PyObject* tuple, PyObject* item) noexcept {
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(tuple); i < n; ++i)
    if (PyTuple_GET_ITEM(tuple, i) == item) return true;
  return false;
}

}  // namespace

int given_exception_matches_tuple(PyObject* exc_type, PyObject* tuple) noexcept {
  if (tuple_holds(tuple, exc_type)) return 1;
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(tuple); i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(tuple, i);
    if (!PyExceptionClass_Check(item)) continue;
    if (item == exc_type ||
        is_subtype(reinterpret_cast<PyTypeObject*>(exc_type), reinterpret_cast<PyTypeObject*>(item)))
      return 1;
  }
  return 0;
}

int given_exception_matches(PyObject* exc_type, PyObject* expected) noexcept {
  if (exc_type == expected) return 1;
  if (PyExceptionClass_Check(exc_type)) {
    if (PyExceptionClass_Check(expected))
      return is_subtype(reinterpret_cast<PyTypeObject*>(exc_type), reinterpret_cast<PyTypeObject*>(expected));
    if (PyTuple_Check(expected)) return given_exception_matches_tuple(exc_type, expected);
  }
  return PyErr_GivenExceptionMatches(exc_type, expected);
}

int error_matches_tuple(PyObject* exc_type, PyObject* tuple) noexcept {
  if (tuple_holds(tuple, exc_type)) return 1;
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(tuple); i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(tuple, i);
    if (item == exc_type || given_exception_matches(exc_type, item)) return 1;
  }
  return 0;
}

int error_matches_in_state(PyThreadState* ts, PyObject* expected) noexcept {
  PyObject* current = raised_type(ts);
  if (current == expected) return 1;
  if (!current) return 0;
  if (PyTuple_Check(expected)) return error_matches_tuple(current, expected);
  return given_exception_matches(current, expected);
}

}  // namespace tarn
