// Function objects: the TarnFunction record and its type tarn_function_or_method, the
// call entries, and the registration of the type shared through _tarn_3_0a5.
#ifndef TARN_FUNCTION_FUNCTION_H
#define TARN_FUNCTION_FUNCTION_H

#include "runtime/runtime.h"

#include <cstddef>
#include <cstdint>

namespace tarn {

// Function flags: the one test made of them is (flags & 5) == 4.
constexpr int FLAG_STATIC = 1;
constexpr int FLAG_CLASS_BOUND = 4;

struct TarnFunction;
// Builds the values of the two defaults caches: returns a new reference to a
// (positional defaults, keyword defaults) tuple, or null with an error set.
using DefaultsProvider = PyObject* (*)(PyObject* function);

// The instance record. Its first fields are those of PyCFunctionObject.
struct TarnFunction {
  PyObject_HEAD
  PyMethodDef* m_ml;
  PyObject* m_self;  // not a counted reference: the object itself
  PyObject* m_module;
  PyObject* m_weakreflist;
  vectorcallfunc vectorcall;
  PyObject* dict;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* globals;
  PyObject* code;
  PyObject* self_ref;
  PyObject* reserved_ref;
  void* defaults_block;
  std::int32_t defaults_object_count;
  std::size_t defaults_block_size;
  std::int32_t flags;
  PyObject* positional_defaults;
  PyObject* keyword_defaults;
  DefaultsProvider defaults_provider;
  PyObject* annotations;
};

inline TarnFunction* as_function(PyObject* op) noexcept { return reinterpret_cast<TarnFunction*>(op); }
inline bool is_class_bound(const TarnFunction* f) noexcept { return (f->flags & 5) == 4; }

// The name of the type, and the attribute of _tarn_3_0a5 under which the modules of this
// runtime version share it: the stable ABI's record is a type of its own, shared apart.
constexpr const char kFunctionTypeName[] = "tarn_function_or_method";
constexpr const char* kSharedTypeKey = kStableAbi ? "tarn_function_or_method_abi3" : kFunctionTypeName;

// The module's own type object, made (readied) on first call, or null with an error set;
// function_type (Module state) is this one or the one another module published first. Where
// the type is a static object (not on the stable ABI), tarn_function_type is that object.
PyTypeObject* own_function_type() noexcept;
extern PyTypeObject tarn_function_type;

// Returns a new function object, or null with an error set.
PyObject* function_object_new(PyMethodDef* ml, int flags, PyObject* qualname, PyObject* self_ref,
                              PyObject* module, PyObject* globals, PyObject* code) noexcept;
// Returns the zero-filled block, or null with MemoryError set.
void* init_defaults_block(PyObject* function, std::size_t size, int object_count) noexcept;

// Call entries and the classic call path.
PyObject* call_entry_fastcall_kw(PyObject* func, PyObject* const* args, std::size_t nargsf,
                                 PyObject* kwnames) noexcept;
PyObject* call_entry_one_arg(PyObject* func, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) noexcept;
PyObject* call_entry_noargs(PyObject* func, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) noexcept;
PyObject* function_call(PyObject* func, PyObject* args, PyObject* kwargs) noexcept;  // tp_call
PyObject* vectorcall_from_dict(PyObject* func, vectorcallfunc entry, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwargs) noexcept;
PyObject* call_by_method_flags(PyObject* func, PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// Sets state.function_type to the shared type; 0, or -1 with an error set.
int fetch_shared_function_type() noexcept;

}  // namespace tarn

#endif  // TARN_FUNCTION_FUNCTION_H
