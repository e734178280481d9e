// Module definition and start-up: the process-wide Module state, the Identifier table,
// the module definition with its create and exec steps, and the module's imports.
#ifndef TARN_MODULE_MODULE_H
#define TARN_MODULE_MODULE_H

#include "runtime/runtime.h"

#include <cstdint>

namespace tarn {

// The strings the module uses as names, qualified names and file name. All but
// code_filename are interned; every one is hashed once at creation.
struct Identifiers {
  PyObject* underscore;           // "_"
  PyObject* LifoQueue;            // "LifoQueue"
  PyObject* qualname_get;         // "LifoQueue._get"
  PyObject* qualname_init;        // "LifoQueue._init"
  PyObject* qualname_put;         // "LifoQueue._put"
  PyObject* qualname_qsize;       // "LifoQueue._qsize"
  PyObject* PY2;                  // "PY2"
  PyObject* Queue;                // "Queue"
  PyObject* append;               // "append"
  PyObject* cline_in_traceback;   // "cline_in_traceback"
  PyObject* collections;          // "collections"
  PyObject* deque;                // "deque"
  PyObject* name_get;             // "_get"
  PyObject* module_name;          // "corvessa.util.queue"
  PyObject* code_filename;        // "corvessa\util\queue.py" (not interned)
  PyObject* name_init;            // "_init"
  PyObject* initializing;         // "_initializing"
  PyObject* item;                 // "item"
  PyObject* len;                  // "len"
  PyObject* dunder_module;        // "__module__"
  PyObject* packages;             // "packages"
  PyObject* packages_six_moves;   // "packages.six.moves"
  PyObject* pop;                  // "pop"
  PyObject* dunder_prepare;       // "__prepare__"
  PyObject* name_put;             // "_put"
  PyObject* name_qsize;           // "_qsize"
  PyObject* dunder_qualname;      // "__qualname__"
  PyObject* queue;                // "queue"
  PyObject* self;                 // "self"
  PyObject* six;                  // "six"
  PyObject* dunder_spec;          // "__spec__"
  PyObject* dunder_test;          // "__test__"
  PyObject* unused_module_Queue;  // "_unused_module_Queue"
};

// One record of the Identifier table.
struct IdentifierRecord {
  PyObject** target;
  const char* chars;
  std::int64_t size;  // bytes of chars including the terminating NUL
  const char* encoding;
  std::int8_t unicode_flag;
  std::int8_t native_str_flag;
  std::int8_t intern_flag;
};

// The process-wide Module state. Filled by the exec step and never released (apart
// from module, which a failed exec step forgets).
struct ModuleState {
  PyObject* module;
  PyObject* module_dict;
  PyObject* builtins_module;
  PyObject* runtime_module;  // the module tarn_runtime
  PyObject* empty_tuple;
  PyObject* empty_bytes;
  PyTypeObject* function_type;
  Identifiers ids;
  PyObject* init_varnames;
  PyObject* qsize_varnames;
  PyObject* put_varnames;
  PyObject* get_varnames;
  PyObject* init_code;
  PyObject* qsize_code;
  PyObject* put_code;
  PyObject* get_code;
};

extern ModuleState state;
extern std::int64_t interpreter_id;  // -1 until the first create step records one
extern PyModuleDef module_def;
extern const IdentifierRecord identifier_table[];
constexpr int kIdentifierCount = 33;

// Module definition and creation.
PyObject* module_create(PyObject* spec, PyModuleDef* def) noexcept;
int check_interpreter() noexcept;
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, int allow_none) noexcept;

// Module execution.
int module_exec(PyObject* module) noexcept;
int init_identifiers() noexcept;
int check_version() noexcept;
// The comparison and warning of check_version for a given run-time version string.
int check_version_against(const char* runtime_version) noexcept;
int init_code_objects() noexcept;

// Module imports. Each returns a new reference, or null with an error set.
PyObject* import_module(PyObject* name) noexcept;
PyObject* import_level(PyObject* name, PyObject* fromlist, int level) noexcept;
PyObject* import_from(PyObject* module, PyObject* name) noexcept;

// The module body's first three import statements (source lines 1 to 3). Returns 0, or -1 with an
// error set and *pos naming the failing site.
int run_module_imports(ErrorPos* pos) noexcept;

// Reads a module global through the site's cache: while the module dictionary's version
// is the cached one, one comparison answers (a cached miss goes straight to builtins).
// Returns a new reference.
inline PyObject* read_global(PyObject* name, GlobalCache* cache) noexcept {
  if (reinterpret_cast<PyDictObject*>(state.module_dict)->ma_version_tag == cache->version) {
    if (cache->value) {
      Py_INCREF(cache->value);
      return cache->value;
    }
    return get_builtin(name);
  }
  return get_module_global(name, &cache->version, &cache->value);
}

}  // namespace tarn

#endif  // TARN_MODULE_MODULE_H
