#include "embedded.h"

namespace tarn_test {

int import_embedded_module() {
  using tarn::Ref;
  if (!exec_python("import importlib.machinery")) return -1;
  Ref spec = Ref::steal(
      eval_python("importlib.machinery.ModuleSpec('corvessa.util.queue', None, origin='<embedded>')"));
  if (!spec) return -1;
  Ref package = Ref::steal(PyImport_ImportModule("corvessa.util"));
  if (!package) return -1;
  Ref module = Ref::steal(PyModule_FromDefAndSpec(&tarn::module_def, spec.get()));
  if (!module) return -1;
  if (PyModule_ExecDef(module.get(), &tarn::module_def) < 0) return -1;
  return PyObject_SetAttrString(package.get(), "queue", module.get());
}

bool exec_python(const char* code) {
  PyObject* main = PyImport_AddModule("__main__");  // borrowed
  PyObject* globals = PyModule_GetDict(main);
  tarn::Ref result = tarn::Ref::steal(PyRun_String(code, Py_file_input, globals, globals));
  if (!result) {
    PyErr_Print();
    return false;
  }
  return true;
}

PyObject* eval_python(const char* expr) {
  PyObject* main = PyImport_AddModule("__main__");
  PyObject* globals = PyModule_GetDict(main);
  return PyRun_String(expr, Py_eval_input, globals, globals);
}

std::string str_of(PyObject* obj) {
  if (!obj) return "<null>";
  tarn::Ref s = tarn::Ref::steal(PyObject_Str(obj));
  if (!s) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return PyUnicode_AsUTF8(s.get());
}

tarn::Ref tuple_of(std::initializer_list<PyObject*> items) {
  tarn::Ref t = tarn::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* item : items) {
    Py_INCREF(item);
    PyTuple_SET_ITEM(t.get(), i++, item);
  }
  return t;
}

std::string pending_error() {
  if (!PyErr_Occurred()) return "";
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  std::string text = reinterpret_cast<PyTypeObject*>(type)->tp_name;
  text += ": " + str_of(value);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return text;
}

}  // namespace tarn_test
