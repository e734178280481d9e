// Function objects made from test method definitions: creation and refused call flags,
// the three vectorcall entries, tp_call with its keyword-dictionary adapter, the classic
// path, the defaults caches, weak references, the collector, and leaks.
#include "embedded.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using tarn::Ref;
using tarn::TarnFunction;
using tarn_test::pending_error;

constexpr std::size_t kOffset = PY_VECTORCALL_ARGUMENTS_OFFSET;

// What the last implementation call received.
struct Received {
  int calls = 0;
  PyObject* self = nullptr;
  Py_ssize_t nargs = -1;
  std::vector<PyObject*> args;  // positional arguments, then keyword values
  bool had_kwnames = false;
  Ref kwnames;
  Ref tuple;  // classic path
  Ref dict;
};
Received got;
bool impl_fails = false;

void reset() { got = Received(); }

PyObject* finish() {
  ++got.calls;
  if (impl_fails) {
    PyErr_SetString(PyExc_ValueError, "raised by the implementation");
    return nullptr;
  }
  Py_INCREF(Py_Ellipsis);
  return Py_Ellipsis;
}

PyObject* impl_o(PyObject* self, PyObject* arg) {
  got.self = self;
  got.args = {arg};
  return finish();
}
PyObject* impl_varargs(PyObject* self, PyObject* args) {
  got.self = self;
  got.tuple = Ref::borrow(args);
  return finish();
}
PyObject* impl_varkw(PyObject* self, PyObject* args, PyObject* kwargs) {
  got.self = self;
  got.tuple = Ref::borrow(args);
  got.dict = Ref::borrow(kwargs);
  return finish();
}
PyObject* impl_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  got.self = self;
  got.nargs = nargs;
  got.had_kwnames = kwnames != nullptr;
  got.kwnames = Ref::borrow(kwnames);
  got.args.assign(args, args + nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
  return finish();
}

template <typename F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef def_o{"fo", impl_o, METH_O, nullptr};
PyMethodDef def_noargs{"fn", impl_o, METH_NOARGS, nullptr};
PyMethodDef def_varkw{"fvk", as_cfunction(impl_varkw), METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef def_fast{"ff", as_cfunction(impl_fast), METH_FASTCALL | METH_KEYWORDS, "doc of ff"};

TarnFunction* tf(const Ref& f) { return reinterpret_cast<TarnFunction*>(f.get()); }

// The error of a call that must fail, as "Type: message".
std::string failure(PyObject* result) {
  Ref held = Ref::steal(result);
  if (held) return "<no failure>";
  return pending_error();
}

using tarn_test::tuple_of;

class FunctionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset();
    impl_fails = false;
    qualname = Ref::steal(PyUnicode_FromString("Test.function_under_test"));
    module = Ref::steal(PyUnicode_FromString("test.module.name"));
    globals = Ref::steal(PyDict_New());
    code = Ref::steal(tarn_test::eval_python("compile('pass', '<test>', 'exec')"));
    ASSERT_TRUE(code) << pending_error();
    for (auto* r : {&a, &b, &c, &d}) *r = Ref::steal(PyList_New(0));
  }
  void TearDown() override { reset(); }

  Ref make(PyMethodDef* def, int flags, PyObject* self_ref = nullptr) {
    return Ref::steal(tarn::function_object_new(def, flags, qualname.get(), self_ref, module.get(), globals.get(),
                                                code.get()));
  }
  std::vector<Py_ssize_t> counts() const {
    return {Py_REFCNT(qualname.get()), Py_REFCNT(module.get()), Py_REFCNT(globals.get()), Py_REFCNT(code.get())};
  }

  Ref qualname, module, globals, code;
  Ref a, b, c, d;  // distinct argument objects
};

// --- creation ----------------------------------------------------------------

TEST_F(FunctionTest, CreationChoosesTheEntryFromTheMaskedMethodFlags) {
  struct {
    int ml_flags;
    vectorcallfunc entry;
  } accepted[] = {
      {METH_O, tarn::call_entry_one_arg},
      {METH_NOARGS, tarn::call_entry_noargs},
      {METH_VARARGS | METH_KEYWORDS, nullptr},
      {METH_FASTCALL | METH_KEYWORDS, tarn::call_entry_fastcall_kw},
      {METH_O | METH_CLASS, tarn::call_entry_one_arg},
      {METH_NOARGS | METH_STATIC | METH_COEXIST, tarn::call_entry_noargs},
  };
  auto before = counts();
  for (auto& row : accepted) {
    PyMethodDef def{"g", impl_o, row.ml_flags, nullptr};
    for (int flags : {0, 4, 5}) {
      Ref f = make(&def, flags, a.get());
      ASSERT_TRUE(f) << pending_error();
      EXPECT_EQ(Py_TYPE(f.get()), tarn::state.function_type);
      EXPECT_EQ(tf(f)->vectorcall, row.entry) << row.ml_flags;
      EXPECT_EQ(tf(f)->m_self, f.get());
      EXPECT_EQ(tf(f)->m_ml, &def);
      EXPECT_EQ(tf(f)->flags, flags);
      EXPECT_TRUE(tarn_test::gc_is_tracked(f.get()));
      EXPECT_EQ(Py_REFCNT(f.get()), 1);
      EXPECT_EQ(Py_REFCNT(a.get()), 2);  // self_ref is held
      Ref self = Ref::steal(PyObject_GetAttrString(f.get(), "__self__"));
      EXPECT_EQ(self.get(), a.get());
    }
  }
  EXPECT_EQ(counts(), before);
  EXPECT_EQ(Py_REFCNT(a.get()), 1);
  PyTypeObject* own = tarn::own_function_type();
  EXPECT_EQ(own, tarn::state.function_type);
  EXPECT_EQ(own->tp_flags & 0x64800UL, 0x64800UL);
  EXPECT_EQ(own->tp_flags & Py_TPFLAGS_BASETYPE, 0UL);
  EXPECT_EQ(own->tp_basicsize, static_cast<Py_ssize_t>(sizeof(TarnFunction)));
}

TEST_F(FunctionTest, RefusedCallFlagsReleaseEverything) {
  const int refused[] = {0,
                         METH_VARARGS,
                         METH_KEYWORDS,
                         METH_FASTCALL,
                         METH_O | METH_NOARGS,
                         METH_O | METH_KEYWORDS,
                         METH_NOARGS | METH_KEYWORDS,
                         METH_VARARGS | METH_FASTCALL,
                         METH_O | METH_FASTCALL | METH_KEYWORDS,
                         METH_VARARGS | METH_KEYWORDS | METH_FASTCALL,
                         METH_VARARGS | METH_CLASS};
  auto before = counts();
  for (int ml_flags : refused) {
    PyMethodDef def{"g", impl_o, ml_flags, nullptr};
    for (int flags : {0, 4}) {
      Ref f = make(&def, flags, a.get());
      EXPECT_FALSE(f) << ml_flags;
      EXPECT_EQ(pending_error(), "SystemError: Bad call flags for TarnFunction") << ml_flags;
    }
  }
  EXPECT_EQ(counts(), before);
  EXPECT_EQ(Py_REFCNT(a.get()), 1);
}

// --- the vectorcall entries --------------------------------------------------

TEST_F(FunctionTest, OneArgEntry) {
  Ref f = make(&def_o, 0);
  PyObject* v[] = {a.get(), b.get(), c.get()};
  Ref empty = Ref::steal(PyTuple_New(0));
  Ref kw = tuple_of({a.get()});
  for (std::size_t n : {std::size_t{1}, 1 | kOffset}) {
    reset();
    Ref r = Ref::steal(tarn::call_entry_one_arg(f.get(), v, n, nullptr));
    EXPECT_EQ(r.get(), Py_Ellipsis);
    EXPECT_EQ(got.self, f.get());
    EXPECT_EQ(got.args, std::vector<PyObject*>{a.get()});
    reset();
    r = Ref::steal(_PyObject_Vectorcall(f.get(), v, n, empty.get()));  // through the type's offset
    EXPECT_EQ(r.get(), Py_Ellipsis);
    EXPECT_EQ(got.args, std::vector<PyObject*>{a.get()});
  }
  reset();
  EXPECT_EQ(failure(tarn::call_entry_one_arg(f.get(), v, 2 | kOffset, nullptr)),
            "TypeError: fo() takes exactly one argument (2 given)");
  EXPECT_EQ(failure(tarn::call_entry_one_arg(f.get(), v, 0, nullptr)),
            "TypeError: fo() takes exactly one argument (0 given)");
  EXPECT_EQ(failure(tarn::call_entry_one_arg(f.get(), v, 1, kw.get())), "TypeError: fo() takes no keyword arguments");
  EXPECT_EQ(got.calls, 0);

  Ref bound = make(&def_o, 4);
  Ref r = Ref::steal(tarn::call_entry_one_arg(bound.get(), v, 2 | kOffset, nullptr));
  EXPECT_EQ(r.get(), Py_Ellipsis);
  EXPECT_EQ(got.self, a.get());
  EXPECT_EQ(got.args, std::vector<PyObject*>{b.get()});
  reset();
  EXPECT_EQ(failure(tarn::call_entry_one_arg(bound.get(), v, 3, nullptr)),
            "TypeError: fo() takes exactly one argument (2 given)");
  EXPECT_EQ(failure(tarn::call_entry_one_arg(bound.get(), v, 1, nullptr)),
            "TypeError: fo() takes exactly one argument (0 given)");
  EXPECT_EQ(failure(tarn::call_entry_one_arg(bound.get(), v, kOffset, nullptr)), "TypeError: fo() needs an argument");
  // The argument check comes before the keyword check.
  EXPECT_EQ(failure(tarn::call_entry_one_arg(bound.get(), v, 0, kw.get())), "TypeError: fo() needs an argument");
  EXPECT_EQ(got.calls, 0);

  Ref cancelled = make(&def_o, 5);  // static cancels class-bound
  r = Ref::steal(tarn::call_entry_one_arg(cancelled.get(), v, 1, nullptr));
  EXPECT_EQ(got.self, cancelled.get());
  EXPECT_EQ(got.args, std::vector<PyObject*>{a.get()});
}

TEST_F(FunctionTest, NoArgsEntry) {
  Ref f = make(&def_noargs, 0);
  PyObject* v[] = {a.get(), b.get()};
  Ref empty = Ref::steal(PyTuple_New(0));
  Ref kw = tuple_of({a.get()});
  for (PyObject* names : {static_cast<PyObject*>(nullptr), empty.get()}) {
    reset();
    Ref r = Ref::steal(tarn::call_entry_noargs(f.get(), v, kOffset, names));
    EXPECT_EQ(r.get(), Py_Ellipsis);
    EXPECT_EQ(got.self, f.get());
    EXPECT_EQ(got.args, std::vector<PyObject*>{nullptr});
  }
  reset();
  EXPECT_EQ(failure(tarn::call_entry_noargs(f.get(), v, 1 | kOffset, nullptr)),
            "TypeError: fn() takes no arguments (1 given)");
  EXPECT_EQ(failure(tarn::call_entry_noargs(f.get(), v, 0, kw.get())), "TypeError: fn() takes no keyword arguments");
  EXPECT_EQ(got.calls, 0);

  Ref bound = make(&def_noargs, 4);
  Ref r = Ref::steal(tarn::call_entry_noargs(bound.get(), v, 1, nullptr));
  EXPECT_EQ(got.self, a.get());
  EXPECT_EQ(got.args, std::vector<PyObject*>{nullptr});
  reset();
  EXPECT_EQ(failure(tarn::call_entry_noargs(bound.get(), v, 2, nullptr)),
            "TypeError: fn() takes no arguments (1 given)");
  EXPECT_EQ(failure(tarn::call_entry_noargs(bound.get(), v, 0, nullptr)), "TypeError: fn() needs an argument");
  EXPECT_EQ(failure(tarn::call_entry_noargs(bound.get(), v, 0, kw.get())), "TypeError: fn() needs an argument");
  EXPECT_EQ(failure(tarn::call_entry_noargs(bound.get(), v, 1, kw.get())),
            "TypeError: fn() takes no keyword arguments");
  EXPECT_EQ(got.calls, 0);
}

TEST_F(FunctionTest, FastcallEntryPassesKeywordNamesThrough) {
  Ref f = make(&def_fast, 0);
  Ref names = tuple_of({qualname.get()});  // any tuple: the entry checks nothing about keywords
  PyObject* v[] = {a.get(), b.get(), c.get()};
  for (std::size_t n : {std::size_t{2}, 2 | kOffset}) {
    reset();
    Ref r = Ref::steal(tarn::call_entry_fastcall_kw(f.get(), v, n, names.get()));
    EXPECT_EQ(r.get(), Py_Ellipsis);
    EXPECT_EQ(got.self, f.get());
    EXPECT_EQ(got.nargs, 2);
    EXPECT_EQ(got.kwnames.get(), names.get());
    EXPECT_EQ(got.args, (std::vector<PyObject*>{a.get(), b.get(), c.get()}));
  }
  Ref bound = make(&def_fast, 4);
  reset();
  Ref r = Ref::steal(_PyObject_Vectorcall(bound.get(), v, 2 | kOffset, names.get()));
  EXPECT_EQ(got.self, a.get());
  EXPECT_EQ(got.nargs, 1);
  EXPECT_EQ(got.args, (std::vector<PyObject*>{b.get(), c.get()}));
  reset();
  EXPECT_EQ(failure(tarn::call_entry_fastcall_kw(bound.get(), v, kOffset, names.get())),
            "TypeError: ff() needs an argument");
  EXPECT_EQ(got.calls, 0);
  Ref cancelled = make(&def_fast, 5);
  r = Ref::steal(tarn::call_entry_fastcall_kw(cancelled.get(), v, 0, nullptr));
  EXPECT_EQ(got.self, cancelled.get());
  EXPECT_EQ(got.nargs, 0);
  EXPECT_FALSE(got.had_kwnames);
  // An error of the implementation passes through.
  impl_fails = true;
  EXPECT_EQ(failure(tarn::call_entry_fastcall_kw(f.get(), v, 1, nullptr)),
            "ValueError: raised by the implementation");
}

TEST_F(FunctionTest, NamesInMessagesAreCutAt200Characters) {
  static const std::string long_name(250, 'n');
  const std::string cut(200, 'n');
  PyMethodDef one{long_name.c_str(), impl_o, METH_O, nullptr};
  PyMethodDef none{long_name.c_str(), impl_o, METH_NOARGS, nullptr};
  PyMethodDef fast{long_name.c_str(), as_cfunction(impl_fast), METH_FASTCALL | METH_KEYWORDS, nullptr};
  Ref fo = make(&one, 4), fn = make(&none, 0), ff = make(&fast, 4), bad = make(&one, 0);
  PyObject* v[] = {a.get(), b.get(), c.get()};
  Ref kw = tuple_of({a.get()});
  EXPECT_EQ(failure(tarn::call_entry_one_arg(fo.get(), v, 3, nullptr)),
            "TypeError: " + cut + "() takes exactly one argument (2 given)");
  EXPECT_EQ(failure(tarn::call_entry_one_arg(fo.get(), v, 0, nullptr)), "TypeError: " + cut + "() needs an argument");
  EXPECT_EQ(failure(tarn::call_entry_noargs(fn.get(), v, 1, nullptr)),
            "TypeError: " + cut + "() takes no arguments (1 given)");
  EXPECT_EQ(failure(tarn::call_entry_noargs(fn.get(), v, 0, kw.get())),
            "TypeError: " + cut + "() takes no keyword arguments");
  EXPECT_EQ(failure(tarn::call_entry_fastcall_kw(ff.get(), v, 0, nullptr)),
            "TypeError: " + cut + "() needs an argument");
  Ref t = tuple_of({a.get(), b.get()});
  EXPECT_EQ(failure(tarn::call_by_method_flags(bad.get(), bad.get(), t.get(), nullptr)),
            "TypeError: " + cut + "() takes exactly one argument (2 given)");
  EXPECT_EQ(got.calls, 0);
}

// --- tp_call -------------------------------------------------------------------

TEST_F(FunctionTest, TpCallFeedsTheKeywordDictionaryToTheEntry) {
  Ref f = make(&def_fast, 0);
  EXPECT_EQ(Py_TYPE(f.get())->tp_call, tarn::function_call);
  Ref args = tuple_of({a.get(), b.get()});
  Ref kx = Ref::steal(PyUnicode_FromString("kw_x_name")), ky = Ref::steal(PyUnicode_FromString("kw_y_name"));
  Ref kwargs = Ref::steal(PyDict_New());
  PyDict_SetItem(kwargs.get(), ky.get(), c.get());  // the dictionary's order, not sorted
  PyDict_SetItem(kwargs.get(), kx.get(), d.get());
  std::vector<Py_ssize_t> refs = {Py_REFCNT(args.get()), Py_REFCNT(kwargs.get()), Py_REFCNT(kx.get()),
                                  Py_REFCNT(ky.get()),   Py_REFCNT(c.get()),      Py_REFCNT(d.get())};
  auto current = [&] {
    return std::vector<Py_ssize_t>{Py_REFCNT(args.get()), Py_REFCNT(kwargs.get()), Py_REFCNT(kx.get()),
                                   Py_REFCNT(ky.get()),   Py_REFCNT(c.get()),      Py_REFCNT(d.get())};
  };
  for (bool generic : {false, true}) {
    reset();
    Ref r = Ref::steal(generic ? PyObject_Call(f.get(), args.get(), kwargs.get())
                               : tarn::function_call(f.get(), args.get(), kwargs.get()));
    EXPECT_EQ(r.get(), Py_Ellipsis);
    EXPECT_EQ(got.self, f.get());
    EXPECT_EQ(got.nargs, 2);
    ASSERT_TRUE(got.kwnames);
    EXPECT_EQ(tarn_test::str_of(got.kwnames.get()), "('kw_y_name', 'kw_x_name')");
    EXPECT_EQ(got.args, (std::vector<PyObject*>{a.get(), b.get(), c.get(), d.get()}));
    reset();
    EXPECT_EQ(current(), refs);
  }
  // No dictionary and an empty one both reach the implementation as no keyword names.
  Ref empty = Ref::steal(PyDict_New());
  for (PyObject* kw : {static_cast<PyObject*>(nullptr), empty.get()}) {
    reset();
    Ref r = Ref::steal(tarn::function_call(f.get(), args.get(), kw));
    EXPECT_EQ(got.nargs, 2);
    EXPECT_FALSE(got.had_kwnames);
  }
  // A failing implementation: everything taken is released as well.
  reset();
  impl_fails = true;
  EXPECT_EQ(failure(tarn::function_call(f.get(), args.get(), kwargs.get())),
            "ValueError: raised by the implementation");
  reset();
  EXPECT_EQ(current(), refs);
  // A str subclass is a str key.
  impl_fails = false;
  Ref sub_key = Ref::steal(tarn_test::eval_python("type('S', (str,), {})('sub_key')"));
  Ref sub = Ref::steal(PyDict_New());
  PyDict_SetItem(sub.get(), sub_key.get(), c.get());
  Ref r = Ref::steal(tarn::function_call(f.get(), args.get(), sub.get()));
  EXPECT_EQ(r.get(), Py_Ellipsis);
  EXPECT_EQ(got.args.size(), 3u);
}

TEST_F(FunctionTest, NonStrKeywordIsRefusedWithoutCallingOrLeaking) {
  Ref f = make(&def_fast, 0);
  Ref args = tuple_of({a.get()});
  Ref kx = Ref::steal(PyUnicode_FromString("kw_x_name")), bad = Ref::steal(PyFloat_FromDouble(2.5));
  Ref kwargs = Ref::steal(PyDict_New());
  PyDict_SetItem(kwargs.get(), kx.get(), c.get());
  PyDict_SetItem(kwargs.get(), bad.get(), d.get());
  auto current = [&] {
    return std::vector<Py_ssize_t>{Py_REFCNT(args.get()), Py_REFCNT(kwargs.get()), Py_REFCNT(kx.get()),
                                   Py_REFCNT(bad.get()),  Py_REFCNT(c.get()),      Py_REFCNT(d.get()),
                                   Py_REFCNT(a.get())};
  };
  auto before = current();
  PyObject* v[] = {a.get()};
  EXPECT_EQ(failure(tarn::function_call(f.get(), args.get(), kwargs.get())), "TypeError: keywords must be strings");
  EXPECT_EQ(failure(tarn::vectorcall_from_dict(f.get(), tarn::call_entry_fastcall_kw, v, 1, kwargs.get())),
            "TypeError: keywords must be strings");
  EXPECT_EQ(got.calls, 0);
  EXPECT_EQ(current(), before);
  EXPECT_EQ(PyDict_GET_SIZE(kwargs.get()), 2);
}

TEST_F(FunctionTest, OneArgThroughTpCall) {
  Ref f = make(&def_o, 0), bound = make(&def_o, 4);
  Ref one = tuple_of({a.get()}), two = tuple_of({a.get(), b.get()});
  Ref kwargs = Ref::steal(PyDict_New());
  PyDict_SetItemString(kwargs.get(), "k", c.get());
  Ref r = Ref::steal(PyObject_Call(f.get(), one.get(), nullptr));
  EXPECT_EQ(got.self, f.get());
  EXPECT_EQ(got.args, std::vector<PyObject*>{a.get()});
  reset();
  r = Ref::steal(tarn::function_call(bound.get(), two.get(), nullptr));
  EXPECT_EQ(got.self, a.get());
  EXPECT_EQ(got.args, std::vector<PyObject*>{b.get()});
  reset();
  EXPECT_EQ(failure(tarn::function_call(f.get(), one.get(), kwargs.get())), "TypeError: fo() takes no keyword arguments");
  EXPECT_EQ(failure(tarn::function_call(f.get(), two.get(), nullptr)),
            "TypeError: fo() takes exactly one argument (2 given)");
  EXPECT_EQ(got.calls, 0);
}

TEST_F(FunctionTest, VarargsKeywordsGoThroughTheClassicPath) {
  Ref f = make(&def_varkw, 0);
  EXPECT_EQ(tf(f)->vectorcall, nullptr);
  Ref args = tuple_of({a.get(), b.get()});
  Ref kwargs = Ref::steal(PyDict_New());
  PyDict_SetItemString(kwargs.get(), "k", c.get());
  Ref empty_dict = Ref::steal(PyDict_New());
  for (PyObject* kw : {static_cast<PyObject*>(nullptr), empty_dict.get(), kwargs.get()}) {
    for (bool generic : {false, true}) {
      reset();
      Ref r = Ref::steal(generic ? PyObject_Call(f.get(), args.get(), kw) : tarn::function_call(f.get(), args.get(), kw));
      EXPECT_EQ(r.get(), Py_Ellipsis);
      EXPECT_EQ(got.self, f.get());
      EXPECT_EQ(got.tuple.get(), args.get());
      EXPECT_EQ(got.dict.get(), kw);
    }
  }
  // Static cancels class-bound: the tuple goes through unchanged.
  Ref cancelled = make(&def_varkw, 5);
  reset();
  Ref r = Ref::steal(tarn::function_call(cancelled.get(), args.get(), nullptr));
  EXPECT_EQ(got.self, cancelled.get());
  EXPECT_EQ(got.tuple.get(), args.get());
}

TEST_F(FunctionTest, ClassBoundWithoutEntryTakesSelfFromTheTuple) {
  Ref f = make(&def_varkw, 4);
  Ref empty = Ref::steal(PyTuple_New(0)), one = tuple_of({a.get()}), two = tuple_of({a.get(), b.get()});
  Ref kwargs = Ref::steal(PyDict_New());
  PyDict_SetItemString(kwargs.get(), "k", c.get());
  EXPECT_EQ(failure(tarn::function_call(f.get(), empty.get(), nullptr)), "IndexError: tuple index out of range");
  EXPECT_EQ(failure(PyObject_Call(f.get(), empty.get(), kwargs.get())), "IndexError: tuple index out of range");
  EXPECT_EQ(got.calls, 0);
  Ref r = Ref::steal(tarn::function_call(f.get(), one.get(), nullptr));
  EXPECT_EQ(got.self, a.get());
  EXPECT_EQ(tarn_test::str_of(got.tuple.get()), "()");
  EXPECT_EQ(got.dict.get(), nullptr);
  reset();
  auto before = std::vector<Py_ssize_t>{Py_REFCNT(two.get()), Py_REFCNT(a.get()), Py_REFCNT(b.get())};
  r = Ref::steal(tarn::function_call(f.get(), two.get(), kwargs.get()));
  EXPECT_EQ(got.self, a.get());
  ASSERT_EQ(PyTuple_GET_SIZE(got.tuple.get()), 1);
  EXPECT_EQ(PyTuple_GET_ITEM(got.tuple.get(), 0), b.get());
  EXPECT_EQ(got.dict.get(), kwargs.get());
  reset();
  EXPECT_EQ((std::vector<Py_ssize_t>{Py_REFCNT(two.get()), Py_REFCNT(a.get()), Py_REFCNT(b.get())}), before);
}

// Every allocation of a class-bound call without an entry failed in turn: the error, the
// implementation not reached, and no reference kept.
TEST_F(FunctionTest, ClassBoundWithoutEntryUnderFailedAllocations) {
  Ref f = make(&def_varkw, 4);
  Ref three = tuple_of({a.get(), b.get(), c.get()});
  auto current = [&] {
    return std::vector<Py_ssize_t>{Py_REFCNT(three.get()), Py_REFCNT(a.get()), Py_REFCNT(b.get()),
                                   Py_REFCNT(c.get()), Py_REFCNT(f.get())};
  };
  auto before = current();
  long total;
  {
    PyGC_Collect();  // empties the free lists: the tuple of the other arguments is allocated
    tarn_test::FailNth count(0);
    Ref r = Ref::steal(tarn::function_call(f.get(), three.get(), nullptr));
    ASSERT_EQ(r.get(), Py_Ellipsis) << pending_error();
    total = count.counted();
  }
  reset();
  ASSERT_GE(total, 1);
  for (long n = 1; n <= total; ++n) {
    PyGC_Collect();
    PyObject* r;
    {
      tarn_test::FailNth fail(n);
      r = tarn::function_call(f.get(), three.get(), nullptr);
      EXPECT_TRUE(fail.failed()) << n;
    }
    EXPECT_EQ(failure(r), "MemoryError: ") << n;
    EXPECT_EQ(got.calls, 0) << n;
    EXPECT_EQ(current(), before) << n;
  }
}

TEST_F(FunctionTest, CallByMethodFlagsRows) {
  Ref f = make(&def_varkw, 0);
  Ref empty = Ref::steal(PyTuple_New(0)), one = tuple_of({b.get()}), two = tuple_of({b.get(), c.get()});
  Ref kwargs = Ref::steal(PyDict_New()), empty_dict = Ref::steal(PyDict_New());
  PyDict_SetItemString(kwargs.get(), "k", d.get());
  PyObject* self = a.get();
  auto call = [&](PyMethodDef* def, PyObject* args, PyObject* kw) {
    tf(f)->m_ml = def;
    PyObject* r = tarn::call_by_method_flags(f.get(), self, args, kw);
    tf(f)->m_ml = &def_varkw;
    return r;
  };
  PyMethodDef varargs{"cv", impl_varargs, METH_VARARGS, nullptr};
  PyMethodDef noargs{"cn", impl_o, METH_NOARGS, nullptr};
  PyMethodDef one_arg{"co", impl_o, METH_O, nullptr};
  PyMethodDef fast{"cf", as_cfunction(impl_fast), METH_FASTCALL | METH_KEYWORDS, nullptr};

  Ref r = Ref::steal(call(&def_varkw, two.get(), kwargs.get()));
  EXPECT_EQ(r.get(), Py_Ellipsis);
  EXPECT_EQ(got.self, self);
  EXPECT_EQ(got.tuple.get(), two.get());
  EXPECT_EQ(got.dict.get(), kwargs.get());
  reset();
  r = Ref::steal(call(&varargs, two.get(), empty_dict.get()));  // an empty dict is no keywords
  EXPECT_EQ(got.self, self);
  EXPECT_EQ(got.tuple.get(), two.get());
  reset();
  r = Ref::steal(call(&noargs, empty.get(), nullptr));
  EXPECT_EQ(got.self, self);
  EXPECT_EQ(got.args, std::vector<PyObject*>{nullptr});
  reset();
  r = Ref::steal(call(&one_arg, one.get(), empty_dict.get()));
  EXPECT_EQ(got.self, self);
  EXPECT_EQ(got.args, std::vector<PyObject*>{b.get()});
  reset();
  EXPECT_EQ(failure(call(&varargs, two.get(), kwargs.get())), "TypeError: cv() takes no keyword arguments");
  EXPECT_EQ(failure(call(&noargs, empty.get(), kwargs.get())), "TypeError: cn() takes no keyword arguments");
  EXPECT_EQ(failure(call(&noargs, two.get(), nullptr)), "TypeError: cn() takes no arguments (2 given)");
  EXPECT_EQ(failure(call(&one_arg, one.get(), kwargs.get())), "TypeError: co() takes no keyword arguments");
  EXPECT_EQ(failure(call(&one_arg, empty.get(), nullptr)), "TypeError: co() takes exactly one argument (0 given)");
  EXPECT_EQ(failure(call(&fast, one.get(), nullptr)), "SystemError: Bad call flags for TarnFunction");
  EXPECT_EQ(got.calls, 0);
}

// --- attributes filled on first use and the defaults caches -------------------

TEST_F(FunctionTest, NameAndDocComeFromTheMethodDefinition) {
  Ref f = make(&def_fast, 0);
  Ref name = Ref::steal(PyObject_GetAttrString(f.get(), "__name__"));
  EXPECT_EQ(tarn_test::str_of(name.get()), "ff");
  EXPECT_TRUE(PyUnicode_CHECK_INTERNED(name.get()));
  EXPECT_EQ(tf(f)->name, name.get());
  Ref doc1 = Ref::steal(PyObject_GetAttrString(f.get(), "__doc__"));
  Ref doc2 = Ref::steal(PyObject_GetAttrString(f.get(), "func_doc"));
  EXPECT_EQ(tarn_test::str_of(doc1.get()), "doc of ff");
  EXPECT_EQ(doc1.get(), doc2.get());
  ASSERT_EQ(PyObject_DelAttrString(f.get(), "__doc__"), 0);
  Ref doc3 = Ref::steal(PyObject_GetAttrString(f.get(), "__doc__"));
  EXPECT_EQ(doc3.get(), Py_None);  // not the definition's doc string again
  Ref code_attr = Ref::steal(PyObject_GetAttrString(f.get(), "__code__"));
  EXPECT_EQ(code_attr.get(), code.get());
  Ref module_attr = Ref::steal(PyObject_GetAttrString(f.get(), "__module__"));
  EXPECT_EQ(module_attr.get(), module.get());
  // A null code object reads None.
  Ref no_code = Ref::steal(tarn::function_object_new(&def_fast, 0, qualname.get(), nullptr, nullptr, globals.get(),
                                                     nullptr));
  Ref none_code = Ref::steal(PyObject_GetAttrString(no_code.get(), "__code__"));
  Ref none_module = Ref::steal(PyObject_GetAttrString(no_code.get(), "__module__"));
  EXPECT_EQ(none_code.get(), Py_None);
  EXPECT_EQ(none_module.get(), Py_None);
}

TEST_F(FunctionTest, DocMadeOnFirstUseUnderFailedAllocations) {
  Ref doc_name = Ref::steal(PyUnicode_InternFromString("__doc__"));
  long total;
  {
    Ref f = make(&def_fast, 0);
    PyGC_Collect();
    tarn_test::FailNth count(0);
    Ref doc = Ref::steal(PyObject_GetAttr(f.get(), doc_name.get()));
    ASSERT_TRUE(doc) << pending_error();
    total = count.counted();
  }
  ASSERT_GE(total, 1);  // the string
  for (long n = 1; n <= total; ++n) {
    Ref f = make(&def_fast, 0);
    PyGC_Collect();
    PyObject* doc;
    {
      tarn_test::FailNth fail(n);
      doc = PyObject_GetAttr(f.get(), doc_name.get());
      EXPECT_TRUE(fail.failed()) << n;
    }
    EXPECT_EQ(failure(doc), "MemoryError: ") << n;
    EXPECT_EQ(tf(f)->doc, nullptr) << n;  // nothing kept: the next read makes it
    Ref again = Ref::steal(PyObject_GetAttr(f.get(), doc_name.get()));
    EXPECT_EQ(tarn_test::str_of(again.get()), "doc of ff") << n;
    EXPECT_EQ(tf(f)->doc, again.get()) << n;
  }
}

// The descriptor slot as C code may call it: no object, or None, gives the function itself.
TEST_F(FunctionTest, DescriptorGetWithoutAnObject) {
  Ref f = make(&def_fast, 0);
  descrgetfunc get = Py_TYPE(f.get())->tp_descr_get;
  PyObject* owner = reinterpret_cast<PyObject*>(&PyList_Type);
  for (PyObject* obj : {static_cast<PyObject*>(nullptr), Py_None}) {
    Py_ssize_t count = Py_REFCNT(f.get());
    Ref got_back = Ref::steal(get(f.get(), obj, owner));
    EXPECT_EQ(got_back.get(), f.get());
    EXPECT_EQ(Py_REFCNT(f.get()), count + 1);
  }
  Ref bound = Ref::steal(get(f.get(), a.get(), owner));
  ASSERT_TRUE(bound && PyMethod_Check(bound.get()));
  EXPECT_EQ(PyMethod_GET_FUNCTION(bound.get()), f.get());
  EXPECT_EQ(PyMethod_GET_SELF(bound.get()), a.get());
}

int provider_runs = 0;
bool provider_fails = false;
PyObject* test_provider(PyObject*) {
  ++provider_runs;
  if (provider_fails) {
    PyErr_SetString(PyExc_RuntimeError, "provider failed");
    return nullptr;
  }
  return Py_BuildValue("((i){s:i})", 7, "k", 8);
}

class DefaultsTest : public FunctionTest {
 protected:
  void SetUp() override {
    FunctionTest::SetUp();
    provider_runs = 0;
    provider_fails = false;
    f = make(&def_fast, 0);
    tf(f)->defaults_provider = test_provider;
  }
  std::string read(const char* name) {
    Ref v = Ref::steal(PyObject_GetAttrString(f.get(), name));
    return v ? tarn_test::str_of(v.get()) : pending_error();
  }
  Ref f;
};

TEST_F(DefaultsTest, OneProviderRunFillsBothCaches) {
  Ref d1 = Ref::steal(PyObject_GetAttrString(f.get(), "__defaults__"));
  Ref d2 = Ref::steal(PyObject_GetAttrString(f.get(), "func_defaults"));
  EXPECT_EQ(tarn_test::str_of(d1.get()), "(7,)");
  EXPECT_EQ(d1.get(), d2.get());
  EXPECT_EQ(read("__kwdefaults__"), "{'k': 8}");
  EXPECT_EQ(provider_runs, 1);
  ASSERT_EQ(PyObject_DelAttrString(f.get(), "__defaults__"), 0);
  ASSERT_EQ(PyObject_SetAttrString(f.get(), "__kwdefaults__", Py_None), 0);
  EXPECT_EQ(read("__defaults__"), "None");
  EXPECT_EQ(read("__kwdefaults__"), "None");
  EXPECT_EQ(provider_runs, 1);
}

TEST_F(DefaultsTest, AssignedDefaultsSurviveTheFirstKwdefaultsRead) {
  Ref mine = tuple_of({a.get()});
  ASSERT_EQ(PyObject_SetAttrString(f.get(), "__defaults__", mine.get()), 0);
  EXPECT_EQ(read("__kwdefaults__"), "{'k': 8}");
  Ref now = Ref::steal(PyObject_GetAttrString(f.get(), "__defaults__"));
  EXPECT_EQ(now.get(), mine.get());
  EXPECT_EQ(provider_runs, 1);
}

TEST_F(DefaultsTest, AssignedKwdefaultsSurviveTheFirstDefaultsRead) {
  Ref mine = Ref::steal(PyDict_New());
  ASSERT_EQ(PyObject_SetAttrString(f.get(), "__kwdefaults__", mine.get()), 0);
  EXPECT_EQ(read("__defaults__"), "(7,)");
  Ref now = Ref::steal(PyObject_GetAttrString(f.get(), "__kwdefaults__"));
  EXPECT_EQ(now.get(), mine.get());
  EXPECT_EQ(provider_runs, 1);
  EXPECT_EQ(Py_REFCNT(mine.get()), 3);  // ours, the cache's and `now`
}

TEST_F(DefaultsTest, FailedProviderRunLeavesBothCachesEmpty) {
  provider_fails = true;
  EXPECT_EQ(read("__defaults__"), "RuntimeError: provider failed");
  EXPECT_EQ(read("__kwdefaults__"), "RuntimeError: provider failed");
  EXPECT_EQ(tf(f)->positional_defaults, nullptr);
  EXPECT_EQ(tf(f)->keyword_defaults, nullptr);
  provider_fails = false;
  EXPECT_EQ(read("__kwdefaults__"), "{'k': 8}");
  EXPECT_EQ(provider_runs, 3);
  // Without a provider nothing is kept.
  Ref plain = make(&def_fast, 0);
  Ref none = Ref::steal(PyObject_GetAttrString(plain.get(), "__defaults__"));
  EXPECT_EQ(none.get(), Py_None);
  EXPECT_EQ(tf(plain)->positional_defaults, nullptr);
}

TEST(FailedAllocations, DefaultsGetterReportsEachAndKeepsNothing) {
  Ref qsize = Ref::steal(tarn_test::eval_python("__import__('corvessa.util.queue').util.queue.LifoQueue._qsize"));
  ASSERT_TRUE(qsize) << pending_error();
  PyObject* len = PyDict_GetItemString(PyEval_GetBuiltins(), "len");
  Py_ssize_t before = Py_REFCNT(len);
  long total;
  {
    PyGC_Collect();  // empties the free lists, whose tuples need no allocation
    tarn_test::FailNth count(0);
    Ref defaults = Ref::steal(tarn::qsize_defaults_getter(qsize.get()));
    ASSERT_TRUE(defaults) << pending_error();
    total = count.counted();
  }
  ASSERT_GE(total, 2);  // the two tuples
  for (long n = 1; n <= total; ++n) {
    PyGC_Collect();
    {
      tarn_test::FailNth fail(n);
      Ref defaults = Ref::steal(tarn::qsize_defaults_getter(qsize.get()));
      EXPECT_FALSE(defaults) << n;
      EXPECT_TRUE(fail.failed()) << n;
    }
    EXPECT_EQ(pending_error(), "MemoryError: ") << n;
    EXPECT_EQ(Py_REFCNT(len), before) << n;
  }
}

// --- defaults block, weak references, the collector ---------------------------

TEST_F(FunctionTest, DefaultsBlockIsZeroedAndOwned) {
  Ref f = make(&def_fast, 0);
  auto block = static_cast<unsigned char*>(tarn::init_defaults_block(f.get(), 24, 2));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(tf(f)->defaults_block, block);
  EXPECT_EQ(tf(f)->defaults_object_count, 2);
  EXPECT_EQ(tf(f)->defaults_block_size, 24u);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(block[i], 0) << i;
  Py_INCREF(a.get());
  reinterpret_cast<PyObject**>(block)[1] = a.get();  // slot 0 stays null
  EXPECT_EQ(Py_REFCNT(a.get()), 2);
  f.reset();
  EXPECT_EQ(Py_REFCNT(a.get()), 1);
}

TEST_F(FunctionTest, WeakReferenceIsClearedWhenTheFunctionDies) {
  Ref f = make(&def_fast, 0);
  Ref wr = Ref::steal(PyWeakref_NewRef(f.get(), nullptr));
  ASSERT_TRUE(wr) << pending_error();
  EXPECT_EQ(tarn_test::weakref_target(wr.get()).get(), f.get());
  EXPECT_EQ(Py_REFCNT(f.get()), 1);
  f.reset();
  EXPECT_EQ(tarn_test::weakref_target(wr.get()).get(), Py_None);
}

// The collector is shown every reference the function holds, in the order of its fields and
// then of the block's slots (empty slots skipped), and a visit that answers stops the walk
// there with that answer.
struct Visits {
  std::vector<PyObject*> seen;
  PyObject* stop_at;
};
int record_visit(PyObject* op, void* arg) {
  auto* v = static_cast<Visits*>(arg);
  v->seen.push_back(op);
  return op == v->stop_at ? static_cast<int>(v->seen.size()) : 0;
}

TEST_F(FunctionTest, TraverseVisitsEveryReferenceAndStopsWhenAsked) {
  Ref f = make(&def_fast, 0);
  PyObject* TarnFunction::*fields[] = {
      &TarnFunction::self_ref, &TarnFunction::m_module,     &TarnFunction::dict,
      &TarnFunction::name,     &TarnFunction::qualname,     &TarnFunction::doc,
      &TarnFunction::globals,  &TarnFunction::code,         &TarnFunction::reserved_ref,
      &TarnFunction::positional_defaults, &TarnFunction::keyword_defaults, &TarnFunction::annotations,
  };
  std::vector<Ref> held;  // one fresh object per field and per filled slot, in visiting order
  std::vector<Ref> originals;
  for (auto field : fields) {
    originals.push_back(Ref::steal(tf(f)->*field));
    held.push_back(Ref::steal(PyList_New(0)));
    tf(f)->*field = Ref::borrow(held.back().get()).release();
  }
  auto slots = static_cast<PyObject**>(tarn::init_defaults_block(f.get(), 3 * sizeof(PyObject*), 3));
  ASSERT_NE(slots, nullptr);
  for (int i : {0, 2}) {  // slot 1 stays empty
    held.push_back(Ref::steal(PyList_New(0)));
    slots[i] = Ref::borrow(held.back().get()).release();
  }
  std::vector<PyObject*> expected;
  if (PyType_HasFeature(Py_TYPE(f.get()), Py_TPFLAGS_HEAPTYPE))  // a heap type's instances visit it first
    expected.push_back(reinterpret_cast<PyObject*>(Py_TYPE(f.get())));
  for (auto& r : held) expected.push_back(r.get());

  traverseproc traverse = Py_TYPE(f.get())->tp_traverse;
  Visits all{{}, nullptr};
  EXPECT_EQ(traverse(f.get(), record_visit, &all), 0);
  EXPECT_EQ(all.seen, expected);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    Visits until{{}, expected[i]};
    EXPECT_EQ(traverse(f.get(), record_visit, &until), static_cast<int>(i + 1)) << i;
    EXPECT_EQ(until.seen, std::vector<PyObject*>(expected.begin(), expected.begin() + static_cast<long>(i) + 1)) << i;
  }
  // Put the function's own fields back; the block's slots go with the function.
  for (std::size_t i = 0; i < originals.size(); ++i) {
    PyObject* mine = tf(f)->*fields[i];
    tf(f)->*fields[i] = originals[i].release();
    Py_DECREF(mine);
  }
  std::vector<Py_ssize_t> counts;
  for (auto& r : held) counts.push_back(Py_REFCNT(r.get()));
  std::vector<Py_ssize_t> expected_counts(12, 1);  // the fields' objects are ours alone again
  expected_counts.insert(expected_counts.end(), {2, 2});  // the slots' are the block's too
  EXPECT_EQ(counts, expected_counts);
  f.reset();
  for (auto& r : held) EXPECT_EQ(Py_REFCNT(r.get()), 1);
}

TEST_F(FunctionTest, CyclesThroughAFunctionAreCollected) {
  auto before = counts();
  for (const char* through : {"__dict__", "__annotations__", "block"}) {
    Ref f = make(&def_fast, 0);
    Ref wr = Ref::steal(PyWeakref_NewRef(f.get(), nullptr));
    if (std::strcmp(through, "block") == 0) {
      auto slots = static_cast<PyObject**>(tarn::init_defaults_block(f.get(), 8, 1));
      Py_INCREF(f.get());
      slots[0] = f.get();
    } else {
      Ref holder = Ref::steal(PyObject_GetAttrString(f.get(), through));
      ASSERT_EQ(PyDict_SetItemString(holder.get(), "me", f.get()), 0);
    }
    f.reset();
    EXPECT_NE(tarn_test::weakref_target(wr.get()).get(), Py_None) << through;
    PyGC_Collect();
    EXPECT_EQ(tarn_test::weakref_target(wr.get()).get(), Py_None) << through;
  }
  EXPECT_EQ(counts(), before);
}

TEST_F(FunctionTest, CreatingAndDestroyingLeaksNothing) {
  ASSERT_TRUE(tarn_test::exec_python("import sys"));
  Ref args = tuple_of({a.get()});
  Ref kwargs = Ref::steal(PyDict_New());
  PyDict_SetItemString(kwargs.get(), "k", b.get());
  PyMethodDef refused{"r", impl_o, METH_VARARGS, nullptr};
  auto cycle = [&] {
    Ref f = make(&def_fast, 0, c.get());
    Ref name = Ref::steal(PyObject_GetAttrString(f.get(), "__name__"));
    Ref doc = Ref::steal(PyObject_GetAttrString(f.get(), "__doc__"));
    Ref ann = Ref::steal(PyObject_GetAttrString(f.get(), "__annotations__"));
    PyObject_SetAttrString(f.get(), "attr", a.get());
    auto slots = static_cast<PyObject**>(tarn::init_defaults_block(f.get(), 8, 1));
    Py_INCREF(d.get());
    slots[0] = d.get();
    tf(f)->defaults_provider = test_provider;
    Ref defaults = Ref::steal(PyObject_GetAttrString(f.get(), "__defaults__"));
    Ref r = Ref::steal(tarn::function_call(f.get(), args.get(), kwargs.get()));
    reset();
    Ref bad = make(&refused, 0, c.get());
    PyErr_Clear();
  };
  for (int i = 0; i < 1000; ++i) cycle();  // the interpreter's free lists and caches fill up
  auto before = counts();
  std::vector<Py_ssize_t> args_before = {Py_REFCNT(a.get()), Py_REFCNT(b.get()), Py_REFCNT(c.get()),
                                         Py_REFCNT(d.get()), Py_REFCNT(args.get()), Py_REFCNT(kwargs.get())};
  // Blocks over three windows of 10000 cycles: a leak shows in each, a one-off step of the
  // interpreter's own tables in one or two.
  auto blocks = [] {
    PyGC_Collect();
    Ref n = Ref::steal(tarn_test::eval_python("sys.getallocatedblocks()"));
    return PyLong_AsLong(n.get());
  };
  long grown = 0;
  for (int window = 0; window < 3; ++window) {
    long blocks_before = blocks();
    for (int i = 0; i < 10000; ++i) cycle();
    long window_growth = blocks() - blocks_before;
    grown = window ? std::min(grown, window_growth) : window_growth;
  }
  EXPECT_LE(grown, 100);  // one block leaked per cycle would be 10000
  EXPECT_EQ(counts(), before);
  EXPECT_EQ((std::vector<Py_ssize_t>{Py_REFCNT(a.get()), Py_REFCNT(b.get()), Py_REFCNT(c.get()), Py_REFCNT(d.get()),
                                     Py_REFCNT(args.get()), Py_REFCNT(kwargs.get())}),
            args_before);
}

}  // namespace
