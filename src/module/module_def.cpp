// The exported entry, the module definition and its create step.
#include "module/module.h"

namespace tarn {

std::int64_t interpreter_id = -1;

namespace {

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},  // no module-level functions
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    /* m_name */ "queue",
    /* m_doc */ nullptr,
    /* m_size */ 0,
    /* m_methods */ module_methods,
    /* m_slots */ module_slots,
    /* m_traverse */ nullptr,
    /* m_clear */ nullptr,
    /* m_free */ nullptr,
};

// 0 when this interpreter may use the module; the first one to ask is recorded.
int check_interpreter() noexcept {
  std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter_id == -1) {
    interpreter_id = current;
    return current == -1 ? -1 : 0;
  }
  if (current == interpreter_id) return 0;
  PyErr_SetString(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
  return -1;
}

int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, int allow_none) noexcept {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (allow_none || value.get() != Py_None) return PyDict_SetItemString(dict, to, value.get());
  return 0;
}

// Returns a new reference to the module object (the recorded one after a successful exec).
PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
  if (check_interpreter() < 0) return nullptr;
  if (state.module) {
    Py_INCREF(state.module);
    return state.module;
  }
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  name.reset();
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());  // borrowed
  if (!dict) return nullptr;
  if (copy_spec_attr(spec, dict, "loader", "__loader__", 1) < 0 ||
      copy_spec_attr(spec, dict, "origin", "__file__", 1) < 0 ||
      copy_spec_attr(spec, dict, "parent", "__package__", 1) < 0 ||
      copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", 0) < 0)
    return nullptr;
  return module.release();
}

}  // namespace tarn

namespace tarn {
namespace {

// Can the module run on this interpreter? Only the stable ABI's binary, which every CPython
// from 3.2 on loads by its suffix, can be loaded by one it does not serve: it refuses an
// interpreter older than the version it is built for (its floor, whichever headers built it),
// with ImportError, before anything asks that interpreter for what it may not have.
bool runs_here() noexcept {
  if (!kStableAbi) return true;
  int major = 0;
  int minor = 0;
  if (read_major_minor(Py_GetVersion(), &major, &minor) && serves_version(major, minor)) return true;
  PyErr_Format(PyExc_ImportError,
               "corvessa.util.queue: this build (the stable ABI, queue.abi3.so) needs CPython %d.%d or later, "
               "not %d.%d",
               kBuiltForMajor, kBuiltForMinor, major, minor);
  return false;
}

}  // namespace
}  // namespace tarn

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_queue(void) {
  if (!tarn::runs_here()) return nullptr;
  return PyModuleDef_Init(&tarn::module_def);
}
