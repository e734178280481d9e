// `class LifoQueue(queue.Queue)` and its four `def` statements, through the
// interpreter's class-creation protocol.
#include "lifoqueue/lifoqueue.h"

namespace tarn {

static constexpr int tarn_line_base = 120000;

namespace {

GlobalCache queue_cache;  // the global read of `queue` at line 10

// Returns a new function object of this module for one of the four hooks, called through
// the hook's own entry.
PyObject* new_method(PyMethodDef* def, vectorcallfunc entry, PyObject* qualname, PyObject* code) noexcept {
  PyObject* function = function_object_new(def, 0, qualname, nullptr, state.ids.module_name, state.module_dict, code);
  if (function) as_function(function)->vectorcall = entry;
  return function;
}

// Creates a hook's function object and stores it in the namespace; 0 or -1.
int add_method(PyObject* ns, PyMethodDef* def, vectorcallfunc entry, PyObject* name, PyObject* qualname,
               PyObject* code) noexcept {
  Ref function = Ref::steal(new_method(def, entry, qualname, code));
  if (!function) return -1;
  return set_in_namespace(ns, name, function.get());
}

// `def _qsize(self, len=len)`: the function object with its defaults block.
int add_qsize(PyObject* ns) noexcept {
  Ref function = Ref::steal(new_method(&qsize_def, qsize_entry, state.ids.qualname_qsize, state.qsize_code));
  if (!function) return -1;
  auto defaults = static_cast<QsizeDefaults*>(init_defaults_block(function.get(), sizeof(QsizeDefaults), 1));
  if (!defaults) return -1;
  defaults->len = get_builtin(state.ids.len);
  if (!defaults->len) return -1;
  as_function(function.get())->defaults_provider = qsize_defaults_getter;
  return set_in_namespace(ns, state.ids.name_qsize, function.get());
}

// Stores value (handed over; null: its making failed) under the interned name in the
// namespace; 0 or -1.
int set_named_in_namespace(PyObject* ns, const char* name, PyObject* value) noexcept {
  Ref held = Ref::steal(value);
  if (!held) return -1;
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  if (!key) return -1;
  return set_in_namespace(ns, key.get(), held.get());
}

// What the class body stores after its functions: the attributes they assign on self, and
// from 3.14 on the cell of the namespace.
int add_body_attributes(PyObject* ns) noexcept {
  if (set_named_in_namespace(ns, "__static_attributes__", PyTuple_Pack(1, state.ids.queue)) < 0) return -1;
  if (!class_body_stores_dict_cell()) return 0;
  return set_named_in_namespace(ns, "__classdictcell__", new_cell(ns));
}

inline int fail_at(ErrorPos* pos, ErrorPos where) noexcept {
  *pos = where;
  return -1;
}

}  // namespace

PyObject* calculate_metaclass(PyObject* bases) noexcept {
  PyTypeObject* winner = nullptr;
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(bases); i < n; ++i) {
    PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (!winner || (!PyType_IsSubtype(winner, t) && PyType_IsSubtype(t, winner))) {
      winner = t;
      continue;
    }
    if (PyType_IsSubtype(winner, t)) continue;
    PyErr_SetString(PyExc_TypeError,
                    "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass "
                    "of the metaclasses of all its bases");
    return nullptr;
  }
  if (!winner) winner = &PyType_Type;
  return Py_NewRef(reinterpret_cast<PyObject*>(winner));
}

PyObject* prepare_namespace(PyObject* metaclass, PyObject* bases) noexcept {
  Ref ns;
  Ref prepare = metaclass ? Ref::steal(get_attr_quiet(metaclass, state.ids.dunder_prepare)) : Ref();
  if (prepare) {
    PyObject* args[3] = {nullptr, state.ids.LifoQueue, bases};
    ns = Ref::steal(call_vector(prepare.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    prepare.reset();
  } else if (metaclass && PyErr_Occurred()) {
    return nullptr;
  } else {
    ns = Ref::steal(PyDict_New());
  }
  if (!ns) return nullptr;
  if (PyObject_SetItem(ns.get(), state.ids.dunder_module, state.ids.module_name) < 0 ||
      PyObject_SetItem(ns.get(), state.ids.dunder_qualname, state.ids.LifoQueue) < 0)
    return nullptr;
  if (class_body_stores_line_and_attributes() && set_named_in_namespace(ns.get(), "__firstlineno__", PyLong_FromLong(10)) < 0)
    return nullptr;
  return ns.release();
}

int set_in_namespace(PyObject* ns, PyObject* name, PyObject* value) noexcept {
  if (PyDict_CheckExact(ns))
    return dict_set_with_hash(ns, name, value, stored_hash(name));
  return PyObject_SetItem(ns, name, value);
}

PyObject* create_class(PyObject* metaclass, PyObject* bases, PyObject* ns) noexcept {
  PyObject* args[4] = {nullptr, state.ids.LifoQueue, bases, ns};
  return call_vector(metaclass, args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

int build_lifoqueue_class(ErrorPos* pos) noexcept {
  const Identifiers& id = state.ids;
  Ref base;
  {
    Ref queue = Ref::steal(read_global(id.queue, &queue_cache));
    if (!queue) return fail_at(pos, {TARN_SITE, 10});
    base = Ref::steal(get_attr_by_slot(queue.get(), id.Queue));
  }
  if (!base) return fail_at(pos, {TARN_SITE, 10});
  Ref bases = Ref::steal(PyTuple_New(1));
  if (!bases) return fail_at(pos, {TARN_SITE, 10});
  PyTuple_SET_ITEM(bases.get(), 0, base.release());
  Ref metaclass = Ref::steal(calculate_metaclass(bases.get()));
  if (!metaclass) return fail_at(pos, {TARN_SITE, 10});
  Ref ns = Ref::steal(prepare_namespace(metaclass.get(), bases.get()));
  if (!ns) return fail_at(pos, {TARN_SITE, 10});

  if (add_method(ns.get(), &init_def, init_entry, id.name_init, id.qualname_init, state.init_code) < 0)
    return fail_at(pos, {TARN_SITE, 11});
  if (add_qsize(ns.get()) < 0) return fail_at(pos, {TARN_SITE, 14});
  if (add_method(ns.get(), &put_def, put_entry, id.name_put, id.qualname_put, state.put_code) < 0)
    return fail_at(pos, {TARN_SITE, 17});
  if (add_method(ns.get(), &get_def, get_entry, id.name_get, id.qualname_get, state.get_code) < 0)
    return fail_at(pos, {TARN_SITE, 20});
  if (class_body_stores_line_and_attributes() && add_body_attributes(ns.get()) < 0) return fail_at(pos, {TARN_SITE, 20});

  Ref cls = Ref::steal(create_class(metaclass.get(), bases.get(), ns.get()));
  if (!cls) return fail_at(pos, {TARN_SITE, 10});
  if (PyDict_SetItem(state.module_dict, id.LifoQueue, cls.get()) < 0) return fail_at(pos, {TARN_SITE, 10});
  return 0;
}

}  // namespace tarn
