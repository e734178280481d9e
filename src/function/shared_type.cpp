// One function object type per process for every module of this runtime version,
// published as _tarn_3_0a5.tarn_function_or_method.
#include "function/function.h"

namespace tarn {

int fetch_shared_function_type() noexcept {
  PyObject* shared = PyImport_AddModule("_tarn_3_0a5");  // borrowed
  if (!shared) {
    state.function_type = nullptr;
    return -1;
  }
  Ref hold = Ref::borrow(shared);
  Ref result;
  Ref found = Ref::steal(PyObject_GetAttrString(shared, kSharedTypeKey));
  if (found) {
    if (!PyType_Check(found.get()))
      PyErr_Format(PyExc_TypeError, "Shared Tarn type %.200s is not a type object", kSharedTypeKey);
    else if (type_basicsize(reinterpret_cast<PyTypeObject*>(found.get())) != static_cast<Py_ssize_t>(sizeof(TarnFunction)))
      PyErr_Format(PyExc_TypeError, "Shared Tarn type %.200s has the wrong size, try recompiling", kSharedTypeKey);
    else
      result = std::move(found);
  } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyObject* own = reinterpret_cast<PyObject*>(own_function_type());
    if (own && PyObject_SetAttrString(shared, kSharedTypeKey, own) == 0) result = Ref::borrow(own);
  }
  state.function_type = reinterpret_cast<PyTypeObject*>(result.release());
  return state.function_type ? 0 : -1;
}

}  // namespace tarn
