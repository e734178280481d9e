// tarn_faults: a test module that puts a failing allocator in front of the interpreter's own,
// in the raw, mem and object domains. While armed with N, it counts the allocations (malloc,
// calloc and realloc) made in any domain and fails the N-th, once; armed with 0 it only
// counts. Frees always pass through.
//
//   call(n, f, *args, **kwargs)   calls f armed with n, and disarms as soon as f returns,
//                                 before the caller's frame handles what f raised
//   last()                        (allocations counted, whether one was failed, whether the
//                                 failed one was made under code of the watched library)
//   watch(path)                   the library (a shared object's path) that last() looks for
//                                 among the callers of a failed allocation
//
// With TARN_FAULTS_BACKTRACE set, the stack of each failed allocation goes to stderr.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <execinfo.h>

#include <atomic>
#include <string>

namespace {

PyMemAllocatorEx originals[3];
constexpr PyMemAllocatorDomain kDomains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};

std::atomic<bool> armed{false};
std::atomic<long> counted{0};
std::atomic<long> fail_at{0};
std::atomic<bool> failed{false};
std::string watched;          // the library whose code last() looks for on the stack
bool under_watched = false;   // was the failed allocation made under its code?
bool print_stack = false;     // TARN_FAULTS_BACKTRACE

// Is code of the watched library among the callers of this allocation?
bool called_from_watched() noexcept {
  void* frames[128];
  int n = backtrace(frames, 128);
  if (print_stack) backtrace_symbols_fd(frames, n, 2);
  for (int i = 0; i < n; ++i) {
    Dl_info info;
    if (dladdr(frames[i], &info) && info.dli_fname && watched == info.dli_fname) return true;
  }
  return false;
}

// True when this allocation is the one to fail.
bool fails_now() noexcept {
  if (!armed.load(std::memory_order_relaxed)) return false;
  long n = counted.fetch_add(1) + 1;
  if (n != fail_at.load(std::memory_order_relaxed)) return false;
  failed = true;
  under_watched = called_from_watched();
  return true;
}

void* hook_malloc(void* ctx, size_t size) noexcept {
  auto* orig = static_cast<PyMemAllocatorEx*>(ctx);
  return fails_now() ? nullptr : orig->malloc(orig->ctx, size);
}

void* hook_calloc(void* ctx, size_t nelem, size_t elsize) noexcept {
  auto* orig = static_cast<PyMemAllocatorEx*>(ctx);
  return fails_now() ? nullptr : orig->calloc(orig->ctx, nelem, elsize);
}

void* hook_realloc(void* ctx, void* ptr, size_t size) noexcept {
  auto* orig = static_cast<PyMemAllocatorEx*>(ctx);
  return fails_now() ? nullptr : orig->realloc(orig->ctx, ptr, size);
}

void hook_free(void* ctx, void* ptr) noexcept {
  auto* orig = static_cast<PyMemAllocatorEx*>(ctx);
  orig->free(orig->ctx, ptr);
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
  counted = 0;
  failed = false;
  under_watched = false;
  fail_at = n;
  armed = true;
  PyObject* result = PyObject_Call(callable, rest, kwargs);
  armed = false;
  Py_DECREF(rest);
  return result;
}

PyObject* last(PyObject*, PyObject*) noexcept {
  return Py_BuildValue("(lOO)", counted.load(), failed.load() ? Py_True : Py_False,
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
  for (int i = 0; i < 3; ++i) {
    PyMem_GetAllocator(kDomains[i], &originals[i]);
    PyMemAllocatorEx hook = {&originals[i], hook_malloc, hook_calloc, hook_realloc, hook_free};
    PyMem_SetAllocator(kDomains[i], &hook);
  }
  return m;
}
