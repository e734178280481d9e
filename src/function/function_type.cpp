// The function object type tarn_function_or_method: record, attributes, creation,
// defaults block, representation, binding and garbage-collection hooks.
#include "function/function.h"

#include <cstring>

namespace tarn {

// A function object reads as a built-in function does where the interpreter defines that
// record for the module's code (not on the stable ABI, whose record is the module's alone).
TARN_ASSERT_CFUNCTION_PREFIX(TarnFunction);
static_assert(sizeof(TarnFunction::defaults_object_count) == 4 && sizeof(TarnFunction::flags) == 4 &&
                  sizeof(TarnFunction::defaults_block_size) == sizeof(void*),
              "field widths of the shared record");

namespace {

// The version tag flag is named, as 3.10 took it out of Py_TPFLAGS_DEFAULT.
constexpr unsigned long kFunctionTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_HAVE_GC |
                                             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
static_assert(kFunctionTypeFlags == 0x64800, "the type flags of tarn_function_or_method");


// Returns a new reference to value, or to None when it is null.
inline PyObject* new_ref_or_none(PyObject* value) noexcept {
  PyObject* result = value ? value : Py_None;
  Py_INCREF(result);
  return result;
}

// Stores a new reference to value in *field, then releases what the field held.
inline int store_field(PyObject** field, PyObject* value) noexcept {
  PyObject* old = *field;
  Py_XINCREF(value);
  *field = value;
  Py_XDECREF(old);
  return 0;
}

inline int refuse(const char* message) noexcept {
  PyErr_SetString(PyExc_TypeError, message);
  return -1;
}

// Returns a new reference to *field, creating an empty dict there on first use.
PyObject* dict_on_first_use(PyObject** field) noexcept {
  if (!*field && !(*field = PyDict_New())) return nullptr;
  Py_INCREF(*field);
  return *field;
}

// --- the attribute table ---------------------------------------------------

PyObject* get_doc(PyObject* op, void*) noexcept {
  TarnFunction* f = as_function(op);
  if (!f->doc && f->m_ml->ml_doc && !(f->doc = PyUnicode_FromString(f->m_ml->ml_doc))) return nullptr;
  return new_ref_or_none(f->doc);
}

int set_doc(PyObject* op, PyObject* value, void*) noexcept {
  return store_field(&as_function(op)->doc, value ? value : Py_None);
}

PyObject* get_name(PyObject* op, void*) noexcept {
  TarnFunction* f = as_function(op);
  if (!f->name && !(f->name = PyUnicode_InternFromString(f->m_ml->ml_name))) return nullptr;
  Py_INCREF(f->name);
  return f->name;
}

int set_name(PyObject* op, PyObject* value, void*) noexcept {
  if (!value || !PyUnicode_Check(value)) return refuse("__name__ must be set to a string object");
  return store_field(&as_function(op)->name, value);
}

PyObject* get_qualname(PyObject* op, void*) noexcept {
  Py_INCREF(as_function(op)->qualname);
  return as_function(op)->qualname;
}

int set_qualname(PyObject* op, PyObject* value, void*) noexcept {
  if (!value || !PyUnicode_Check(value)) return refuse("__qualname__ must be set to a string object");
  return store_field(&as_function(op)->qualname, value);
}

PyObject* get_self(PyObject* op, void*) noexcept { return new_ref_or_none(as_function(op)->self_ref); }

PyObject* get_dict(PyObject* op, void*) noexcept { return dict_on_first_use(&as_function(op)->dict); }

int set_dict(PyObject* op, PyObject* value, void*) noexcept {
  if (!value) return refuse("function's dictionary may not be deleted");
  if (!PyDict_Check(value)) return refuse("setting function's dictionary to a non-dict");
  return store_field(&as_function(op)->dict, value);
}

PyObject* get_globals(PyObject* op, void*) noexcept {
  Py_INCREF(as_function(op)->globals);
  return as_function(op)->globals;
}

PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* get_code(PyObject* op, void*) noexcept { return new_ref_or_none(as_function(op)->code); }

// Runs the defaults provider once; fills only the caches that are still empty, so a
// value assigned to one of them before the other was first read is kept.
int run_defaults_provider(TarnFunction* f) noexcept {
  Ref defaults = Ref::steal(f->defaults_provider(reinterpret_cast<PyObject*>(f)));
  if (!defaults) return -1;
  if (!f->positional_defaults) store_field(&f->positional_defaults, PyTuple_GET_ITEM(defaults.get(), 0));
  if (!f->keyword_defaults) store_field(&f->keyword_defaults, PyTuple_GET_ITEM(defaults.get(), 1));
  return 0;
}

// The read rule shared by __defaults__ and __kwdefaults__.
PyObject* get_defaults_cache(TarnFunction* f, PyObject** cache) noexcept {
  if (!*cache && f->defaults_provider && run_defaults_provider(f) < 0) return nullptr;
  return new_ref_or_none(*cache);
}

PyObject* get_defaults(PyObject* op, void*) noexcept {
  return get_defaults_cache(as_function(op), &as_function(op)->positional_defaults);
}

int set_defaults(PyObject* op, PyObject* value, void*) noexcept {
  if (!value || value == Py_None) value = Py_None;
  else if (!PyTuple_Check(value)) return refuse("__defaults__ must be set to a tuple object");
  return store_field(&as_function(op)->positional_defaults, value);
}

PyObject* get_kwdefaults(PyObject* op, void*) noexcept {
  return get_defaults_cache(as_function(op), &as_function(op)->keyword_defaults);
}

int set_kwdefaults(PyObject* op, PyObject* value, void*) noexcept {
  if (!value || value == Py_None) value = Py_None;
  else if (!PyDict_Check(value)) return refuse("__kwdefaults__ must be set to a dict object");
  return store_field(&as_function(op)->keyword_defaults, value);
}

// --- attributes that later Python functions have ----------------------------
// The record has no field for __type_params__ and __annotate__: once one is set, the two
// are kept in a dictionary of their own in reserved_ref.

// What was set under name (borrowed), or null (with an error set only when the lookup failed).
PyObject* get_later_attribute(TarnFunction* f, const char* name) noexcept {
  if (!f->reserved_ref) return nullptr;
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  return key ? PyDict_GetItemWithError(f->reserved_ref, key.get()) : nullptr;
}

int set_later_attribute(TarnFunction* f, const char* name, PyObject* value) noexcept {
  if (!f->reserved_ref && !(f->reserved_ref = PyDict_New())) return -1;
  return PyDict_SetItemString(f->reserved_ref, name, value);
}

// The function's __annotate__ when it is one to call (borrowed), else null; -1 on failure.
int callable_annotate(TarnFunction* f, PyObject** annotate) noexcept {
  *annotate = nullptr;
  if (!functions_have_annotate()) return 0;
  PyObject* found = get_later_attribute(f, "__annotate__");
  if (!found) return PyErr_Occurred() ? -1 : 0;
  if (PyCallable_Check(found)) *annotate = found;
  return 0;
}

PyObject* get_annotations(PyObject* op, void*) noexcept {
  TarnFunction* f = as_function(op);
  PyObject* annotate = nullptr;
  if (!f->annotations && callable_annotate(f, &annotate) < 0) return nullptr;
  if (!annotate) return dict_on_first_use(&f->annotations);
  // From 3.14 on the annotations may come from __annotate__, asked for their values.
  Ref hold = Ref::borrow(annotate);
  Ref one = Ref::steal(PyLong_FromLong(1));
  Ref made = one ? Ref::steal(PyObject_CallOneArg(annotate, one.get())) : Ref();
  if (!made) return nullptr;
  if (!PyDict_Check(made.get())) return raise_annotate_not_dict(made.get());
  store_field(&f->annotations, made.get());
  return made.release();
}

int set_annotations(PyObject* op, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  else if (value && !PyDict_Check(value)) return refuse("__annotations__ must be set to a dict object");
  TarnFunction* f = as_function(op);
  if (functions_have_annotate() && f->reserved_ref && set_later_attribute(f, "__annotate__", Py_None) < 0) return -1;
  return store_field(&f->annotations, value);
}

// __builtins__ (3.10 on): the dictionary of the builtins the function's globals name, as a
// Python function takes it when it is made; read only.
PyObject* get_builtins(PyObject* op, void*) noexcept {
  Ref key = Ref::steal(PyUnicode_InternFromString("__builtins__"));
  if (!key) return nullptr;
  PyObject* builtins = PyDict_GetItemWithError(as_function(op)->globals, key.get());
  if (!builtins) {
    if (PyErr_Occurred()) return nullptr;
    builtins = state.builtins_module;
  }
  if (PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
  Py_XINCREF(builtins);
  return builtins;
}

int set_readonly(PyObject*, PyObject*, void*) noexcept {
  PyErr_SetString(PyExc_AttributeError, "readonly attribute");
  return -1;
}

// __type_params__ (3.12 on): an empty tuple until a tuple is set.
PyObject* get_type_params(PyObject* op, void*) noexcept {
  PyObject* found = get_later_attribute(as_function(op), "__type_params__");
  if (found) return Py_NewRef(found);
  return PyErr_Occurred() ? nullptr : PyTuple_New(0);
}

int set_type_params(PyObject* op, PyObject* value, void*) noexcept {
  if (!value || !PyTuple_Check(value)) return refuse("__type_params__ must be set to a tuple");
  return set_later_attribute(as_function(op), "__type_params__", value);
}

// __annotate__ (3.14 on): None until a callable is set; setting one drops the annotations,
// which it makes again when they are asked for.
PyObject* get_annotate(PyObject* op, void*) noexcept {
  PyObject* found = get_later_attribute(as_function(op), "__annotate__");
  if (found) return Py_NewRef(found);
  return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
}

int set_annotate(PyObject* op, PyObject* value, void*) noexcept {
  if (!value) return refuse("__annotate__ cannot be deleted");
  if (value != Py_None && !PyCallable_Check(value)) return refuse("__annotate__ must be callable or None");
  TarnFunction* f = as_function(op);
  if (set_later_attribute(f, "__annotate__", value) < 0) return -1;
  if (value != Py_None) store_field(&f->annotations, nullptr);
  return 0;
}

constexpr PyGetSetDef kGetSetEnd = {nullptr, nullptr, nullptr, nullptr, nullptr};

PyGetSetDef function_getset[] = {
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__self__", get_self, nullptr, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    // What later versions' Python functions have besides, each version's rows a prefix of the
    // next's: the table is ended after those of the running interpreter before the type is
    // made (end_later_attributes).
    {"__builtins__", get_builtins, set_readonly, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
    kGetSetEnd,
};
constexpr int kLaterAttributesAt = 18;

void end_later_attributes() noexcept {
  int later = functions_have_annotate() ? 3 : functions_have_type_params() ? 2 : functions_have_builtins() ? 1 : 0;
  function_getset[kLaterAttributesAt + later] = kGetSetEnd;
}

// Returns a new reference to the qualified name, whatever the arguments.
PyObject* function_reduce(PyObject* op, PyObject*) noexcept {
  Py_INCREF(as_function(op)->qualname);
  return as_function(op)->qualname;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- the slots -------------------------------------------------------------

PyObject* function_repr(PyObject* op) noexcept {
  return PyUnicode_FromFormat("<tarnfunction %U at %p>", as_function(op)->qualname, op);
}

PyObject* function_descr_get(PyObject* op, PyObject* obj, PyObject*) noexcept {
  if (!obj || obj == Py_None) {
    Py_INCREF(op);
    return op;
  }
  return new_bound_method(op, obj);
}

// The owned object fields, in the order the collector visits and clears them.
constexpr PyObject* TarnFunction::*kOwnedFields[] = {
    &TarnFunction::self_ref, &TarnFunction::m_module,     &TarnFunction::dict,
    &TarnFunction::name,     &TarnFunction::qualname,     &TarnFunction::doc,
    &TarnFunction::globals,  &TarnFunction::code,         &TarnFunction::reserved_ref,
    &TarnFunction::positional_defaults, &TarnFunction::keyword_defaults, &TarnFunction::annotations,
};

inline PyObject** block_slots(TarnFunction* f) noexcept { return static_cast<PyObject**>(f->defaults_block); }

int function_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
  TarnFunction* f = as_function(op);
  if (PyType_HasFeature(Py_TYPE(op), Py_TPFLAGS_HEAPTYPE)) Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(op)));
  for (auto field : kOwnedFields) Py_VISIT(f->*field);
  if (f->defaults_block)
    for (int i = 0; i < f->defaults_object_count; ++i) Py_VISIT(block_slots(f)[i]);
  return 0;
}

int function_clear(PyObject* op) noexcept {
  TarnFunction* f = as_function(op);
  for (auto field : kOwnedFields) Py_CLEAR(f->*field);
  if (f->defaults_block) {
    for (int i = 0; i < f->defaults_object_count; ++i) Py_CLEAR(block_slots(f)[i]);
    PyObject_Free(f->defaults_block);
    f->defaults_block = nullptr;
  }
  return 0;
}

void function_dealloc(PyObject* op) noexcept {
  PyTypeObject* tp = Py_TYPE(op);
  PyObject_GC_UnTrack(op);
  if (as_function(op)->m_weakreflist) PyObject_ClearWeakRefs(op);
  function_clear(op);
  PyObject_GC_Del(op);
  if (PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) Py_DECREF(reinterpret_cast<PyObject*>(tp));  // each instance holds it
}

// --- the type object -------------------------------------------------------
// A static type object where the interpreter's headers define one for the module's code; on
// the stable ABI a type made of slots, which the limited API lets differ from the static one
// in two places, both mended once the type is made, in its own dictionary: the interpreter
// takes the instances' vectorcall entry, weak references and dictionary from members of the
// offsets and keeps the first of them there as an attribute, which goes; and the type's
// __module__ must be a string there ("builtins", as the static type reports), so that the
// instances' __module__ is served by the type's attribute access instead of a member. The
// member of that name stands there until then: a type made without a __module__ of its own
// and a dotted name is warned of (DeprecationWarning) as it is made.

#if TARN_STABLE_ABI

bool is_named(PyObject* name, const char* text) noexcept {
  return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, text) == 0;
}

PyObject* function_getattro(PyObject* op, PyObject* name) noexcept {
  if (is_named(name, "__module__")) return new_ref_or_none(as_function(op)->m_module);
  return PyObject_GenericGetAttr(op, name);
}

int function_setattro(PyObject* op, PyObject* name, PyObject* value) noexcept {
  if (is_named(name, "__module__")) return store_field(&as_function(op)->m_module, value);
  return PyObject_GenericSetAttr(op, name, value);
}

PyMemberDef function_offsets[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(TarnFunction, m_module), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(TarnFunction, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(TarnFunction, m_weakreflist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(TarnFunction, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_offsets},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

PyType_Spec function_spec = {kFunctionTypeName, sizeof(TarnFunction), 0,
                             static_cast<unsigned int>(kFunctionTypeFlags | Py_TPFLAGS_IMMUTABLETYPE |
                                                       Py_TPFLAGS_DISALLOW_INSTANTIATION),
                             function_slots};

PyTypeObject* made_function_type = nullptr;

}  // namespace

PyTypeObject* own_function_type() noexcept {
  if (made_function_type) return made_function_type;
  end_later_attributes();
  Ref type = Ref::steal(PyType_FromMetaclass(nullptr, nullptr, &function_spec, nullptr));
  if (!type) return failed_allocation_reported("the function type could not be made"), nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  PyObject* dict = heap_type_dict(tp);  // borrowed
  Ref builtins = Ref::steal(PyUnicode_InternFromString("builtins"));
  if (!dict || !builtins || PyDict_SetItemString(dict, "__module__", builtins.get()) < 0 ||
      PyDict_DelItemString(dict, "__vectorcalloffset__") < 0)
    return nullptr;
  PyType_Modified(tp);
  made_function_type = reinterpret_cast<PyTypeObject*>(type.release());
  return made_function_type;
}

#else

PyMemberDef function_members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(TarnFunction, m_module), PY_WRITE_RESTRICTED, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject tarn_function_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    /* tp_name */ kFunctionTypeName,
    /* tp_basicsize */ sizeof(TarnFunction),
    /* tp_itemsize */ 0,
    /* tp_dealloc */ function_dealloc,
    /* tp_vectorcall_offset */ offsetof(TarnFunction, vectorcall),
    /* tp_getattr */ nullptr,
    /* tp_setattr */ nullptr,
    /* tp_as_async */ nullptr,
    /* tp_repr */ function_repr,
    /* tp_as_number */ nullptr,
    /* tp_as_sequence */ nullptr,
    /* tp_as_mapping */ nullptr,
    /* tp_hash */ nullptr,
    /* tp_call */ function_call,
    /* tp_str */ nullptr,
    /* tp_getattro */ nullptr,
    /* tp_setattro */ nullptr,
    /* tp_as_buffer */ nullptr,
    /* tp_flags */ kFunctionTypeFlags,
    /* tp_doc */ nullptr,
    /* tp_traverse */ function_traverse,
    /* tp_clear */ function_clear,
    /* tp_richcompare */ nullptr,
    /* tp_weaklistoffset */ offsetof(TarnFunction, m_weakreflist),
    /* tp_iter */ nullptr,
    /* tp_iternext */ nullptr,
    /* tp_methods */ function_methods,
    /* tp_members */ function_members,
    /* tp_getset */ function_getset,
    /* tp_base */ nullptr,
    /* tp_dict */ nullptr,
    /* tp_descr_get */ function_descr_get,
    /* tp_descr_set */ nullptr,
    /* tp_dictoffset */ offsetof(TarnFunction, dict),
    /* tp_init */ nullptr,
    /* tp_alloc */ nullptr,
    /* tp_new */ nullptr,
    /* tp_free */ nullptr,
    /* tp_is_gc */ nullptr,
    /* tp_bases */ nullptr,
    /* tp_mro */ nullptr,
    /* tp_cache */ nullptr,
    /* tp_subclasses */ nullptr,
    /* tp_weaklist */ nullptr,
    /* tp_del */ nullptr,
    /* tp_version_tag */ 0,
    /* tp_finalize */ nullptr,
    /* tp_vectorcall */ nullptr,
    TARN_TYPE_SLOTS_AFTER_VECTORCALL
};

PyTypeObject* own_function_type() noexcept {
  if (PyType_HasFeature(&tarn_function_type, Py_TPFLAGS_READY)) return &tarn_function_type;
  end_later_attributes();
  return PyType_Ready(&tarn_function_type) == 0 ? &tarn_function_type : nullptr;
}

#endif

namespace {

// The vectorcall entry for a method definition's calling convention; `refused` is set
// for the forms that have none and no classic path either.
vectorcallfunc entry_for_flags(int ml_flags, bool* refused) noexcept {
  *refused = false;
  switch (ml_flags & (METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL)) {
    case METH_VARARGS | METH_KEYWORDS: return nullptr;
    case METH_NOARGS: return call_entry_noargs;
    case METH_O: return call_entry_one_arg;
    case METH_FASTCALL | METH_KEYWORDS: return call_entry_fastcall_kw;
    default: *refused = true; return nullptr;
  }
}

}  // namespace

PyObject* function_object_new(PyMethodDef* ml, int flags, PyObject* qualname, PyObject* self_ref,
                              PyObject* module, PyObject* globals, PyObject* code) noexcept {
  TarnFunction* f = PyObject_GC_New(TarnFunction, state.function_type);
  if (!f) return nullptr;
  f->flags = flags;
  f->m_weakreflist = nullptr;
  f->m_ml = ml;
  f->m_self = reinterpret_cast<PyObject*>(f);
  Py_XINCREF(self_ref);
  f->self_ref = self_ref;
  Py_XINCREF(module);
  f->m_module = module;
  f->dict = nullptr;
  f->name = nullptr;
  Py_INCREF(qualname);
  f->qualname = qualname;
  f->doc = nullptr;
  f->reserved_ref = nullptr;
  Py_INCREF(globals);
  f->globals = globals;
  Py_XINCREF(code);
  f->code = code;
  f->defaults_object_count = 0;
  f->defaults_block_size = 0;
  f->defaults_block = nullptr;
  f->positional_defaults = nullptr;
  f->keyword_defaults = nullptr;
  f->defaults_provider = nullptr;
  f->annotations = nullptr;
  bool refused;
  f->vectorcall = entry_for_flags(ml->ml_flags, &refused);
  if (refused) {
    PyErr_SetString(PyExc_SystemError, "Bad call flags for TarnFunction");
    Py_DECREF(f);
    return nullptr;
  }
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject*>(f);
}

void* init_defaults_block(PyObject* function, std::size_t size, int object_count) noexcept {
  TarnFunction* f = as_function(function);
  f->defaults_block = PyObject_Malloc(size);
  if (!f->defaults_block) {
    PyErr_NoMemory();
    return nullptr;
  }
  std::memset(f->defaults_block, 0, size);
  f->defaults_object_count = object_count;
  f->defaults_block_size = size;
  return f->defaults_block;
}

}  // namespace tarn
