// The exception in flight handled straight in the thread state, and exception matching
// by identity, method resolution order and base chain.
#include "embedded.h"

#include <gtest/gtest.h>

namespace {

using tarn::Ref;
using tarn_test::eval_python;
using tarn_test::exec_python;

PyTypeObject* as_type(PyObject* p) { return reinterpret_cast<PyTypeObject*>(p); }

using tarn_test::tuple_of;

TEST(RuntimeErrorMatching, PendingKeyErrorAgainstClassesAndTuples) {
  PyThreadState* ts = PyThreadState_Get();
  Ref value_lookup = tuple_of({PyExc_ValueError, PyExc_LookupError});
  Ref value_attr = tuple_of({PyExc_ValueError, PyExc_AttributeError});
  Ref empty = tuple_of({});

  PyErr_SetString(PyExc_KeyError, "k");
  EXPECT_EQ(tarn::error_matches_in_state(ts, PyExc_KeyError), 1);
  EXPECT_EQ(tarn::error_matches_in_state(ts, PyExc_LookupError), 1);
  EXPECT_EQ(tarn::error_matches_in_state(ts, PyExc_BaseException), 1);
  EXPECT_EQ(tarn::error_matches_in_state(ts, value_lookup.get()), 1);
  EXPECT_EQ(tarn::error_matches_in_state(ts, PyExc_AttributeError), 0);
  EXPECT_EQ(tarn::error_matches_in_state(ts, value_attr.get()), 0);
  EXPECT_EQ(tarn::error_matches_in_state(ts, empty.get()), 0);
  // Matching neither consumes nor replaces the exception.
  EXPECT_EQ(tarn_test::pending_error(), "KeyError: 'k'");

  EXPECT_EQ(tarn::error_matches_in_state(ts, PyExc_LookupError), 0);
  EXPECT_EQ(tarn::error_matches_in_state(ts, value_lookup.get()), 0);
  EXPECT_EQ(tarn::error_matches_in_state(ts, empty.get()), 0);
  EXPECT_FALSE(PyErr_Occurred());
}

TEST(RuntimeErrorMatching, PythonSubclassesMatchThroughTheirMro) {
  ASSERT_TRUE(exec_python("class RtMyAttrError(AttributeError): pass\n"
                          "class RtBoth(ValueError, KeyError): pass\n"));
  Ref mine = Ref::steal(eval_python("RtMyAttrError"));
  Ref both = Ref::steal(eval_python("RtBoth"));
  PyThreadState* ts = PyThreadState_Get();

  PyErr_SetNone(mine.get());
  EXPECT_EQ(tarn::error_matches_in_state(ts, PyExc_AttributeError), 1);
  EXPECT_EQ(tarn::error_matches_in_state(ts, PyExc_KeyError), 0);
  PyErr_Clear();

  // LookupError is in RtBoth's MRO but not on its tp_base chain (ValueError's side).
  ASSERT_EQ(as_type(both.get())->tp_base, as_type(PyExc_ValueError));
  EXPECT_EQ(tarn::in_base_chain(as_type(both.get()), as_type(PyExc_LookupError)), 0);
  EXPECT_EQ(tarn::is_subtype(as_type(both.get()), as_type(PyExc_LookupError)), 1);
  EXPECT_EQ(tarn::given_exception_matches(both.get(), PyExc_LookupError), 1);
  EXPECT_EQ(tarn::given_exception_matches(both.get(), PyExc_AttributeError), 0);
}

TEST(RuntimeErrorMatching, TupleItemsThatAreNotClasses) {
  Ref text = Ref::steal(PyUnicode_FromString("KeyError"));
  Ref nested = tuple_of({PyExc_LookupError});
  Ref with_nested = tuple_of({text.get(), nested.get()});
  Ref only_text = tuple_of({text.get()});
  Ref outer = tuple_of({PyExc_ValueError, with_nested.get()});

  // Skipped by the class-tuple test: a string or a nested tuple never matches there.
  EXPECT_EQ(tarn::given_exception_matches_tuple(PyExc_KeyError, with_nested.get()), 0);
  EXPECT_EQ(tarn::given_exception_matches(PyExc_KeyError, outer.get()), 0);
  // error_matches_tuple hands each item to given_exception_matches, which walks a nested
  // tuple and passes a string to the interpreter (no match, no error).
  EXPECT_EQ(tarn::error_matches_tuple(PyExc_KeyError, with_nested.get()), 1);
  EXPECT_EQ(tarn::error_matches_tuple(PyExc_KeyError, only_text.get()), 0);
  EXPECT_EQ(tarn::error_matches_tuple(PyExc_KeyError, outer.get()), 0);  // two levels down
  EXPECT_FALSE(PyErr_Occurred());

  // An exception type that is not a class (an instance) is the interpreter's to judge.
  Ref instance = Ref::steal(PyObject_CallFunction(PyExc_KeyError, "s", "k"));
  EXPECT_EQ(tarn::given_exception_matches(instance.get(), PyExc_LookupError), 1);
  EXPECT_EQ(tarn::given_exception_matches(instance.get(), PyExc_ValueError), 0);
  EXPECT_EQ(tarn::given_exception_matches(PyExc_KeyError, PyExc_KeyError), 1);
}

// For exception classes, classes that are no exceptions and flat tuples of them, every
// matcher answers as the interpreter does; a tuple that holds the type itself answers in
// the identity pass.
TEST(RuntimeErrorMatching, AgreesWithTheInterpreter) {
  PyObject* const int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
  PyObject* const bool_type = reinterpret_cast<PyObject*>(&PyBool_Type);
  Ref holding_key = tuple_of({PyExc_ValueError, PyExc_KeyError});
  Ref int_then_lookup = tuple_of({int_type, PyExc_LookupError});
  Ref int_then_value = tuple_of({int_type, PyExc_ValueError});
  Ref only_int = tuple_of({int_type});
  struct Case {
    const char* what;
    PyObject* type;
    PyObject* expected;
    int matches;
  } cases[] = {
      {"a tuple that holds the type", PyExc_KeyError, holding_key.get(), 1},
      {"a class that is no exception, then a base", PyExc_KeyError, int_then_lookup.get(), 1},
      {"a class that is no exception, then another class", PyExc_KeyError, int_then_value.get(), 0},
      {"a tuple of a class that is no exception", PyExc_KeyError, only_int.get(), 0},
      {"an expected class that is no exception", PyExc_KeyError, int_type, 0},
      {"a class that is no exception against an exception", int_type, PyExc_ValueError, 0},
      {"a class that is no exception against a tuple of its base", bool_type, only_int.get(), 0},
      {"a class that is no exception against its base", bool_type, int_type, 0},
  };
  PyThreadState* ts = PyThreadState_Get();
  for (const Case& c : cases) {
    ASSERT_EQ(PyErr_GivenExceptionMatches(c.type, c.expected), c.matches) << c.what;
    EXPECT_EQ(tarn::given_exception_matches(c.type, c.expected), c.matches) << c.what;
    if (PyTuple_Check(c.expected)) {
      EXPECT_EQ(tarn::error_matches_tuple(c.type, c.expected), c.matches) << c.what;
      if (PyExceptionClass_Check(c.type)) {
        EXPECT_EQ(tarn::given_exception_matches_tuple(c.type, c.expected), c.matches) << c.what;
      }
    }
    if (PyExceptionClass_Check(c.type)) {  // raised, then matched in the thread state
      PyErr_SetNone(c.type);
      EXPECT_EQ(tarn::error_matches_in_state(ts, c.expected), c.matches) << c.what;
      EXPECT_EQ(tarn::raised_type(ts), c.type) << c.what;  // neither consumed nor replaced
      PyErr_Clear();
    }
    EXPECT_FALSE(PyErr_Occurred()) << c.what;
  }
}

// A type that was never readied: it has a tp_base chain but no tp_mro.
TEST(RuntimeErrorMatching, TypeWithoutMroUsesItsBaseChain) {
  static PyTypeObject bare;
  static PyTypeObject rootless;
  Py_SET_REFCNT(&bare, 1);  // static: the tuple below takes and drops a reference
  bare.tp_name = "rt_bare";
  bare.tp_base = as_type(PyExc_KeyError);
  rootless.tp_name = "rt_rootless";
  ASSERT_EQ(bare.tp_mro, nullptr);
  PyTypeObject* object = &PyBaseObject_Type;

  EXPECT_EQ(tarn::is_subtype(&bare, &bare), 1);
  EXPECT_EQ(tarn::is_subtype(&bare, as_type(PyExc_KeyError)), 1);
  EXPECT_EQ(tarn::is_subtype(&bare, as_type(PyExc_LookupError)), 1);
  EXPECT_EQ(tarn::is_subtype(&bare, as_type(PyExc_ValueError)), 0);
  EXPECT_EQ(tarn::is_subtype(&bare, object), 1);
  EXPECT_EQ(tarn::in_base_chain(&bare, &bare), 0);  // the starting type is not compared
  EXPECT_EQ(tarn::in_base_chain(&bare, as_type(PyExc_BaseException)), 1);
  EXPECT_EQ(tarn::in_base_chain(&rootless, object), 1);
  EXPECT_EQ(tarn::is_subtype(&rootless, object), 1);
  EXPECT_EQ(tarn::is_subtype(&rootless, as_type(PyExc_KeyError)), 0);
  EXPECT_EQ(tarn::in_base_chain(object, object), 1);

  // Once an MRO exists the chain is no longer consulted.
  Ref mro = tuple_of({reinterpret_cast<PyObject*>(&bare), reinterpret_cast<PyObject*>(object)});
  bare.tp_mro = mro.get();
  EXPECT_EQ(tarn::is_subtype(&bare, as_type(PyExc_LookupError)), 0);
  EXPECT_EQ(tarn::is_subtype(&bare, object), 1);
  bare.tp_mro = nullptr;

  // Dressed up as an exception class, it matches through the chain too.
  Py_SET_TYPE(&bare, &PyType_Type);
  bare.tp_flags = Py_TPFLAGS_BASE_EXC_SUBCLASS;
  PyObject* bare_class = reinterpret_cast<PyObject*>(&bare);
  ASSERT_TRUE(PyExceptionClass_Check(bare_class));
  Ref lookup_tuple = tuple_of({PyExc_ValueError, PyExc_LookupError});
  EXPECT_EQ(tarn::given_exception_matches(bare_class, PyExc_LookupError), 1);
  EXPECT_EQ(tarn::given_exception_matches(bare_class, lookup_tuple.get()), 1);
  EXPECT_EQ(tarn::given_exception_matches(bare_class, PyExc_AttributeError), 0);
}

// From 3.12 on the thread state holds one exception object, which keeps its traceback.
constexpr bool kOneExceptionObject = PY_VERSION_HEX >= 0x030C0000;

TEST(RuntimeErrorState, FetchAndRestoreMoveReferences) {
  PyThreadState* ts = PyThreadState_Get();
  using tarn_test::raised_traceback;
  using tarn_test::raised_value;
  Ref value = tarn_test::raised_value_for(PyExc_ValueError, "moved");
  ASSERT_EQ(eval_python("1/0"), nullptr);  // a real traceback to move around
  PyObject *zero_type, *zero_value, *zero_tb;
  PyErr_Fetch(&zero_type, &zero_value, &zero_tb);
  Ref zt = Ref::steal(zero_type), zv = Ref::steal(zero_value), tb_held = Ref::steal(zero_tb);
  ASSERT_TRUE(tb_held && PyTraceBack_Check(tb_held.get()));
  Py_ssize_t type_count = Py_REFCNT(PyExc_ValueError);
  Py_ssize_t value_count = Py_REFCNT(value.get());
  Py_ssize_t tb_count = Py_REFCNT(tb_held.get());

  Py_INCREF(PyExc_ValueError);
  Py_INCREF(value.get());
  Py_INCREF(tb_held.get());
  tarn::restore_error_state(ts, PyExc_ValueError, value.get(), tb_held.get());
  EXPECT_EQ(tarn::raised_type(ts), PyExc_ValueError);
  EXPECT_EQ(raised_value(ts), value.get());
  EXPECT_EQ(raised_traceback(ts), tb_held.get());
  EXPECT_EQ(Py_REFCNT(value.get()), value_count + 1);
  EXPECT_EQ(Py_REFCNT(tb_held.get()), tb_count + 1);

  PyObject *type = nullptr, *v = nullptr, *tb = nullptr;
  tarn::fetch_error_state(ts, &type, &v, &tb);
  EXPECT_EQ(type, PyExc_ValueError);
  EXPECT_EQ(v, value.get());
  EXPECT_EQ(tb, tb_held.get());
  EXPECT_EQ(tarn::raised_type(ts), nullptr);
  EXPECT_EQ(raised_value(ts), nullptr);
  EXPECT_EQ(raised_traceback(ts), nullptr);
  EXPECT_EQ(Py_REFCNT(value.get()), value_count + 1);  // moved, not copied
  // The exception object keeps its own reference to the traceback it hands out.
  EXPECT_EQ(Py_REFCNT(tb_held.get()), tb_count + (kOneExceptionObject ? 2 : 1));

  // Restoring over a set triple releases the old one.
  tarn::restore_error_state(ts, type, v, tb);
  Py_INCREF(PyExc_KeyError);
  tarn::restore_error_state(ts, PyExc_KeyError, nullptr, nullptr);
  EXPECT_EQ(Py_REFCNT(value.get()), value_count);
  EXPECT_EQ(Py_REFCNT(tb_held.get()), tb_count + (kOneExceptionObject ? 1 : 0));  // value's own
  EXPECT_EQ(Py_REFCNT(PyExc_ValueError), type_count);
  EXPECT_EQ(tarn::raised_type(ts), PyExc_KeyError);
  if (kOneExceptionObject)
    EXPECT_TRUE(PyObject_TypeCheck(raised_value(ts), reinterpret_cast<PyTypeObject*>(PyExc_KeyError)));
  else
    EXPECT_EQ(raised_value(ts), nullptr);

  // Three nulls clear the state and release what it held.
  Py_ssize_t key_count = Py_REFCNT(PyExc_KeyError);
  tarn::restore_error_state(ts, nullptr, nullptr, nullptr);
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(Py_REFCNT(PyExc_KeyError), tarn_test::count_after(PyExc_KeyError, key_count, -1));
  tarn::fetch_error_state(ts, &type, &v, &tb);
  EXPECT_EQ(type, nullptr);
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(tb, nullptr);
}

}  // namespace
