// Module definition and start-up: the Identifier table, the module definition with its
// create and exec steps, and the module's imports.
#ifndef TARN_MODULE_MODULE_H
#define TARN_MODULE_MODULE_H

#include "runtime/runtime.h"

#include <cstdint>

namespace tarn {

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
// Reads "<major>.<minor>" at the start of a version string; false when there is none.
bool read_major_minor(const char* s, int* major, int* minor) noexcept;
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

}  // namespace tarn

#endif  // TARN_MODULE_MODULE_H
