// The bodies of the four hooks, the default of _qsize, and their fast paths for exact
// lists, sets and method calls that make no bound method.
#include "lifoqueue/lifoqueue.h"

#include <cstring>

namespace tarn {

static constexpr int tarn_line_base = 100000;

CachedMethod list_pop_cache;
GlobalCache init_collections_cache;
TypeMethodCache append_cache, pop_cache;
AttrCache queue_attr_cache;

namespace {

constexpr const char kDefaultsName[] = "corvessa.util.queue.__defaults__";

[[gnu::cold, gnu::noinline]] PyObject* failed(const char* funcname, ErrorPos pos) noexcept {
  add_traceback(funcname, pos);
  return nullptr;
}

// Calls callable (handed over) with at most one argument. A bound method is unpacked:
// its function is called directly with its __self__ in front.
PyObject* call_unpacked(Ref callable, PyObject* arg) noexcept {
  PyObject* args[2] = {nullptr, nullptr};
  std::size_t n = 0;
  Ref self;
  PyObject *func, *bound_self;
  if (bound_method_parts(callable.get(), &func, &bound_self) && bound_self) {
    self = Ref::borrow(bound_self);
    callable = Ref::borrow(func);
    args[n++] = self.get();
  }
  if (arg) args[n++] = arg;
  return call_vector(callable.get(), args, n);
}

// Returns a new reference to self.queue.
inline PyObject* fetch_queue(PyObject* self) noexcept {
  return get_attr_cached(self, state.ids.queue, &queue_attr_cache);
}

// The builtin len's method definition, found once in the builtins module's own table, so
// that the builtin is known under any name it is given; null when not found.
PyMethodDef* builtin_len_def() noexcept {
  static PyMethodDef* def = nullptr;
  static bool searched = false;
  if (!searched) {
    searched = true;
    PyModuleDef* builtins = PyModule_GetDef(state.builtins_module);
    for (PyMethodDef* m = builtins ? builtins->m_methods : nullptr; m && m->ml_name; ++m)
      if (std::strcmp(m->ml_name, "len") == 0) def = m;
    PyErr_Clear();
  }
  return def;
}

// The builtin len once seen (owned for the life of the process, so that no other object can
// come to be made where it was), with its C function and self: from then on it is known by
// identity, and called without reading its record again.
struct KnownBuiltin {
  PyObject* object;
  PyCFunction entry;
  PyObject* self;
};
KnownBuiltin known_len = {nullptr, nullptr, nullptr};

// Is callable the builtin len? The first one seen is remembered in known_len.
inline bool is_builtin_len(PyObject* callable) noexcept {
  if (callable == known_len.object) [[likely]] return true;
  PyMethodDef* len = builtin_len_def();
  if (!len || !PyCFunction_CheckExact(callable) || !cfunction_is(callable, len)) return false;
  if (!known_len.object) known_len = {Py_NewRef(callable), cfunction_entry(callable), cfunction_call_self(callable)};
  return true;
}

// len(obj) for a callable that is_builtin_len knows.
inline PyObject* call_builtin_len(PyObject* callable, PyObject* obj) noexcept {
  if (callable == known_len.object) [[likely]] return call_c_entry(known_len.entry, known_len.self, obj);
  return call_cfunction(callable, obj);
}

// Can nothing change the attributes of tp or of its bases (static or immutable types all)?
bool attributes_fixed(PyTypeObject* tp) noexcept {
  static PyObject* name = nullptr;
  Ref mro = kStableAbi ? Ref::steal(interned_attribute(reinterpret_cast<PyObject*>(tp), "__mro__", &name))
                       : Ref::borrow(type_mro(tp));
  PyErr_Clear();
  if (!mro || !PyTuple_Check(mro.get())) return false;
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro.get()); i < n; ++i)
    if (!type_is_immutable(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i)))) return false;
  return true;
}

// The stable ABI's cache, of types whose attributes are fixed: the method found on the type
// (the winner of its MRO, as the type's own attribute lookup gives it) when it is a method
// descriptor of the type or a base, the instances have no attributes of their own and the
// type looks them up generically; obj.name(...) then calls the descriptor's C function.
bool fill_fixed_method_cache(TypeMethodCache* cache, PyObject* obj, PyObject* name, bool one_arg) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  *cache = {nullptr, nullptr, 0, tp, 0};
  bool plain_type = Py_TYPE(reinterpret_cast<PyObject*>(tp)) == &PyType_Type;
  if (!plain_type || !attributes_looked_up_generically(tp) || instances_have_dict(tp) || !attributes_fixed(tp))
    return true;
  Ref found = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(tp), name));
  static PyObject* objclass = nullptr;
  Ref owner = found && Py_IS_TYPE(found.get(), &PyMethodDescr_Type)
                  ? Ref::steal(interned_attribute(found.get(), "__objclass__", &objclass))
                  : Ref();
  PyErr_Clear();
  PyCFunction entry;
  int flags;
  if (owner && PyType_Check(owner.get()) && PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject*>(owner.get())) &&
      method_descr_entry(found.get(), obj, &entry, &flags) && flags == (one_arg ? METH_O : METH_NOARGS))
    *cache = {tp, entry, flags, tp, 0};
  return true;
}

// Decides for obj's type at its current version; false when nothing can be cached for it.
bool fill_method_cache(TypeMethodCache* cache, PyObject* obj, PyObject* name, bool one_arg) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp == &PyList_Type || tp == &PySet_Type) return false;
  if constexpr (kStableAbi) return fill_fixed_method_cache(cache, obj, name, one_arg);
  unsigned int version;
  PyObject* found = versioned_type_lookup(tp, name, &version);
  if (!version) return false;
  *cache = {nullptr, nullptr, 0, tp, version};
  PyCFunction entry;
  int flags;
  if (!attributes_looked_up_generically(tp) || instances_have_dict(tp) || !found ||
      Py_TYPE(found) != &PyMethodDescr_Type || !PyType_IsSubtype(tp, method_descr_type(found)) ||
      !method_descr_entry(found, obj, &entry, &flags))
    return true;
  if (flags == METH_FASTCALL || flags == (one_arg ? METH_O : METH_NOARGS))
    *cache = {flags != METH_FASTCALL && attributes_fixed(tp) ? tp : nullptr, entry, flags, tp, version};
  return true;
}

// Puts filled in *cache, which owns its fixed type: while the cache calls that type's C
// function, no other type can come to be made where it was. The old one's release may run
// code (a weak reference's callback), so callers read filled, not *cache, after it.
void store_method_cache(TypeMethodCache* cache, const TypeMethodCache& filled) noexcept {
  PyTypeObject* old = cache->fixed;
  *cache = filled;
  Py_XINCREF(reinterpret_cast<PyObject*>(filled.fixed));
  Py_XDECREF(reinterpret_cast<PyObject*>(old));
}

// `obj.append(item)` as a statement: None (a new reference), or null with an error set.
inline PyObject* object_append(PyObject* obj, PyObject* item) noexcept {
  PyObject* result;
  if (cache_calls(append_cache, obj)) {
    result = call_fixed_entry(append_cache, obj, item);
  } else if (PyList_CheckExact(obj)) {
    return list_append_fast(obj, item) < 0 ? nullptr : Py_NewRef(Py_None);
  } else {
    result = call_method_uncached(&append_cache, obj, state.ids.append, item);
  }
  if (!result || result == Py_None) return result;  // the method's None serves
  Py_DECREF(result);
  return Py_NewRef(Py_None);
}

// `obj.pop()`: a new reference, or null with an error set.
inline PyObject* object_pop(PyObject* obj) noexcept {
  if (cache_calls(pop_cache, obj)) return call_fixed_entry(pop_cache, obj, nullptr);
  if (PyList_CheckExact(obj)) return list_pop_fast(obj);
  if (Py_TYPE(obj) == &PySet_Type) return PySet_Pop(obj);
  return call_method_uncached(&pop_cache, obj, state.ids.pop, nullptr);
}

}  // namespace

PyObject* init_body(PyObject* self) noexcept {
  Ref collections = Ref::steal(read_global(state.ids.collections, &init_collections_cache));
  if (!collections) return failed(kInitName, {TARN_SITE, 12});
  Ref deque = Ref::steal(get_attr_by_slot(collections.get(), state.ids.deque));
  collections.reset();
  if (!deque) return failed(kInitName, {TARN_SITE, 12});
  Ref queue = Ref::steal(call_unpacked(std::move(deque), nullptr));
  if (!queue) return failed(kInitName, {TARN_SITE, 12});
  if (set_attr_by_slot(self, state.ids.queue, queue.get()) < 0) return failed(kInitName, {TARN_SITE, 12});
  Py_RETURN_NONE;
}

PyObject* qsize_body(PyObject* self, PyObject* len) noexcept {
  Ref queue = Ref::steal(fetch_queue(self));
  if (!queue) return failed(kQsizeName, {TARN_SITE, 15});
  // The builtin takes the road call_vector would give it, without the dispatch.
  PyObject* result =
      is_builtin_len(len) ? call_builtin_len(len, queue.get()) : call_unpacked(Ref::borrow(len), queue.get());
  queue.reset();
  if (!result) return failed(kQsizeName, {TARN_SITE, 15});
  return result;
}

PyObject* put_body(PyObject* self, PyObject* item) noexcept {
  Ref queue = Ref::steal(fetch_queue(self));
  if (!queue) return failed(kPutName, {TARN_SITE, 18});
  PyObject* none = object_append(queue.get(), item);
  if (!none) return failed(kPutName, {TARN_SITE, 18});
  return none;
}

PyObject* get_body(PyObject* self) noexcept {
  Ref queue = Ref::steal(fetch_queue(self));
  if (!queue) return failed(kGetName, {TARN_SITE, 21});
  PyObject* result = object_pop(queue.get());
  queue.reset();
  if (!result) return failed(kGetName, {TARN_SITE, 21});
  return result;
}

// Returns a new reference to ((len,), None).
PyObject* qsize_defaults_getter(PyObject* function) noexcept {
  QsizeDefaults* defaults = qsize_defaults(function);
  PyObject* len = defaults && defaults->len ? defaults->len : Py_None;
  Ref positional = Ref::steal(PyTuple_Pack(1, len));
  if (!positional) return failed(kDefaultsName, {TARN_SITE, 14});
  PyObject* result = PyTuple_Pack(2, positional.get(), Py_None);
  if (!result) return failed(kDefaultsName, {TARN_SITE, 14});
  return result;
}

int list_append_fast(PyObject* list, PyObject* item) noexcept {
  if (list_append_in_place(list, item)) return 0;
  return PyList_Append(list, item);
}

// Returns the last item (the list's reference passes to the caller).
PyObject* list_pop_fast(PyObject* list) noexcept {
  if (PyObject* item = list_pop_in_place(list)) return item;
  return call_cached_method0(&list_pop_cache, list);
}

PyObject* call_cached_method0(CachedMethod* cache, PyObject* self) noexcept {
  PyCFunction entry = cache->entry;
  if (entry) {
    void (*generic)(void) = reinterpret_cast<void (*)(void)>(entry);
    PyObject* const* no_args = &state.empty_tuple;  // never read: the count is 0
    switch (cache->flags) {
      case METH_NOARGS: return entry(self, nullptr);
      case METH_FASTCALL: return reinterpret_cast<PyCFunctionFast>(generic)(self, no_args, 0);
      case METH_FASTCALL | METH_KEYWORDS:
        return reinterpret_cast<PyCFunctionFastWithKeywords>(generic)(self, no_args, 0, nullptr);
      case METH_VARARGS | METH_KEYWORDS:
        return reinterpret_cast<PyCFunctionWithKeywords>(generic)(self, state.empty_tuple, nullptr);
      case METH_VARARGS: return entry(self, state.empty_tuple);
      default: break;
    }
  }
  return call_cached_method0_slow(cache, self);
}

PyObject* call_cached_method0_slow(CachedMethod* cache, PyObject* self) noexcept {
  if (!cache->method && resolve_cached_method(cache, self) < 0) return nullptr;
  Ref args = Ref::steal(PyTuple_Pack(1, self));
  if (!args) return nullptr;
  return call_with_tuple(cache->method, args.get());
}

int resolve_cached_method(CachedMethod* cache, PyObject* self) noexcept {
  PyObject* method = get_attr_by_slot(reinterpret_cast<PyObject*>(cache->type), *cache->name);
  if (!method) return -1;
  cache->method = method;  // kept for the life of the process
  PyCFunction entry;
  int flags;
  if (is_subtype(Py_TYPE(method), &PyMethodDescr_Type) && method_descr_entry(method, self, &entry, &flags)) {
    cache->entry = entry;
    cache->flags = flags;
  }
  return 0;
}

PyObject* call_fastcall(PyCFunction entry, PyObject* obj, PyObject* arg) noexcept {
  PyObject* args[1] = {arg};
  return reinterpret_cast<PyCFunctionFast>(reinterpret_cast<void (*)(void)>(entry))(obj, args, arg ? 1 : 0);
}

PyObject* call_method_uncached(TypeMethodCache* cache, PyObject* obj, PyObject* name, PyObject* arg) noexcept {
  PyTypeObject* tp = Py_TYPE(obj);
  TypeMethodCache now = *cache;
  bool filled = tp == now.type && type_version(tp) == now.version;
  if (!filled && fill_method_cache(&now, obj, name, arg != nullptr)) {
    store_method_cache(cache, now);
    filled = true;
  }
  if (filled && now.entry) return call_cached_entry(now, obj, arg);
  return arg ? call_method1(obj, name, arg) : call_method0(obj, name);
}

PyObject* call_method0(PyObject* obj, PyObject* name) noexcept {
  PyObject* method = nullptr;
  int unbound = lookup_method(obj, name, &method);
  Ref hold = Ref::steal(method);
  if (unbound) return call_one_arg(method, obj);
  if (!method) return nullptr;
  PyObject* scratch[1] = {nullptr};
  return call_vector(method, scratch + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

PyObject* call_method1(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
  PyObject* method = nullptr;
  int unbound = lookup_method(obj, name, &method);
  Ref hold = Ref::steal(method);
  if (unbound) return call_two_args(method, obj, arg);
  if (!method) return nullptr;
  return call_one_arg(method, arg);
}

}  // namespace tarn
