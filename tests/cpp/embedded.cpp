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

std::string error_with_entry() {
  if (!PyErr_Occurred()) return "";
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  std::string where;
  if (tb) {
    auto* entry = reinterpret_cast<PyTracebackObject*>(tb);
    PyCodeObject* code = frame_code(entry->tb_frame);
    where = std::string(" @ ") + PyUnicode_AsUTF8(code->co_name) + ":" + std::to_string(tb_lineno(entry));
  }
  PyErr_Restore(type, value, tb);
  return pending_error() + where;
}

PyObject* raised_value(PyThreadState* ts) {
#if PY_VERSION_HEX < 0x030C0000
  return ts->curexc_value;
#else
  return ts->current_exception;
#endif
}

PyObject* raised_traceback(PyThreadState* ts) {
#if PY_VERSION_HEX < 0x030C0000
  return ts->curexc_traceback;
#else
  PyObject* exc = ts->current_exception;
  return exc ? reinterpret_cast<PyBaseExceptionObject*>(exc)->traceback : nullptr;
#endif
}

tarn::Ref raised_value_for(PyObject* type, const char* text) {
  tarn::Ref value = tarn::Ref::steal(PyUnicode_FromString(text));
#if PY_VERSION_HEX >= 0x030C0000
  value = tarn::Ref::steal(PyObject_CallOneArg(type, value.get()));
#else
  (void)type;
#endif
  return value;
}

PyCodeObject* frame_code(PyFrameObject* frame) {
#if PY_VERSION_HEX < 0x03090000
  return frame->f_code;
#else
  PyCodeObject* code = PyFrame_GetCode(frame);
  Py_DECREF(code);  // the frame keeps it
  return code;
#endif
}

PyObject* frame_globals(PyFrameObject* frame) {
#if PY_VERSION_HEX < 0x030B0000
  return frame->f_globals;
#else
  PyObject* globals = PyFrame_GetGlobals(frame);
  Py_DECREF(globals);  // the frame keeps them
  return globals;
#endif
}

int tb_lineno(PyTracebackObject* tb) {
  // Asked while the exception the entry belongs to is in flight: kept aside meanwhile, as
  // the interpreter's lookups may not run with an error set.
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  tarn::Ref line = tarn::Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(tb), "tb_lineno"));
  int result = line ? static_cast<int>(PyLong_AsLong(line.get())) : -2;
  line.reset();
  PyErr_Restore(type, value, trace);
  return result;
}

bool gc_is_tracked(PyObject* op) {
#if PY_VERSION_HEX < 0x03090000
  return _PyObject_GC_IS_TRACKED(op);
#else
  return PyObject_GC_IsTracked(op);
#endif
}

bool is_immortal(PyObject* op) {
#if PY_VERSION_HEX < 0x030C0000
  (void)op;
  return false;
#else
  return _Py_IsImmortal(op);
#endif
}

tarn::Ref weakref_target(PyObject* ref) { return tarn::Ref::steal(PyObject_CallObject(ref, nullptr)); }

std::string recursion_refused() {
  return PY_VERSION_HEX < 0x030E0000
             ? "RecursionError: maximum recursion depth exceeded while calling a Python object"
             : "RecursionError: Stack overflow (used N kB) while calling a Python object";
}

std::string stack_use_hidden(std::string text) {
  std::size_t at = text.find("(used ");
  std::size_t end = at == std::string::npos ? at : text.find(" kB)", at);
  if (end != std::string::npos) text.replace(at + 6, end - at - 6, "N");
  return text;
}

extern "C" std::uintptr_t tarn_swap_stack_soft_limit(PyThreadState* ts, int at_limit, std::uintptr_t limit);

AtRecursionLimit::AtRecursionLimit() : ts_(PyThreadState_Get()) {
#if PY_VERSION_HEX < 0x030B0000
  saved_ = ts_->recursion_depth;
  ts_->recursion_depth = Py_GetRecursionLimit();
#elif PY_VERSION_HEX < 0x030C0000
  saved_ = ts_->recursion_remaining;
  ts_->recursion_remaining = -1;  // no room left, whichever comparison the guard makes
#elif PY_VERSION_HEX < 0x030E0000
  saved_ = ts_->c_recursion_remaining;
  ts_->c_recursion_remaining = -1;
#else
  saved_ = 0;  // no count: the limit is the machine stack's
  saved_stack_limit_ = tarn_swap_stack_soft_limit(ts_, 1, 0);
#endif
}

AtRecursionLimit::~AtRecursionLimit() {
#if PY_VERSION_HEX < 0x030B0000
  ts_->recursion_depth = saved_;
#elif PY_VERSION_HEX < 0x030C0000
  ts_->recursion_remaining = saved_;
#elif PY_VERSION_HEX < 0x030E0000
  ts_->c_recursion_remaining = saved_;
#else
  tarn_swap_stack_soft_limit(ts_, 0, saved_stack_limit_);
#endif
#if PY_VERSION_HEX < 0x03090000
  ts_->overflowed = 0;
#endif
}

int AtRecursionLimit::count() const {
#if PY_VERSION_HEX < 0x030B0000
  return ts_->recursion_depth;
#elif PY_VERSION_HEX < 0x030C0000
  return ts_->recursion_remaining;
#elif PY_VERSION_HEX < 0x030E0000
  return ts_->c_recursion_remaining;
#else
  return saved_;
#endif
}

}  // namespace tarn_test
