// The exec step: Module state, Identifier table, version check, code objects, and the
// module body statement by statement.
#include "function/function.h"
#include "lifoqueue/lifoqueue.h"
#include "module/module.h"

#include <cstring>

namespace tarn {

static constexpr int tarn_line_base = 20000;

ModuleState state;

namespace {

constexpr const char kModuleName[] = "corvessa.util.queue";
constexpr const char kExecFunctionName[] = "init corvessa.util.queue";

constexpr IdentifierRecord identifier(PyObject** target, const char* chars, std::int64_t size, bool intern) {
  return IdentifierRecord{target, chars, size, nullptr, 0, 1, static_cast<std::int8_t>(intern ? 1 : 0)};
}
#define TARN_ID(field, text) identifier(&state.ids.field, text, sizeof(text), true)

GlobalCache six_cache;  // the global read of `six` at line 5

}  // namespace

const IdentifierRecord identifier_table[] = {
    TARN_ID(underscore, "_"),
    TARN_ID(LifoQueue, "LifoQueue"),
    TARN_ID(qualname_get, "LifoQueue._get"),
    TARN_ID(qualname_init, "LifoQueue._init"),
    TARN_ID(qualname_put, "LifoQueue._put"),
    TARN_ID(qualname_qsize, "LifoQueue._qsize"),
    TARN_ID(PY2, "PY2"),
    TARN_ID(Queue, "Queue"),
    TARN_ID(append, "append"),
    TARN_ID(cline_in_traceback, "cline_in_traceback"),
    TARN_ID(collections, "collections"),
    TARN_ID(deque, "deque"),
    TARN_ID(name_get, "_get"),
    TARN_ID(module_name, kModuleName),
    identifier(&state.ids.code_filename, "corvessa\\util\\queue.py", sizeof("corvessa\\util\\queue.py"), false),
    TARN_ID(name_init, "_init"),
    TARN_ID(initializing, "_initializing"),
    TARN_ID(item, "item"),
    TARN_ID(len, "len"),
    TARN_ID(dunder_module, "__module__"),
    TARN_ID(packages, "packages"),
    TARN_ID(packages_six_moves, "packages.six.moves"),
    TARN_ID(pop, "pop"),
    TARN_ID(dunder_prepare, "__prepare__"),
    TARN_ID(name_put, "_put"),
    TARN_ID(name_qsize, "_qsize"),
    TARN_ID(dunder_qualname, "__qualname__"),
    TARN_ID(queue, "queue"),
    TARN_ID(self, "self"),
    TARN_ID(six, "six"),
    TARN_ID(dunder_spec, "__spec__"),
    TARN_ID(dunder_test, "__test__"),
    TARN_ID(unused_module_Queue, "_unused_module_Queue"),
    {nullptr, nullptr, 0, nullptr, 0, 0, 0},
};
#undef TARN_ID
static_assert(sizeof(identifier_table) / sizeof(identifier_table[0]) == kIdentifierCount + 1,
              "one record per identifier plus the terminator");

int init_identifiers() noexcept {
  for (const IdentifierRecord* r = identifier_table; r->target; ++r) {
    PyObject* s;
    if (!r->unicode_flag && !r->native_str_flag)
      s = PyBytes_FromStringAndSize(r->chars, r->size - 1);
    else if (r->intern_flag)
      s = PyUnicode_InternFromString(r->chars);
    else if (r->encoding)
      s = PyUnicode_Decode(r->chars, r->size - 1, r->encoding, nullptr);
    else
      s = PyUnicode_FromStringAndSize(r->chars, r->size - 1);
    *r->target = s;
    if (!s) return -1;
    (void)PyObject_Hash(s);  // cached in the string for every later dictionary operation
  }
  return 0;
}

namespace {

// Reads a decimal number of at most four digits at *s and moves past it; false when none.
bool read_number(const char** s, int* out) noexcept {
  int n = 0;
  int digits = 0;
  for (; **s >= '0' && **s <= '9' && digits < 4; ++*s, ++digits) n = n * 10 + (**s - '0');
  *out = n;
  return digits > 0;
}

}  // namespace

bool read_major_minor(const char* s, int* major, int* minor) noexcept {
  return read_number(&s, major) && *s++ == '.' && read_number(&s, minor);
}

namespace {

// Compares a run-time version string with the version built for, and writes both as the
// warning shows them; true when they match.
bool same_version(const char* runtime_version, char (&compiled)[8], char (&running)[8]) noexcept {
  if constexpr (!kVersionCheckByNumbers) {
    // Characters 0 and 2 of the first three: every micro release matches.
    PyOS_snprintf(compiled, 4, "%d.%d", kBuiltForMajor, kBuiltForMinor);
    PyOS_snprintf(running, 4, "%s", runtime_version);
    return compiled[0] == running[0] && compiled[2] == running[2];
  } else {
    PyOS_snprintf(compiled, sizeof(compiled), "%d.%d", kBuiltForMajor, kBuiltForMinor);
    int major = -1;
    int minor = -1;
    if (read_major_minor(runtime_version, &major, &minor)) {
      PyOS_snprintf(running, sizeof(running), "%d.%d", major, minor);
    } else {
      major = minor = -1;
      PyOS_snprintf(running, sizeof(running), "%s", runtime_version);
    }
    return serves_version(major, minor);
  }
}

}  // namespace

int check_version_against(const char* runtime_version) noexcept {
  char compiled[8];
  char running[8];
  if (same_version(runtime_version, compiled, running)) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof(message),
                "compiletime version %s of module '%.100s' does not match runtime version %s", compiled,
                kModuleName, running);
  return PyErr_WarnEx(nullptr, message, 1) < 0 ? -1 : 0;
}

int check_version() noexcept { return check_version_against(Py_GetVersion()); }

namespace {

// Builds one method's variable-name tuple and code object into the Module state.
int make_method_code(PyObject** varnames_slot, PyObject** code_slot, PyObject* varnames, PyObject* name,
                     PyObject* qualname, int argcount, int firstlineno) noexcept {
  *varnames_slot = varnames;
  if (!varnames) return -1;
  *code_slot = new_function_code(argcount, varnames, state.ids.code_filename, name, qualname, firstlineno,
                                 state.empty_tuple, state.empty_bytes);
  return *code_slot ? 0 : -1;
}

}  // namespace

int init_code_objects() noexcept {
  const Identifiers& id = state.ids;
  if (make_method_code(&state.init_varnames, &state.init_code, PyTuple_Pack(2, id.self, id.underscore),
                       id.name_init, id.qualname_init, 2, 11) < 0 ||
      make_method_code(&state.qsize_varnames, &state.qsize_code, PyTuple_Pack(2, id.self, id.len),
                       id.name_qsize, id.qualname_qsize, 2, 14) < 0 ||
      make_method_code(&state.put_varnames, &state.put_code, PyTuple_Pack(2, id.self, id.item),
                       id.name_put, id.qualname_put, 2, 17) < 0 ||
      make_method_code(&state.get_varnames, &state.get_code, PyTuple_Pack(1, id.self), id.name_get,
                       id.qualname_get, 1, 20) < 0)
    return -1;
  return 0;
}

namespace {

// Stores a new reference in a Module state slot; false (error set) when it is null.
bool keep(PyObject** slot, PyObject* borrowed) noexcept {
  *slot = borrowed;
  if (!borrowed) return false;
  Py_INCREF(borrowed);
  return true;
}

// The failure path of the exec step: one traceback entry once the module dictionary is
// known, then the module is forgotten so that a later import starts afresh.
int exec_failed(ErrorPos pos) noexcept {
  if (state.module_dict) add_traceback(kExecFunctionName, pos);
  Py_CLEAR(state.module);
  return -1;
}

// `if six.PY2:` (line 5). Returns 1, 0, or -1 with an error set.
int six_is_py2() noexcept {
  Ref six = Ref::steal(read_global(state.ids.six, &six_cache));
  if (!six) return -1;
  Ref py2 = Ref::steal(get_attr_by_slot(six.get(), state.ids.PY2));
  if (!py2) return -1;
  return is_true(py2.get());
}

}  // namespace

int module_exec(PyObject* module) noexcept {
  if (state.module) {
    if (state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'queue' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  Py_INCREF(module);
  state.module = module;

  if (!keep(&state.module_dict, PyModule_GetDict(module))) return exec_failed({TARN_SITE, 1});
  if (!keep(&state.builtins_module, PyImport_AddModule("builtins"))) return exec_failed({TARN_SITE, 1});
  if (!keep(&state.runtime_module, PyImport_AddModule("tarn_runtime"))) return exec_failed({TARN_SITE, 1});
  // The two dictionaries whose reads the module caches.
  watch_dict(state.module_dict);
  if (PyObject* runtime_dict = instance_dict(state.runtime_module)) watch_dict(runtime_dict);
  if (PyObject_SetAttrString(module, "__builtins__", state.builtins_module) < 0)
    return exec_failed({TARN_SITE, 1});
  if (check_version() < 0) return exec_failed({TARN_SITE, 1});
  if (!(state.empty_tuple = PyTuple_New(0))) return exec_failed({TARN_SITE, 1});
  if (!(state.empty_bytes = PyBytes_FromStringAndSize("", 0))) return exec_failed({TARN_SITE, 1});
  if (fetch_shared_function_type() < 0) return exec_failed({TARN_SITE, 1});

  list_pop_cache.type = &PyList_Type;
  list_pop_cache.name = &state.ids.pop;
  if (init_identifiers() < 0) return exec_failed({TARN_SITE, 1});

  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (!modules) return exec_failed({TARN_SITE, 1});
  // Looked up by the identifier: no key to make, and a failing lookup is the step's error
  // (a lookup by C string reports it as unraisable from 3.14 on, and goes on).
  if (!PyDict_GetItemWithError(modules, state.ids.module_name)) {
    if (PyErr_Occurred()) return exec_failed({TARN_SITE, 1});
    if (PyDict_SetItem(modules, state.ids.module_name, module) < 0) return exec_failed({TARN_SITE, 1});
  }

  if (init_code_objects() < 0) return exec_failed({TARN_SITE, 1});

  ErrorPos pos;
  if (run_module_imports(&pos) < 0) return exec_failed(pos);

  int py2 = six_is_py2();
  if (py2 < 0) return exec_failed({TARN_SITE, 5});
  if (py2) {
    Ref queue2 = Ref::steal(import_module(state.ids.Queue));
    if (!queue2) return exec_failed({TARN_SITE, 7});
    if (PyDict_SetItem(state.module_dict, state.ids.unused_module_Queue, queue2.get()) < 0)
      return exec_failed({TARN_SITE, 7});
  }

  if (build_lifoqueue_class(&pos) < 0) return exec_failed(pos);

  Ref test = Ref::steal(PyDict_New());
  if (!test) return exec_failed({TARN_SITE, 1});
  if (PyDict_SetItem(state.module_dict, state.ids.dunder_test, test.get()) < 0) return exec_failed({TARN_SITE, 1});
  return 0;
}

}  // namespace tarn
