// tarn_faults: a test module that puts the failing allocator (failing_allocator.h) in front
// of the interpreter's own.
//
//   call(n, f, *args, **kwargs)   calls f armed with n, and disarms as soon as f returns,
//                                 before the caller's frame handles what f raised
//   last()                        (allocations counted, whether one was failed, whether the
//                                 failed one was made under code of the watched library)
//   watch(path)                   the library (a shared object's path) that last() looks for
//                                 among the callers of a failed allocation
//
// With TARN_FAULTS_BACKTRACE set, the stack of each failed allocation goes to stderr.
#include "failing_allocator.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>
#include <string>

namespace {

namespace fa = failing_allocator;

std::string watched;          // the library whose code last() looks for on the stack
bool under_watched = false;   // was the failed allocation made under its code?
bool print_stack = false;     // TARN_FAULTS_BACKTRACE

// Notes whether code of the watched library is among the callers of the failing allocation.
void note_callers() noexcept {
  void* frames[128];
  int n = backtrace(frames, 128);
  if (print_stack) backtrace_symbols_fd(frames, n, 2);
  for (int i = 0; i < n; ++i) {
    Dl_info info;
    if (dladdr(frames[i], &info) && info.dli_fname && watched == info.dli_fname) {
      under_watched = true;
      return;
    }
  }
}

PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* callable;
  long n;
  if (PyTuple_GET_SIZE(args) < 2) {
    PyErr_SetString(PyExc_TypeError, "call(n, f, *args, **kwargs)");
    return nullptr;
  }
  n = PyLong_AsLong(PyTuple_GET_ITEM(args, 0));
  if (n == -1 && PyErr_Occurred()) return nullptr;
  callable = PyTuple_GET_ITEM(args, 1);
  PyObject* rest = PyTuple_GetSlice(args, 2, PyTuple_GET_SIZE(args));
  if (!rest) return nullptr;
  under_watched = false;
  fa::arm(n);
  PyObject* result = PyObject_Call(callable, rest, kwargs);
  fa::disarm();
  Py_DECREF(rest);
  return result;
}

PyObject* last(PyObject*, PyObject*) noexcept {
  return Py_BuildValue("(lOO)", fa::counted.load(), fa::failed.load() ? Py_True : Py_False,
                       under_watched ? Py_True : Py_False);
}

PyObject* watch(PyObject*, PyObject* path) noexcept {
  const char* text = PyUnicode_AsUTF8(path);
  if (!text) return nullptr;
  watched = text;
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(call)), METH_VARARGS | METH_KEYWORDS,
     "call(n, f, *args, **kwargs): f(*args, **kwargs) with the n-th allocation failed (0: none)"},
    {"last", last, METH_NOARGS, "last(): (allocations counted, whether one was failed, under the watched code)"},
    {"watch", watch, METH_O, "watch(path): the shared object whose code last() looks for"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "tarn_faults", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tarn_faults(void) {
  PyObject* m = PyModule_Create(&module);
  if (!m) return nullptr;
  void* warm[1];
  backtrace(warm, 1);  // loads the unwinder now rather than inside an allocation
  print_stack = getenv("TARN_FAULTS_BACKTRACE") != nullptr;
  fa::on_failure = note_callers;
  fa::install();
  return m;
}
