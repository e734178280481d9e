// The LifoQueue class: its construction, the bodies of its four hooks with their list,
// set and method-call fast paths, and the binding of their arguments.
#ifndef TARN_LIFOQUEUE_LIFOQUEUE_H
#define TARN_LIFOQUEUE_LIFOQUEUE_H

#include "function/function.h"

#include <cstdint>

namespace tarn {

// One cached unbound method of a built-in type.
struct CachedMethod {
  PyTypeObject* type;  // borrowed
  PyObject** name;     // the Identifier slot holding the method's name
  PyCFunction entry;   // ml_meth, or null until resolved
  PyObject* method;    // owned, null before the first resolution
  std::int32_t flags;  // ml_flags without METH_CLASS, METH_STATIC, METH_COEXIST
};
extern CachedMethod list_pop_cache;
extern GlobalCache init_collections_cache;

// A method of one type whose C function the bodies call directly: while an object's type is
// the cached one at the cached version, that type uses the generic attribute lookup and gives
// its instances no attributes of their own, and the method found on it is a method
// descriptor of the type's own class or a base, with a plain C calling convention for the
// call's arguments. Every other case takes call_method0 or call_method1; exact lists and sets,
// which have fast paths of their own, are never cached. When nothing can change the type's
// attributes or those of its bases (built-in types such as collections.deque), its version
// cannot change either, and the type alone is checked (the cache holds the type, so that no
// other can be made in its place). The stable ABI, which has no version tags, keeps only
// such types; it reads the C function from the built-in method the descriptor binds.
struct TypeMethodCache {
  PyTypeObject* fixed;   // owned; the filled type when its attributes are fixed and its C function is
                         // METH_O or METH_NOARGS (called with obj and the argument or null as it is)
  PyCFunction entry;     // the C function of the filled type's method; null: none to call directly
  int flags;             // METH_O, METH_NOARGS or METH_FASTCALL
  PyTypeObject* type;    // borrowed; the type it was last filled for (null while empty)
  unsigned int version;  // that type's version tag then
};
extern TypeMethodCache append_cache, pop_cache;
// The fetch of self.queue in the bodies.
extern AttrCache queue_attr_cache;

// The defaults block of _qsize.
struct QsizeDefaults {
  PyObject* len;
};
// The defaults block of a _qsize function object, or null when it has none.
inline QsizeDefaults* qsize_defaults(PyObject* function) noexcept {
  return static_cast<QsizeDefaults*>(as_function(function)->defaults_block);
}

extern PyMethodDef init_def, qsize_def, put_def, get_def;

// The names under which the hooks' failures enter tracebacks (binder and body alike).
constexpr const char kInitName[] = "corvessa.util.queue.LifoQueue._init";
constexpr const char kQsizeName[] = "corvessa.util.queue.LifoQueue._qsize";
constexpr const char kPutName[] = "corvessa.util.queue.LifoQueue._put";
constexpr const char kGetName[] = "corvessa.util.queue.LifoQueue._get";

// Bodies: return new references, or null with an error set (traceback entry added).
PyObject* init_body(PyObject* self) noexcept;
PyObject* qsize_body(PyObject* self, PyObject* len) noexcept;
PyObject* put_body(PyObject* self, PyObject* item) noexcept;
PyObject* get_body(PyObject* self) noexcept;
PyObject* qsize_defaults_getter(PyObject* function) noexcept;

// Fast paths (no traceback entries; status 0 / -1 or new reference / null).
int list_append_fast(PyObject* list, PyObject* item) noexcept;
PyObject* list_pop_fast(PyObject* list) noexcept;
PyObject* call_cached_method0(CachedMethod* cache, PyObject* self) noexcept;
PyObject* call_cached_method0_slow(CachedMethod* cache, PyObject* self) noexcept;
// Finds the method on the cache's type, and its C function as bound to self, an instance.
int resolve_cached_method(CachedMethod* cache, PyObject* self) noexcept;
PyObject* call_method0(PyObject* obj, PyObject* name) noexcept;
PyObject* call_method1(PyObject* obj, PyObject* name, PyObject* arg) noexcept;
// A METH_FASTCALL C function called with obj and arg (null: none).
PyObject* call_fastcall(PyCFunction entry, PyObject* obj, PyObject* arg) noexcept;

// call_method_cached for an object the cache is not for, or whose method it cannot call.
PyObject* call_method_uncached(TypeMethodCache* cache, PyObject* obj, PyObject* name, PyObject* arg) noexcept;

// The cached method's C function called with obj and arg (null: none).
inline PyObject* call_cached_entry(const TypeMethodCache& cache, PyObject* obj, PyObject* arg) noexcept {
  return guarded_c_call([&] {
    return cache.flags == METH_FASTCALL ? call_fastcall(cache.entry, obj, arg) : cache.entry(obj, arg);
  });
}

// Is obj's type the cache's fixed one, whose C function (with obj and arg) it calls?
inline bool cache_calls(const TypeMethodCache& cache, PyObject* obj) noexcept { return Py_TYPE(obj) == cache.fixed; }
inline PyObject* call_fixed_entry(const TypeMethodCache& cache, PyObject* obj, PyObject* arg) noexcept {
  return guarded_c_call([&] { return cache.entry(obj, arg); });
}

// call_method0 (arg null) or call_method1 with the type's method cache in front.
inline PyObject* call_method_cached(TypeMethodCache* cache, PyObject* obj, PyObject* name, PyObject* arg) noexcept {
  if (cache_calls(*cache, obj)) return call_fixed_entry(*cache, obj, arg);
  return call_method_uncached(cache, obj, name, arg);
}

// The vectorcall entries of the hooks' function objects.
PyObject* init_entry(PyObject* func, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept;
PyObject* qsize_entry(PyObject* func, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept;
PyObject* put_entry(PyObject* func, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept;
PyObject* get_entry(PyObject* func, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept;

// Binders (the entry points of the four method definitions).
PyObject* init_binder(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* qsize_binder(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* put_binder(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* get_binder(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Binding helpers.
PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) noexcept;
int parse_keywords(PyObject* keywords, PyObject* const* kwvalues, PyObject** const* params,
                   PyObject** values, Py_ssize_t nargs, const char* method_name) noexcept;
PyObject* raise_arg_count(const char* method_name, int exact, Py_ssize_t min, Py_ssize_t max,
                          Py_ssize_t given) noexcept;
void raise_duplicate_keyword(const char* method_name, PyObject* key) noexcept;
int unicode_equals(PyObject* a, PyObject* b) noexcept;
int is_true(PyObject* x) noexcept;

// Class construction.
int build_lifoqueue_class(ErrorPos* pos) noexcept;
PyObject* calculate_metaclass(PyObject* bases) noexcept;
PyObject* prepare_namespace(PyObject* metaclass, PyObject* bases) noexcept;
int set_in_namespace(PyObject* ns, PyObject* name, PyObject* value) noexcept;
PyObject* create_class(PyObject* metaclass, PyObject* bases, PyObject* ns) noexcept;

}  // namespace tarn

#endif  // TARN_LIFOQUEUE_LIFOQUEUE_H
