// Runtime support: direct error-state handling and exception matching, attribute, name
// and call helpers, and traceback entries with their code-object cache.
#ifndef TARN_RUNTIME_RUNTIME_H
#define TARN_RUNTIME_RUNTIME_H

#include "core/core.h"

#include <cstddef>
#include <cstdint>

namespace tarn {

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

// 1: *method holds a function to call with obj first; 0: *method holds the attribute
// itself, or null after a failure with an error set. *method must be null on entry.
int lookup_method(PyObject* obj, PyObject* name, PyObject** method) noexcept;
// nargsf may carry PY_VECTORCALL_ARGUMENTS_OFFSET; args[-1] is then writable scratch.
PyObject* call_vector(PyObject* callable, PyObject* const* args, std::size_t nargsf) noexcept;
PyObject* call_one_arg(PyObject* callable, PyObject* arg) noexcept;
PyObject* call_two_args(PyObject* callable, PyObject* arg1, PyObject* arg2) noexcept;
// What the recursion guard of a call adds to its RecursionError, as the interpreter's calls
// (enter_c_call of the version layer).
inline constexpr char kRecursionWhere[] = " while calling a Python object";
// call() inside the guard of a C call, on the thread state fetched once, as the interpreter's
// own calls of C functions make it (its RecursionError set instead, and null).
template <typename Call>
inline PyObject* guarded_c_call(Call call) noexcept {
  PyThreadState* ts = c_call_thread_state();
  if (enter_c_call(ts, kRecursionWhere)) return nullptr;
  PyObject* result = call();
  leave_c_call(ts);
  return result;
}
// callable is a builtin function (on the fast roads, any record that begins as one); arg
// may be null.
PyObject* call_cfunction(PyObject* callable, PyObject* arg) noexcept;
// A C function's entry called with self and arg (may be null) as call_cfunction calls it.
PyObject* call_c_entry(PyCFunction entry, PyObject* self, PyObject* arg) noexcept;
PyObject* call_with_tuple(PyObject* callable, PyObject* args) noexcept;
PyObject* call_array_via_tuple(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* get_module_global(PyObject* name, std::uint64_t* version, PyObject** value) noexcept;
PyObject* get_builtin(PyObject* name) noexcept;
// Null without an error when the attribute is missing.
PyObject* get_attr_quiet(PyObject* obj, PyObject* name) noexcept;
void clear_attribute_error() noexcept;
// Returns a borrowed reference, or null without an error (lookup errors are cleared).
PyObject* dict_get_quiet(PyObject* dict, PyObject* name) noexcept;

inline PyObject* get_attr_by_slot(PyObject* obj, PyObject* name) noexcept {
  getattrofunc f = type_getattro(Py_TYPE(obj));
  return f ? f(obj, name) : PyObject_GetAttr(obj, name);
}
inline int set_attr_by_slot(PyObject* obj, PyObject* name, PyObject* value) noexcept {
  setattrofunc f = type_setattro(Py_TYPE(obj));
  return f ? f(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

// The class attribute of name on tp (borrowed, null: none) with the version tag of tp it
// belongs to; *version is 0 when tp has no valid tag, or when the lookup itself changed tp
// (a key's comparison can run Python code), so that nothing is cached from it.
PyObject* versioned_type_lookup(PyTypeObject* tp, PyObject* name, unsigned int* version) noexcept;

// A cache in front of get_attr_by_slot for one attribute name: while an object's type is
// the cached one at the cached version (so that it still uses the generic attribute lookup
// and has no data descriptor of the name on its MRO, as it had when the cache was filled),
// the attribute is read from the object's own storage, as the generic lookup would find it
// there; every other case takes get_attr_by_slot. A version tag is never given to two types,
// so the tag alone tells the type (an empty cache, at 0, has no place to read).
struct AttrCache {
  PyTypeObject* type;    // borrowed; null while empty
  unsigned int version;  // the type's version tag when filled
  bool from_storage;     // no data descriptor of the name: the object's storage answers first
  StoragePlace place;    // where that storage keeps the name (nowhere when not from_storage)
};
// Fills the cache for tp (whose attribute lookup is the generic one) at its current version;
// false when nothing can be cached for it.
bool fill_attr_cache(PyTypeObject* tp, PyObject* name, AttrCache* cache) noexcept;
// What get_attr_cached does when the cached place cannot tell, or the cache is not for obj's
// type.
PyObject* get_attr_uncached(PyObject* obj, PyObject* name, AttrCache* cache) noexcept;

// get_attr_by_slot with the cache in front. Returns a new reference, or null with an error set.
inline PyObject* get_attr_cached(PyObject* obj, PyObject* name, AttrCache* cache) noexcept {
  if constexpr (kStableAbi) return PyObject_GetAttr(obj, name);  // nothing to check a cache by
  if (type_version(Py_TYPE(obj)) == cache->version) [[likely]]
    if (PyObject* found = read_at_place(obj, cache->place)) [[likely]] return Py_NewRef(found);
  return get_attr_uncached(obj, name, cache);
}

// Reads a module global through the site's cache: while the module dictionary's version
// is the cached one, one comparison answers (a cached miss goes straight to builtins).
// Returns a new reference.
inline PyObject* read_global(PyObject* name, GlobalCache* cache) noexcept {
  if (dict_version(state.module_dict) == cache->version) {
    if (cache->value) {
      Py_INCREF(cache->value);
      return cache->value;
    }
    return get_builtin(name);
  }
  return get_module_global(name, &cache->version, &cache->value);
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
