// Runtime support shared by every part of the module: the owning reference, failure
// sites, direct error-state handling, attribute/name/call helpers and traceback entries.
#ifndef TARN_RUNTIME_RUNTIME_H
#define TARN_RUNTIME_RUNTIME_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tarn {

// ---------------------------------------------------------------------------
// Owning reference: holds one strong reference, releases it in its destructor.
// ---------------------------------------------------------------------------
class Ref {
 public:
  constexpr Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (as returned by a constructor-like call); may be null.
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a reference of its own to a borrowed object; may be null.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference over to the caller.
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  // Replaces the held reference with a new one (stolen) and releases the old one after.
  void reset(PyObject* stolen = nullptr) noexcept {
    PyObject* old = p_;
    p_ = stolen;
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Failure sites. Every source file that records a failure site defines
//   static constexpr int tarn_line_base = N;   (N a multiple of 10000, unique per file)
// so that TARN_SITE gives each site an implementation line of its own across the module.
// ---------------------------------------------------------------------------
constexpr int kLinesPerFile = 10000;
#define TARN_SITE (tarn_line_base + __LINE__)

// The two lines a failure site records.
struct ErrorPos {
  int impl_line;  // the site's own line in the implementation (see TARN_SITE)
  int py_line;    // the line of the statement in the module's Python source
};

// File name every traceback entry of the module carries.
extern const char kTracebackFileName[];
// Source path shown by entries that include the implementation line.
extern const char kImplSourcePath[];

// ---------------------------------------------------------------------------
// Error state and exception matching, straight on the thread state.
// ---------------------------------------------------------------------------
void fetch_error_state(PyThreadState* ts, PyObject** type, PyObject** value, PyObject** tb) noexcept;
// Hands the three references over (each may be null).
void restore_error_state(PyThreadState* ts, PyObject* type, PyObject* value, PyObject* tb) noexcept;
int error_matches_in_state(PyThreadState* ts, PyObject* expected) noexcept;
int error_matches_tuple(PyObject* exc_type, PyObject* tuple) noexcept;
int given_exception_matches(PyObject* exc_type, PyObject* expected) noexcept;
int given_exception_matches_tuple(PyObject* exc_type, PyObject* tuple) noexcept;
int is_subtype(PyTypeObject* a, PyTypeObject* b) noexcept;
int in_base_chain(PyTypeObject* a, PyTypeObject* b) noexcept;

// ---------------------------------------------------------------------------
// Attribute, name and call helpers. Arguments are borrowed; object results are new
// references or null with an error set, unless said otherwise.
// ---------------------------------------------------------------------------

// Per-site cache of one module global: the module dictionary's version and the value
// (borrowed) found at that version.
struct GlobalCache {
  std::uint64_t version;
  PyObject* value;
};

// 1: *method holds a function to call with obj first; 0: *method holds the attribute
// itself, or null after a failure with an error set. *method must be null on entry.
int lookup_method(PyObject* obj, PyObject* name, PyObject** method) noexcept;
// nargsf may carry PY_VECTORCALL_ARGUMENTS_OFFSET; args[-1] is then writable scratch.
PyObject* call_vector(PyObject* callable, PyObject* const* args, std::size_t nargsf) noexcept;
PyObject* call_one_arg(PyObject* callable, PyObject* arg) noexcept;
PyObject* call_two_args(PyObject* callable, PyObject* arg1, PyObject* arg2) noexcept;
// callable has the layout of PyCFunctionObject; arg may be null.
PyObject* call_cfunction(PyObject* callable, PyObject* arg) noexcept;
PyObject* call_with_tuple(PyObject* callable, PyObject* args) noexcept;
PyObject* call_array_via_tuple(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* get_module_global(PyObject* name, std::uint64_t* version, PyObject** value) noexcept;
PyObject* get_builtin(PyObject* name) noexcept;
// Null without an error when the attribute is missing.
PyObject* get_attr_quiet(PyObject* obj, PyObject* name) noexcept;
void clear_attribute_error() noexcept;
// Returns a borrowed reference, or null without an error (lookup errors are cleared).
PyObject* dict_get_quiet(PyObject* dict, PyObject* name) noexcept;

// The stored hash of a name (an identifier's was computed once when it was made).
inline Py_hash_t stored_hash(PyObject* name) noexcept {
  Py_hash_t h = reinterpret_cast<PyASCIIObject*>(name)->hash;
  return h != -1 ? h : PyObject_Hash(name);
}

inline PyObject* get_attr_by_slot(PyObject* obj, PyObject* name) noexcept {
  getattrofunc f = Py_TYPE(obj)->tp_getattro;
  return f ? f(obj, name) : PyObject_GetAttr(obj, name);
}
inline int set_attr_by_slot(PyObject* obj, PyObject* name, PyObject* value) noexcept {
  setattrofunc f = Py_TYPE(obj)->tp_setattro;
  return f ? f(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

// ---------------------------------------------------------------------------
// Traceback entries and the code-object cache.
// ---------------------------------------------------------------------------
struct CodeCacheEntry {
  PyCodeObject* code;  // owned by the cache
  int key;
};
struct CodeCache {
  int count;
  int capacity;
  CodeCacheEntry* entries;
};
extern CodeCache code_cache;
extern GlobalCache cline_cache;

// Appends one entry for the failing function to the traceback of the exception in
// flight; never replaces that exception.
void add_traceback_entry(const char* funcname, int impl_line, int py_line, const char* filename) noexcept;
int check_cline_in_traceback(PyThreadState* ts, int impl_line) noexcept;
// Returns a new reference.
PyCodeObject* make_traceback_code(const char* funcname, int impl_line, int py_line, const char* filename) noexcept;
int code_cache_bisect(const CodeCacheEntry* entries, int count, int key) noexcept;
// Returns a new reference or null (no error is set).
PyCodeObject* code_cache_lookup(int key) noexcept;
void code_cache_insert(int key, PyCodeObject* code) noexcept;

// The usual way a Python-level function of the module reports a failure.
inline void add_traceback(const char* funcname, ErrorPos pos) noexcept {
  add_traceback_entry(funcname, pos.impl_line, pos.py_line, kTracebackFileName);
}

}  // namespace tarn

#endif  // TARN_RUNTIME_RUNTIME_H
