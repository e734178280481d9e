// Traceback entries that point at the module's Python source lines, with one code
// object per cache key kept for the life of the process.
#include "runtime/runtime.h"

#include <cstring>
#include <type_traits>

namespace tarn {

const char kTracebackFileName[] = "corvessa\\\\util\\\\queue.py";
static_assert(sizeof(kTracebackFileName) == 24 + 1, "the traceback file name has 24 characters");
const char kImplSourcePath[] = "build\\corvessa/util\\queue.cpp";

CodeCache code_cache;
GlobalCache cline_cache;

namespace {

constexpr int kCodeCacheStep = 64;

// The setting's value as the dictionary of tarn_runtime holds it (borrowed, may be null),
// read again only when the dictionary has changed.
PyObject* cached_cline_setting(PyObject* dict) noexcept {
  if (dict_version(dict) == cline_cache.version) return cline_cache.value;
  PyObject* name = state.ids.cline_in_traceback;
  PyObject* value = dict_get_with_hash(dict, name, stored_hash(name));
  if (!value) PyErr_Clear();
  cline_cache.value = value;
  cline_cache.version = dict_version(dict);
  return value;
}

// The empty constants of the Module state, or the interpreter's own when a failure comes
// before the exec step has made them. Returns borrowed references (the interpreter keeps
// its empty tuple and bytes alive).
PyObject* empty_tuple_or_own() noexcept {
  if (state.empty_tuple) return state.empty_tuple;
  PyObject* t = PyTuple_New(0);
  Py_XDECREF(t);
  return t;
}
PyObject* empty_bytes_or_own() noexcept {
  if (state.empty_bytes) return state.empty_bytes;
  PyObject* b = PyBytes_FromStringAndSize("", 0);
  Py_XDECREF(b);
  return b;
}

// Does a cached code object carry the name this entry needs? (The names are ASCII.)
bool code_names_function(PyCodeObject* code, const char* funcname, int impl_line) noexcept {
  Py_ssize_t length;
  const char* name = code_name_chars(code, &length);
  if (!name) return false;
  std::size_t n = std::strlen(funcname);
  if (static_cast<std::size_t>(length) < n || std::strncmp(name, funcname, n) != 0) return false;
  return impl_line ? name[n] == ' ' : name[n] == '\0';
}

}  // namespace

int check_cline_in_traceback(PyThreadState* ts, int impl_line) noexcept {
  PyObject* runtime = state.runtime_module;
  PyObject* name = state.ids.cline_in_traceback;
  if (!runtime || !name) return impl_line;  // tarn_runtime is not set up yet
  PyObject *type, *value, *tb;
  fetch_error_state(ts, &type, &value, &tb);

  Ref setting;
  bool missing;
  if (PyObject* dict = instance_dict(runtime)) {
    setting = Ref::borrow(cached_cline_setting(dict));
    missing = !setting;
  } else {
    Ref attr = Ref::steal(get_attr_quiet(runtime, name));
    missing = !attr;
    if (missing) PyErr_Clear();
    else setting = Ref::borrow(PyObject_Not(attr.get()) ? Py_False : Py_True);
  }

  int result;
  if (missing) {
    (void)PyObject_SetAttr(runtime, name, Py_False);
    result = 0;
  } else if (setting.get() == Py_False) {
    result = 0;
  } else if (setting.get() == Py_True) {
    result = impl_line;
  } else {
    result = PyObject_Not(setting.get()) == 0 ? impl_line : 0;  // a failing truth test counts as false
  }
  setting.reset();
  restore_error_state(ts, type, value, tb);
  return result;
}

PyCodeObject* make_traceback_code(const char* funcname, int impl_line, int py_line, const char* filename) noexcept {
  Ref name = Ref::steal(impl_line ? PyUnicode_FromFormat("%s (%s:%d)", funcname, kImplSourcePath, impl_line)
                                  : PyUnicode_FromString(funcname));
  if (!name) return nullptr;
  PyObject* empty_tuple = empty_tuple_or_own();
  PyObject* empty_bytes = empty_bytes_or_own();
  if (!empty_tuple || !empty_bytes) return nullptr;
  return reinterpret_cast<PyCodeObject*>(new_entry_code(name.get(), filename, py_line, empty_tuple, empty_bytes));
}

int code_cache_bisect(const CodeCacheEntry* entries, int count, int key) noexcept {
  if (key > entries[count - 1].key) return count;
  int lo = 0;
  int hi = count - 1;
  int mid = 0;
  while (lo < hi) {
    mid = lo + (hi - lo) / 2;
    if (key < entries[mid].key) {
      hi = mid;
    } else if (key > entries[mid].key) {
      lo = mid + 1;
    } else {
      return mid;
    }
  }
  return key > entries[mid].key ? mid + 1 : mid;
}

// The position of key in the cache, or -1 when it holds no such entry.
static int code_cache_find(int key) noexcept {
  if (!key || !code_cache.entries || code_cache.count <= 0) return -1;
  int pos = code_cache_bisect(code_cache.entries, code_cache.count, key);
  return pos < code_cache.count && code_cache.entries[pos].key == key ? pos : -1;
}

PyCodeObject* code_cache_lookup(int key) noexcept {
  int pos = code_cache_find(key);
  if (pos < 0) return nullptr;
  PyCodeObject* code = code_cache.entries[pos].code;
  Py_INCREF(reinterpret_cast<PyObject*>(code));
  return code;
}

void code_cache_insert(int key, PyCodeObject* code) noexcept {
  if (!key) return;
  CodeCacheEntry* entries = code_cache.entries;
  if (!entries) {
    entries = static_cast<CodeCacheEntry*>(PyMem_Malloc(kCodeCacheStep * sizeof(CodeCacheEntry)));
    if (!entries) return;
    Py_INCREF(reinterpret_cast<PyObject*>(code));
    entries[0] = {code, key};
    code_cache = {1, kCodeCacheStep, entries};
    return;
  }
  int pos = code_cache_bisect(entries, code_cache.count, key);
  if (pos < code_cache.count && entries[pos].key == key) {
    PyCodeObject* old = entries[pos].code;
    Py_INCREF(reinterpret_cast<PyObject*>(code));
    entries[pos].code = code;
    Py_DECREF(reinterpret_cast<PyObject*>(old));
    return;
  }
  if (code_cache.count == code_cache.capacity) {
    std::size_t bigger = static_cast<std::size_t>(code_cache.capacity + kCodeCacheStep) * sizeof(CodeCacheEntry);
    entries = static_cast<CodeCacheEntry*>(PyMem_Realloc(entries, bigger));
    if (!entries) return;  // the old array stays in use
    code_cache.entries = entries;
    code_cache.capacity += kCodeCacheStep;
  }
  std::memmove(entries + pos + 1, entries + pos, static_cast<std::size_t>(code_cache.count - pos) * sizeof(CodeCacheEntry));
  Py_INCREF(reinterpret_cast<PyObject*>(code));
  entries[pos] = {code, key};
  ++code_cache.count;
}

void add_traceback_entry(const char* funcname, int impl_line, int py_line, const char* filename) noexcept {
  PyThreadState* ts = PyThreadState_GetUnchecked();
  if (impl_line) impl_line = check_cline_in_traceback(ts, impl_line);
  int key = impl_line ? -impl_line : py_line;

  PyCodeObject* code = nullptr;
  bool cached_under_other_name = false;
  int pos = code_cache_find(key);
  if (pos >= 0) {
    PyCodeObject* cached = code_cache.entries[pos].code;
    if (code_names_function(cached, funcname, impl_line)) {
      code = cached;
      Py_INCREF(reinterpret_cast<PyObject*>(code));
    } else {
      cached_under_other_name = true;  // that entry belongs to another function: keep it
    }
  }
  if (!code) {
    code = make_traceback_code(funcname, impl_line, py_line, filename);
    if (!code) return;
    if (key && !cached_under_other_name) code_cache_insert(key, code);
  }
  add_frame_entry(ts, reinterpret_cast<PyObject*>(code), state.module_dict, py_line);
  Py_DECREF(reinterpret_cast<PyObject*>(code));
}

}  // namespace tarn
