// The bodies' fast paths on what the module's own storage never gives them: each calling
// convention of a cached unbound method and its slow road, and the method cache in front of
// append and pop on C methods of other conventions, at and near the recursion limit.
#include "embedded.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tarn::Ref;
using tarn::state;
using tarn_test::eval_python;
using tarn_test::pending_error;
using tarn_test::str_of;

Ref eval(const char* expr) { return Ref::steal(eval_python(expr)); }
Ref new_queue() { return eval("__import__('corvessa.util.queue').util.queue.LifoQueue()"); }

// What the test methods received on their last call.
struct Received {
  int calls;
  PyObject* self;
  PyObject* arg;      // the second C argument of METH_NOARGS and METH_O
  Py_ssize_t nargs;   // the count of the vector or the tuple
  PyObject* first;    // the first argument, when there is one
  PyObject* kwnames;  // METH_FASTCALL | METH_KEYWORDS
  PyObject* tuple;    // METH_VARARGS
  PyObject* kwargs;   // METH_VARARGS | METH_KEYWORDS
} received;

void reset_received() {
  received = Received{};
  received.nargs = -1;
}

// Each method answers with the name of its convention.
PyObject* answer(const char* convention, PyObject* self) noexcept {
  ++received.calls;
  received.self = self;
  return PyUnicode_FromString(convention);
}
PyObject* m_noargs(PyObject* self, PyObject* arg) noexcept {
  received.arg = arg;
  return answer("noargs", self);
}
PyObject* m_o(PyObject* self, PyObject* arg) noexcept {
  received.arg = arg;
  return answer("o", self);
}
PyObject* m_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  received.nargs = nargs;
  received.first = nargs > 0 ? args[0] : nullptr;
  return answer("fastcall", self);
}
PyObject* m_fast_kw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  received.nargs = nargs;
  received.first = nargs > 0 ? args[0] : nullptr;
  received.kwnames = kwnames;
  return answer("fastcall|keywords", self);
}
PyObject* m_varargs(PyObject* self, PyObject* args) noexcept {
  received.tuple = args;
  received.nargs = PyTuple_GET_SIZE(args);
  received.first = received.nargs > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  return answer("varargs", self);
}
PyObject* m_varargs_kw(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  received.tuple = args;
  received.nargs = PyTuple_GET_SIZE(args);
  received.first = received.nargs > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  received.kwargs = kwargs;
  return answer("varargs|keywords", self);
}

template <typename F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// Two types of C methods: append and pop with the vector convention, and with the tuple one.
PyMethodDef fast_store_methods[] = {
    {"append", as_cfunction(m_fast), METH_FASTCALL, nullptr},
    {"pop", as_cfunction(m_fast), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef tuple_store_methods[] = {
    {"append", m_varargs, METH_VARARGS, nullptr},
    {"pop", as_cfunction(m_varargs_kw), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot fast_store_slots[] = {{Py_tp_methods, fast_store_methods}, {0, nullptr}};
PyType_Slot tuple_store_slots[] = {{Py_tp_methods, tuple_store_methods}, {0, nullptr}};
#if PY_VERSION_HEX >= 0x030A0000
// append and pop of the plain conventions on a type nothing can change.
PyMethodDef fixed_store_methods[] = {
    {"append", m_o, METH_O, nullptr},
    {"pop", m_noargs, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot fixed_store_slots[] = {{Py_tp_methods, fixed_store_methods}, {0, nullptr}};
PyType_Spec fixed_store_spec = {"bodies_test.FixedStore", sizeof(PyObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, fixed_store_slots};
#endif
PyType_Spec fast_store_spec = {"bodies_test.FastStore", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, fast_store_slots};
PyType_Spec tuple_store_spec = {"bodies_test.TupleStore", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                                tuple_store_slots};

// --- call_cached_method0 -----------------------------------------------------------

// Every convention the switch knows is called directly with self and no arguments in its
// own form; any other goes through the slow road with the cached method object.
TEST(CachedMethod, EachConventionGetsSelfAndNoArguments) {
  Ref self = Ref::steal(PyList_New(0));
  Py_ssize_t self_count = Py_REFCNT(self.get());
  struct Case {
    int flags;
    PyCFunction entry;
    const char* convention;
  } cases[] = {
      {METH_NOARGS, m_noargs, "noargs"},
      {METH_FASTCALL, as_cfunction(m_fast), "fastcall"},
      {METH_FASTCALL | METH_KEYWORDS, as_cfunction(m_fast_kw), "fastcall|keywords"},
      {METH_VARARGS | METH_KEYWORDS, as_cfunction(m_varargs_kw), "varargs|keywords"},
      {METH_VARARGS, m_varargs, "varargs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.convention);
    reset_received();
    tarn::CachedMethod cache = {&PyList_Type, &state.ids.pop, c.entry, nullptr, c.flags};
    Ref result = Ref::steal(tarn::call_cached_method0(&cache, self.get()));
    EXPECT_EQ(str_of(result.get()), c.convention);
    EXPECT_EQ(received.calls, 1);
    EXPECT_EQ(received.self, self.get());
    EXPECT_EQ(received.arg, nullptr);
    EXPECT_EQ(received.first, nullptr);
    EXPECT_EQ(received.kwnames, nullptr);
    EXPECT_EQ(received.kwargs, nullptr);
    if (c.flags & METH_FASTCALL) {
      EXPECT_EQ(received.nargs, 0);
    }
    if (!(c.flags & (METH_FASTCALL | METH_NOARGS))) {
      EXPECT_EQ(received.tuple, state.empty_tuple);
      EXPECT_EQ(received.nargs, 0);
    }
    EXPECT_EQ(cache.method, nullptr);  // nothing was resolved
    EXPECT_EQ(Py_REFCNT(self.get()), self_count);
  }

  // METH_O takes an argument: the cached method object is called with self alone.
  reset_received();
  Ref slow = eval("lambda self: ('slow', self)");
  tarn::CachedMethod cache = {&PyList_Type, &state.ids.pop, m_o, slow.get(), METH_O};
  Ref result = Ref::steal(tarn::call_cached_method0(&cache, self.get()));
  EXPECT_EQ(str_of(result.get()), "('slow', [])");
  EXPECT_EQ(received.calls, 0);
  EXPECT_EQ(cache.entry, as_cfunction(m_o));
  result.reset();
  EXPECT_EQ(Py_REFCNT(self.get()), self_count);
}

// The first call resolves the method on the type and keeps it (a reference of the
// cache's own); a method descriptor's C function is called directly from then on.
TEST(CachedMethod, ResolvesOnceThenCallsTheCFunction) {
  Ref deque = eval("__import__('collections').deque(['a', 'b', 'c'])");
  Ref descriptor = eval("__import__('collections').deque.__dict__['pop']");
  Py_ssize_t descriptor_count = Py_REFCNT(descriptor.get());
  tarn::CachedMethod cache = {Py_TYPE(deque.get()), &state.ids.pop, nullptr, nullptr, 0};
  EXPECT_EQ(str_of(Ref::steal(tarn::call_cached_method0(&cache, deque.get())).get()), "c");
  EXPECT_EQ(cache.method, descriptor.get());
  EXPECT_EQ(Py_REFCNT(descriptor.get()), descriptor_count + 1);
  EXPECT_NE(cache.entry, nullptr);
  EXPECT_EQ(cache.flags, METH_NOARGS);
  EXPECT_EQ(str_of(Ref::steal(tarn::call_cached_method0(&cache, deque.get())).get()), "b");
  EXPECT_EQ(str_of(Ref::steal(tarn::call_cached_method0(&cache, deque.get())).get()), "a");
  EXPECT_EQ(tarn::call_cached_method0(&cache, deque.get()), nullptr);
  EXPECT_EQ(pending_error(), "IndexError: pop from an empty deque");
  EXPECT_EQ(Py_REFCNT(descriptor.get()), descriptor_count + 1);  // resolved once
  Py_CLEAR(cache.method);
  EXPECT_EQ(Py_REFCNT(descriptor.get()), descriptor_count);
}

// A method that is not a method descriptor (a Python function) is called through the slow
// road every time; one that cannot be found is an error and leaves the cache empty.
TEST(CachedMethod, OtherCallablesAndMissingMethods) {
  ASSERT_TRUE(tarn_test::exec_python("class BdStack:\n    def pop(self): return ('pop', self)\n"));
  Ref stack = eval("BdStack()");
  Ref function = eval("BdStack.__dict__['pop']");
  Py_ssize_t function_count = Py_REFCNT(function.get());
  tarn::CachedMethod cache = {reinterpret_cast<PyTypeObject*>(Py_TYPE(stack.get())), &state.ids.pop, nullptr,
                              nullptr, 0};
  for (int round = 0; round < 2; ++round) {
    Ref result = Ref::steal(tarn::call_cached_method0(&cache, stack.get()));
    ASSERT_TRUE(result) << pending_error();
    EXPECT_EQ(PyTuple_GET_ITEM(result.get(), 1), stack.get()) << round;
    EXPECT_EQ(cache.method, function.get()) << round;
    EXPECT_EQ(cache.entry, nullptr) << round;
  }
  EXPECT_EQ(Py_REFCNT(function.get()), function_count + 1);
  Py_CLEAR(cache.method);

  PyObject* missing = PyUnicode_InternFromString("bd_no_such_method");
  Ref hold = Ref::steal(missing);
  Ref list = Ref::steal(PyList_New(0));
  tarn::CachedMethod nothing = {&PyList_Type, &missing, nullptr, nullptr, 0};
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(tarn::call_cached_method0(&nothing, list.get()), nullptr);
    EXPECT_EQ(pending_error(), "AttributeError: type object 'list' has no attribute 'bd_no_such_method'");
    EXPECT_EQ(nothing.method, nullptr);
    EXPECT_EQ(nothing.entry, nullptr);
  }
}

// The slow road's argument tuple can fail to be made: MemoryError, nothing called, no
// reference kept.
TEST(CachedMethod, SlowRoadArgumentsNotMade) {
  Ref list = eval("[1, 2, 3]");
  PyObject* len = PyDict_GetItemString(PyEval_GetBuiltins(), "len");
  Py_INCREF(len);
  tarn::CachedMethod cache = {&PyList_Type, &state.ids.len, nullptr, len, 0};
  Py_ssize_t list_count = Py_REFCNT(list.get()), len_count = Py_REFCNT(len);
  long total;
  {
    PyGC_Collect();  // empties the free lists, whose tuples need no allocation
    tarn_test::FailNth count(0);
    Ref result = Ref::steal(tarn::call_cached_method0(&cache, list.get()));
    total = count.counted();
    EXPECT_EQ(PyLong_AsLong(result.get()), 3);
  }
  ASSERT_GE(total, 1);
  for (long n = 1; n <= total; ++n) {
    PyGC_Collect();
    {
      tarn_test::FailNth fail(n);
      EXPECT_EQ(tarn::call_cached_method0(&cache, list.get()), nullptr) << n;
      EXPECT_TRUE(fail.failed()) << n;
    }
    EXPECT_EQ(pending_error(), "MemoryError: ") << n;
    EXPECT_EQ(Py_REFCNT(list.get()), list_count) << n;
    EXPECT_EQ(Py_REFCNT(len), len_count) << n;
  }
  Py_CLEAR(cache.method);
}

// --- the method cache of append and pop ----------------------------------------------

// A C method with the vector convention is called directly (its arguments as a vector,
// none for pop); one with the tuple convention goes through its descriptor. Either way the
// store's method gets the store and the item, and keeps nothing.
TEST(MethodCache, CMethodsOfEitherConventionThroughPutAndGet) {
  TARN_FAST_ROADS_ONLY();
  Ref q = new_queue();
  ASSERT_TRUE(q) << pending_error();
  Ref item = Ref::steal(PyLong_FromLong(123456));
  Py_ssize_t item_count = Py_REFCNT(item.get());
  struct Case {
    PyType_Spec* spec;
    const char* put_convention;
    const char* get_convention;
    bool called_directly;
  } cases[] = {
      {&fast_store_spec, "fastcall", "fastcall", true},
      {&tuple_store_spec, "varargs", "varargs|keywords", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec->name);
    Ref type = Ref::steal(PyType_FromSpec(c.spec));
    ASSERT_TRUE(type) << pending_error();
    Ref store = Ref::steal(PyObject_CallObject(type.get(), nullptr));
    ASSERT_TRUE(store) << pending_error();
    ASSERT_EQ(PyObject_SetAttrString(q.get(), "queue", store.get()), 0);

    reset_received();
    Ref result = Ref::steal(tarn::put_body(q.get(), item.get()));
    EXPECT_EQ(result.get(), Py_None) << pending_error();
    EXPECT_EQ(received.calls, 1);
    EXPECT_EQ(received.self, store.get());
    EXPECT_EQ(received.nargs, 1);
    EXPECT_EQ(received.first, item.get());
    EXPECT_EQ(received.tuple != nullptr, !c.called_directly);
    EXPECT_EQ(tarn::append_cache.type, reinterpret_cast<PyTypeObject*>(type.get()));
    EXPECT_EQ(tarn::append_cache.entry != nullptr, c.called_directly);
    EXPECT_EQ(Py_REFCNT(item.get()), item_count);

    reset_received();
    result = Ref::steal(tarn::get_body(q.get()));
    EXPECT_EQ(str_of(result.get()), c.get_convention);
    EXPECT_EQ(received.calls, 1);
    EXPECT_EQ(received.self, store.get());
    EXPECT_EQ(received.nargs, 0);
    EXPECT_EQ(received.kwargs, nullptr);
    EXPECT_EQ(tarn::pop_cache.entry != nullptr, c.called_directly);

    reset_received();  // and again, from the filled caches
    result = Ref::steal(tarn::put_body(q.get(), item.get()));
    EXPECT_EQ(received.first, item.get());
    EXPECT_EQ(str_of(Ref::steal(tarn::get_body(q.get())).get()), c.get_convention);
    EXPECT_EQ(received.calls, 2);
    EXPECT_EQ(Py_REFCNT(item.get()), item_count);
    ASSERT_EQ(PyObject_SetAttrString(q.get(), "queue", Py_None), 0);
  }
}

// At the recursion limit the direct call is refused as the descriptor's own call would be:
// RecursionError with _put's entry, nothing appended, no reference taken. The stable ABI
// calls the deque's C function directly too, inside the interpreter's exported guard; the
// calls that make an entry's frame there are refused at the limit as well, and the error
// stands without the entry.
TEST(MethodCache, RefusedAtTheRecursionLimit) {
  if (!tarn::kFastRoads && !tarn::kStableAbi) GTEST_SKIP() << "the generic roads before 3.12 keep no caches";
  Ref q = new_queue();
  ASSERT_TRUE(q) << pending_error();
  Ref deque = Ref::steal(PyObject_GetAttrString(q.get(), "queue"));
  Ref item = Ref::steal(PyLong_FromLong(123456));
  Py_ssize_t item_count = Py_REFCNT(item.get());
  Ref filled = Ref::steal(tarn::put_body(q.get(), item.get()));  // fills the cache for deque
  ASSERT_EQ(filled.get(), Py_None) << pending_error();
  ASSERT_EQ(tarn::append_cache.type, Py_TYPE(deque.get()));
  ASSERT_NE(tarn::append_cache.entry, nullptr);
  PyObject* result;
  int count, count_after;
  {
    tarn_test::AtRecursionLimit at_limit;
    count = at_limit.count();
    result = tarn::put_body(q.get(), item.get());
    count_after = at_limit.count();
  }
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(count_after, count);
  EXPECT_EQ(tarn_test::stack_use_hidden(tarn_test::error_with_entry()),
            tarn_test::recursion_refused() + (tarn::kStableAbi ? "" : " @ corvessa.util.queue.LifoQueue._put:18"));
  EXPECT_EQ(str_of(deque.get()), "deque([123456])");
  EXPECT_EQ(Py_REFCNT(item.get()), item_count + 1);  // the deque's, from the first put
}

#if PY_VERSION_HEX >= 0x030A0000
// An immutable heap type's method is called from the type alone, on either road, and the
// cache holds the type while it does: freed, another type could be made at its address.
TEST(MethodCache, HoldsTheFixedTypeItCalls) {
  if (!tarn::kFastRoads && !tarn::kStableAbi) GTEST_SKIP() << "the generic roads before 3.12 keep no caches";
  Ref q = new_queue();
  ASSERT_TRUE(q) << pending_error();
  Ref deque = Ref::steal(PyObject_GetAttrString(q.get(), "queue"));
  Ref type = Ref::steal(PyType_FromSpec(&fixed_store_spec));
  ASSERT_TRUE(type) << pending_error();
  Ref store = Ref::steal(PyObject_CallObject(type.get(), nullptr));
  ASSERT_TRUE(store) << pending_error();
  Py_ssize_t type_count = Py_REFCNT(type.get());
  ASSERT_EQ(PyObject_SetAttrString(q.get(), "queue", store.get()), 0);
  for (int round = 0; round < 2; ++round) {  // filling the caches, then from them
    reset_received();
    EXPECT_EQ(Ref::steal(tarn::put_body(q.get(), Py_Ellipsis)).get(), Py_None) << pending_error();
    EXPECT_EQ(received.arg, Py_Ellipsis);
    EXPECT_EQ(str_of(Ref::steal(tarn::get_body(q.get())).get()), "noargs");
    EXPECT_EQ(received.calls, 2);
    EXPECT_EQ(received.self, store.get());
  }
  EXPECT_EQ(tarn::append_cache.fixed, reinterpret_cast<PyTypeObject*>(type.get()));
  EXPECT_EQ(Py_REFCNT(type.get()), type_count + 2);  // append's cache and pop's
  ASSERT_EQ(PyObject_SetAttrString(q.get(), "queue", deque.get()), 0);
  EXPECT_EQ(Ref::steal(tarn::put_body(q.get(), Py_None)).get(), Py_None) << pending_error();
  EXPECT_EQ(Ref::steal(tarn::get_body(q.get())).get(), Py_None) << pending_error();
  EXPECT_EQ(tarn::pop_cache.fixed, Py_TYPE(deque.get()));
  EXPECT_EQ(Py_REFCNT(type.get()), type_count);
}
#endif

#if PY_VERSION_HEX < 0x03090000
// Until 3.9 the recursion guard is a macro compiled into the module: the direct call
// brings the depth back and clears the overflowed flag below the low-water mark (the limit
// less 50, or three quarters of a limit of 200 or less), as the interpreter's own calls do,
// and goes ahead past the limit while an overflow is being handled (overflowed set).
TEST(MethodCacheGuardMacro, DepthAndOverflowedAsTheInterpretersCalls) {
  TARN_FAST_ROADS_ONLY();
  PyThreadState* ts = PyThreadState_Get();
  int saved_limit = Py_GetRecursionLimit();
  int saved_depth = ts->recursion_depth;
  Ref deque = eval("__import__('collections').deque()");
  tarn::TypeMethodCache cache = {};
  struct Case {
    int limit;
    int depth;
    int overflowed_after;
  } cases[] = {{1000, 949, 0}, {1000, 950, 1}, {150, 110, 0}, {150, 111, 1}, {1000, 1000, 1}};
  for (const Case& c : cases) {
    std::string code = "import sys; sys.setrecursionlimit(" + std::to_string(c.limit) + ")";
    ASSERT_TRUE(tarn_test::exec_python(code.c_str()));
    ts->recursion_depth = c.depth;
    ts->overflowed = 1;
    Ref result = Ref::steal(tarn::call_method_cached(&cache, deque.get(), state.ids.append, Py_None));
    int depth_after = ts->recursion_depth, overflowed_after = ts->overflowed;
    ts->recursion_depth = saved_depth;
    ts->overflowed = 0;
    EXPECT_EQ(result.get(), Py_None) << c.limit << " " << c.depth << pending_error();
    EXPECT_NE(cache.entry, nullptr);  // the direct call
    EXPECT_EQ(depth_after, c.depth) << c.limit << " " << c.depth;
    EXPECT_EQ(overflowed_after, c.overflowed_after) << c.limit << " " << c.depth;
  }
  Py_SetRecursionLimit(saved_limit);
  EXPECT_EQ(str_of(deque.get()), "deque([None, None, None, None, None])");
}
#endif

}  // namespace
