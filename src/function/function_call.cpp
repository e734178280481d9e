// Calls of function objects: the vectorcall entries, tp_call, and the classic path by
// the method definition's flags.
#include "function/function.h"

#include <cstring>

namespace tarn {

namespace {

inline const char* method_name(PyObject* func) noexcept { return as_function(func)->m_ml->ml_name; }

inline PyObject* refuse(PyObject* func, const char* format) noexcept {
  PyErr_Format(PyExc_TypeError, format, method_name(func));
  return nullptr;
}
inline PyObject* refuse_count(PyObject* func, const char* format, Py_ssize_t given) noexcept {
  PyErr_Format(PyExc_TypeError, format, method_name(func), given);
  return nullptr;
}

constexpr const char kNeedsArgument[] = "%.200s() needs an argument";
constexpr const char kNoKeywords[] = "%.200s() takes no keyword arguments";
constexpr const char kExactlyOne[] = "%.200s() takes exactly one argument (%zd given)";
constexpr const char kNoArguments[] = "%.200s() takes no arguments (%zd given)";

// The checks the METH_O and METH_NOARGS entries share. Leaves self, args and nargs
// ready for the implementation, or returns false with an error set.
bool prepare_short_call(PyObject* func, PyObject* const** args, Py_ssize_t* nargs, PyObject* kwnames,
                        PyObject** self) noexcept {
  TarnFunction* f = as_function(func);
  bool class_bound = is_class_bound(f);
  if (class_bound && *nargs == 0) return refuse(func, kNeedsArgument), false;
  if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) return refuse(func, kNoKeywords), false;
  if (class_bound) {
    *self = (*args)[0];
    ++*args;
    --*nargs;
  } else {
    *self = f->m_self;
  }
  return true;
}

}  // namespace

PyObject* call_entry_fastcall_kw(PyObject* func, PyObject* const* args, std::size_t nargsf,
                                 PyObject* kwnames) noexcept {
  TarnFunction* f = as_function(func);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* self = f->m_self;
  if (is_class_bound(f)) {
    if (nargs == 0) return refuse(func, kNeedsArgument);
    self = args[0];
    ++args;
    --nargs;
  }
  auto meth = reinterpret_cast<PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)(void)>(f->m_ml->ml_meth));
  return meth(self, args, nargs, kwnames);
}

PyObject* call_entry_one_arg(PyObject* func, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* self;
  if (!prepare_short_call(func, &args, &nargs, kwnames, &self)) return nullptr;
  if (nargs != 1) return refuse_count(func, kExactlyOne, nargs);
  return as_function(func)->m_ml->ml_meth(self, args[0]);
}

PyObject* call_entry_noargs(PyObject* func, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* self;
  if (!prepare_short_call(func, &args, &nargs, kwnames, &self)) return nullptr;
  if (nargs != 0) return refuse_count(func, kNoArguments, nargs);
  return as_function(func)->m_ml->ml_meth(self, nullptr);
}

PyObject* vectorcall_from_dict(PyObject* func, vectorcallfunc entry, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwargs) noexcept {
  if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return entry(func, args, static_cast<std::size_t>(nargs), nullptr);
  Py_ssize_t n = PyDict_GET_SIZE(kwargs);
  auto stack = static_cast<PyObject**>(PyMem_Malloc(static_cast<std::size_t>(nargs + n) * sizeof(PyObject*)));
  if (!stack) return PyErr_NoMemory();
  if (nargs) std::memcpy(stack, args, static_cast<std::size_t>(nargs) * sizeof(PyObject*));
  Ref kwnames = Ref::steal(PyTuple_New(n));
  if (!kwnames) {
    PyMem_Free(stack);
    return nullptr;
  }
  unsigned long keys_are_str = Py_TPFLAGS_UNICODE_SUBCLASS;
  Py_ssize_t pos = 0;
  Py_ssize_t taken = 0;
  PyObject *key, *value;
  while (taken < n && PyDict_Next(kwargs, &pos, &key, &value)) {
    keys_are_str &= PyType_GetFlags(Py_TYPE(key));
    Py_INCREF(key);
    Py_INCREF(value);
    PyTuple_SET_ITEM(kwnames.get(), taken, key);
    stack[nargs + taken] = value;
    ++taken;
  }
  PyObject* result = nullptr;
  if (!keys_are_str)
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
  else
    result = entry(func, stack, static_cast<std::size_t>(nargs), kwnames.get());
  kwnames.reset();
  for (Py_ssize_t i = 0; i < taken; ++i) Py_DECREF(stack[nargs + i]);
  PyMem_Free(stack);
  return result;
}

PyObject* call_by_method_flags(PyObject* func, PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  PyMethodDef* ml = as_function(func)->m_ml;
  bool has_keywords = kwargs && PyDict_Size(kwargs) != 0;
  Py_ssize_t size = PyTuple_GET_SIZE(args);
  switch (ml->ml_flags & (METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O)) {
    case METH_VARARGS:
      if (has_keywords) return refuse(func, kNoKeywords);
      return ml->ml_meth(self, args);
    case METH_VARARGS | METH_KEYWORDS:
      return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)(void)>(ml->ml_meth))(self, args,
                                                                                                     kwargs);
    case METH_NOARGS:
      if (has_keywords) return refuse(func, kNoKeywords);
      if (size != 0) return refuse_count(func, kNoArguments, size);
      return ml->ml_meth(self, nullptr);
    case METH_O:
      if (has_keywords) return refuse(func, kNoKeywords);
      if (size != 1) return refuse_count(func, kExactlyOne, size);
      return ml->ml_meth(self, PyTuple_GET_ITEM(args, 0));
    default:
      PyErr_SetString(PyExc_SystemError, "Bad call flags for TarnFunction");
      return nullptr;
  }
}

PyObject* function_call(PyObject* func, PyObject* args, PyObject* kwargs) noexcept {
  TarnFunction* f = as_function(func);
  if (f->vectorcall) {
    TupleItems items(args);
    if (!items.data()) return nullptr;
    return vectorcall_from_dict(func, f->vectorcall, items.data(), PyTuple_GET_SIZE(args), kwargs);
  }
  if (!is_class_bound(f)) return call_by_method_flags(func, f->m_self, args, kwargs);
  Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
  if (!rest) return nullptr;
  PyObject* self = PyTuple_GetItem(args, 0);  // borrowed; IndexError for an empty tuple
  if (!self) return nullptr;
  return call_by_method_flags(func, self, rest.get(), kwargs);
}

}  // namespace tarn
