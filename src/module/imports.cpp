// The module body's imports.
#include "lifoqueue/lifoqueue.h"
#include "module/module.h"

namespace tarn {

static constexpr int tarn_line_base = 30000;

namespace {

// Is a module found in sys.modules still being initialised? 1 or 0; an error in asking
// counts as 0, or from 3.13 on fails the import as the import statement does (-1, the error
// set). A failing truth test counts as 1 until then (the import machinery asks again).
int still_initializing(PyObject* module) noexcept {
  Ref spec = Ref::steal(get_attr_quiet(module, state.ids.dunder_spec));
  if (!spec) return import_fails_when_spec_fails() && PyErr_Occurred() ? -1 : 0;
  Ref flag = Ref::steal(get_attr_quiet(spec.get(), state.ids.initializing));
  if (!flag) return import_fails_when_spec_fails() && PyErr_Occurred() ? -1 : 0;
  int initializing = is_true(flag.get());
  return initializing < 0 && !import_fails_when_spec_fails() ? 1 : initializing;
}

// The entry of sys.modules under name (a new reference), or null, with an error set only
// when the lookup failed. Unlike PyImport_GetModule from 3.9 on, it does not wait for a module
// being initialised: the import machinery does that once, when the module is taken from it.
PyObject* sys_modules_entry(PyObject* name) noexcept {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (!modules) {
    PyErr_SetString(PyExc_RuntimeError, "unable to get sys.modules");
    return nullptr;
  }
  Ref hold = Ref::borrow(modules);
  if (PyDict_CheckExact(modules)) return Ref::borrow(PyDict_GetItemWithError(modules, name)).release();
  PyObject* found = PyObject_GetItem(modules, name);
  if (!found && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
  return found;
}

}  // namespace

PyObject* import_module(PyObject* name) noexcept {
  Ref found = Ref::steal(sys_modules_entry(name));
  if (found) {
    int initializing = still_initializing(found.get());
    if (initializing < 0) return nullptr;
    if (!initializing) {
      PyErr_Clear();
      return found.release();
    }
    found.reset();
  }
  // Not there, or half done: the import machinery deals with it. A pending error from
  // the lookup or from the truth test is dropped first.
  PyErr_Clear();
  return import_level(name, nullptr, 0);
}

PyObject* import_level(PyObject* name, PyObject* fromlist, int level) noexcept {
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return nullptr;
  return PyImport_ImportModuleLevelObject(name, state.module_dict, locals.get(), fromlist, level);
}

PyObject* import_from(PyObject* module, PyObject* name) noexcept {
  PyObject* value = get_attr_by_slot(module, name);
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError))
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  return value;
}

namespace {

// `from ..<package> import <name>`, stored under name. 0, or -1 with an error set.
int import_from_package(PyObject* package_name, PyObject* name) noexcept {
  Ref fromlist = Ref::steal(PyList_New(1));
  if (!fromlist) return -1;
  Py_INCREF(name);
  PyList_SET_ITEM(fromlist.get(), 0, name);
  Ref package = Ref::steal(import_level(package_name, fromlist.get(), 2));
  fromlist.reset();
  if (!package) return -1;
  Ref value = Ref::steal(import_from(package.get(), name));
  if (!value) return -1;
  return PyDict_SetItem(state.module_dict, name, value.get());
}

}  // namespace

int run_module_imports(ErrorPos* pos) noexcept {
  const Identifiers& id = state.ids;
  {
    Ref collections = Ref::steal(import_module(id.collections));
    if (!collections) return *pos = {TARN_SITE, 1}, -1;
    if (PyDict_SetItem(state.module_dict, id.collections, collections.get()) < 0)
      return *pos = {TARN_SITE, 1}, -1;
  }
  if (import_from_package(id.packages, id.six) < 0) return *pos = {TARN_SITE, 2}, -1;
  if (import_from_package(id.packages_six_moves, id.queue) < 0) return *pos = {TARN_SITE, 3}, -1;
  return 0;
}

}  // namespace tarn
