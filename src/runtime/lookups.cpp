// Attribute, name and call helpers: shorter roads where the object's type allows them,
// the interpreter's general entry points otherwise.
#include "runtime/runtime.h"

namespace tarn {

namespace {

inline PyObject* null_result_check(PyObject* result) noexcept {
  if (!result && !PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
  return result;
}

// The last step of lookup_method: a bound method of obj itself is unpacked (where the
// version layer can tell one). Steals attr.
int hand_out_attribute(PyObject* obj, PyObject* attr, PyObject** method) noexcept {
  PyObject *func, *self;
  if (bound_method_parts(attr, &func, &self) && self == obj) {
    Py_INCREF(func);
    Py_DECREF(attr);
    *method = func;
    return 1;
  }
  *method = attr;
  return 0;
}

}  // namespace

int lookup_method(PyObject* obj, PyObject* name, PyObject** method) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  // The generic roads ask the type's own lookup, which answers the same in its own words.
  if (!kFastRoads || type_getattro(tp) != PyObject_GenericGetAttr)
    return hand_out_attribute(obj, get_attr_by_slot(obj, name), method);
  if (type_unready(tp) && PyType_Ready(tp) < 0) return 0;

  Ref descr = Ref::borrow(type_lookup(tp, name));
  bool is_method = false;
  descrgetfunc get = nullptr;
  if (descr) {
    PyTypeObject* dtp = Py_TYPE(descr.get());
    if (PyType_HasFeature(dtp, Py_TPFLAGS_METHOD_DESCRIPTOR)) {
      is_method = true;
    } else {
      get = type_descr_get(dtp);
      if (get && type_descr_set(dtp))  // a data descriptor wins over the instance dictionary
        return hand_out_attribute(obj, get(descr.get(), obj, reinterpret_cast<PyObject*>(tp)), method);
    }
  }
  // The instance's own attributes, read without making a dictionary the interpreter keeps inline.
  Py_ssize_t hint = -1;
  PyObject* attr;
  switch (read_instance_attr(obj, name, stored_hash(name), &hint, &attr)) {
    case StoredAttr::found: return hand_out_attribute(obj, attr, method);
    case StoredAttr::error: return 0;  // the lookup's error, as the interpreter's method lookup gives it
    case StoredAttr::absent: break;
  }
  if (is_method) {
    *method = descr.release();
    return 1;
  }
  if (get) return hand_out_attribute(obj, get(descr.get(), obj, reinterpret_cast<PyObject*>(tp)), method);
  if (descr) {
    *method = descr.release();
    return 0;
  }
  PyErr_Format(PyExc_AttributeError, kNoAttributeFormat, type_name(tp), name);
  return 0;
}

PyObject* call_c_entry(PyCFunction entry, PyObject* self, PyObject* arg) noexcept {
  return null_result_check(guarded_c_call([&] { return entry(self, arg); }));
}

PyObject* call_cfunction(PyObject* callable, PyObject* arg) noexcept {
  return call_c_entry(cfunction_entry(callable), cfunction_call_self(callable), arg);
}

PyObject* call_with_tuple(PyObject* callable, PyObject* args) noexcept {
  ternaryfunc call = type_call(Py_TYPE(callable));
  if (!call) return PyObject_Call(callable, args, nullptr);
  return null_result_check(guarded_c_call([&] { return call(callable, args, nullptr); }));
}

PyObject* call_array_via_tuple(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(tuple.get(), i, args[i]);
  }
  return call_with_tuple(callable, tuple.get());
}

PyObject* call_vector(PyObject* callable, PyObject* const* args, std::size_t nargsf) noexcept {
  // The stable ABI can read no builtin function's record nor any entry: the interpreter's
  // own call takes every road below.
  if constexpr (kStableAbi) return PyObject_Vectorcall(callable, args, nargsf, nullptr);
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  PyTypeObject* tp = Py_TYPE(callable);
  if (n == 0 && (tp == &PyCFunction_Type || (state.function_type && is_subtype(tp, state.function_type))) &&
      (cfunction_def(callable)->ml_flags & METH_NOARGS))
    return call_cfunction(callable, nullptr);
  if (n == 1 && tp == &PyCFunction_Type && (cfunction_def(callable)->ml_flags & METH_O))
    return call_cfunction(callable, args[0]);
  if (vectorcallfunc f = vectorcall_of(callable)) return f(callable, args, static_cast<std::size_t>(n), nullptr);
  if (n == 0) return call_with_tuple(callable, state.empty_tuple);
  return call_array_via_tuple(callable, args, n);
}

PyObject* call_one_arg(PyObject* callable, PyObject* arg) noexcept {
  PyObject* args[2] = {nullptr, arg};
  return call_vector(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

PyObject* call_two_args(PyObject* callable, PyObject* arg1, PyObject* arg2) noexcept {
  PyObject* args[3] = {nullptr, arg1, arg2};
  return call_vector(callable, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

PyObject* get_module_global(PyObject* name, std::uint64_t* version, PyObject** value) noexcept {
  PyObject* dict = state.module_dict;
  PyObject* found = dict_get_with_hash(dict, name, stored_hash(name));
  *version = dict_version(dict);
  *value = found;
  if (found) {
    Py_INCREF(found);
    return found;
  }
  if (PyErr_Occurred()) return nullptr;
  return get_builtin(name);
}

PyObject* versioned_type_lookup(PyTypeObject* tp, PyObject* name, unsigned int* version) noexcept {
  if constexpr (!kFastRoads) {  // no tags: nothing to cache
    *version = 0;
    return nullptr;
  }
  PyObject* found = type_lookup(tp, name);
  *version = type_version(tp);
  if (*version && (type_lookup(tp, name) != found || type_version(tp) != *version)) *version = 0;
  return found;
}

bool fill_attr_cache(PyTypeObject* tp, PyObject* name, AttrCache* cache) noexcept {
  unsigned int version;
  PyObject* descr = versioned_type_lookup(tp, name, &version);
  if (!version) return false;
  bool data_descriptor = descr && type_descr_set(Py_TYPE(descr));
  *cache = {tp, version, !data_descriptor, data_descriptor ? StoragePlace{} : storage_place(tp, name)};
  return true;
}

PyObject* get_attr_uncached(PyObject* obj, PyObject* name, AttrCache* cache) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  bool cached = tp == cache->type && type_version(tp) == cache->version;
  if (!cached && type_getattro(tp) == PyObject_GenericGetAttr) cached = fill_attr_cache(tp, name, cache);
  if (cached && cache->from_storage) {
    PyObject* value;
    switch (read_instance_attr_at(obj, name, stored_hash(name), &cache->place, &value)) {
      case StoredAttr::found: return value;
      case StoredAttr::error: return nullptr;
      case StoredAttr::absent: break;  // a class attribute, or the error: the generic lookup's to say
    }
  }
  return get_attr_by_slot(obj, name);
}

PyObject* get_builtin(PyObject* name) noexcept {
  PyObject* result = get_attr_quiet(state.builtins_module, name);
  if (!result && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return result;
}

PyObject* get_attr_quiet(PyObject* obj, PyObject* name) noexcept {
  if (type_getattro(Py_TYPE(obj)) == PyObject_GenericGetAttr) return generic_getattr_quiet(obj, name);
  PyObject* result = get_attr_by_slot(obj, name);
  if (!result) clear_attribute_error();
  return result;
}

void clear_attribute_error() noexcept {
  PyThreadState* ts = PyThreadState_GetUnchecked();
  if (!error_matches_in_state(ts, PyExc_AttributeError)) return;
  PyObject *type, *value, *tb;
  fetch_error_state(ts, &type, &value, &tb);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
}

PyObject* dict_get_quiet(PyObject* dict, PyObject* name) noexcept {
  PyObject* found = dict_get_with_hash(dict, name, stored_hash(name));
  if (!found) PyErr_Clear();
  return found;
}

}  // namespace tarn
