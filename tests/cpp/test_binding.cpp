// Binding helpers that Python cannot reach directly: the keyword-dict walk of
// parse_keywords and the comparisons under find_keyword.
#include "embedded.h"

#include <gtest/gtest.h>

namespace {

using tarn::Ref;
using tarn::state;

PyObject** const put_params[] = {&state.ids.self, &state.ids.item, nullptr};

TEST(ParseKeywords, WalksADictAndTakesItsValues) {
  Ref item_value = Ref::steal(PyLong_FromLong(7));
  Ref kwargs = Ref::steal(PyDict_New());
  Ref item_name = Ref::steal(PyUnicode_FromString("item"));  // equal, not the identifier itself
  PyDict_SetItem(kwargs.get(), item_name.get(), item_value.get());
  PyObject* values[2] = {Py_None, nullptr};
  Py_ssize_t before = Py_REFCNT(item_value.get());
  ASSERT_EQ(tarn::parse_keywords(kwargs.get(), nullptr, put_params, values, 1, "_put"), 0);
  EXPECT_EQ(values[1], item_value.get());
  EXPECT_EQ(Py_REFCNT(item_value.get()), before);  // values are borrowed
}

TEST(ParseKeywords, DictRefusalsCarryTheirMessages) {
  struct Case {
    const char* expr;
    Py_ssize_t nargs;
    const char* message;
  } cases[] = {
      {"{'self': 1}", 1, "TypeError: _put() got multiple values for keyword argument 'self'"},
      {"{'other': 1}", 1, "TypeError: _put() got an unexpected keyword argument 'other'"},
      {"{3: 1}", 1, "TypeError: _put() keywords must be strings"},
  };
  for (const Case& c : cases) {
    Ref kwargs = Ref::steal(tarn_test::eval_python(c.expr));
    PyObject* values[2] = {Py_None, nullptr};
    EXPECT_EQ(tarn::parse_keywords(kwargs.get(), nullptr, put_params, values, c.nargs, "_put"), -1) << c.expr;
    EXPECT_EQ(tarn_test::pending_error(), c.message) << c.expr;
    EXPECT_EQ(values[1], nullptr) << c.expr;
  }
}

TEST(FindKeyword, IdentityFirstThenEqualityAndErrorsStay) {
  ASSERT_TRUE(tarn_test::exec_python(
      "class Raising(str):\n"
      "    def __eq__(self, other): raise ValueError('no compare')\n"
      "    __hash__ = str.__hash__\n"));
  Ref names = Ref::steal(tarn_test::eval_python("(''.join(['it', 'em']),)"));
  PyObject* values[1] = {Py_True};
  EXPECT_EQ(tarn::find_keyword(names.get(), values, state.ids.item), Py_True);
  EXPECT_EQ(tarn::find_keyword(names.get(), values, state.ids.self), nullptr);
  EXPECT_FALSE(PyErr_Occurred());
  Ref raising = Ref::steal(tarn_test::eval_python("(Raising('x'),)"));
  EXPECT_EQ(tarn::find_keyword(raising.get(), values, state.ids.item), nullptr);
  EXPECT_EQ(tarn_test::pending_error(), "ValueError: no compare");
  Ref empty = Ref::steal(PyTuple_New(0));
  EXPECT_EQ(tarn::find_keyword(empty.get(), values, state.ids.item), nullptr);
  EXPECT_FALSE(PyErr_Occurred());
}

TEST(RaiseArgCount, WordsCountsAndSuffix) {
  tarn::raise_arg_count("_qsize", 0, 1, 2, 0);
  EXPECT_EQ(tarn_test::pending_error(), "TypeError: _qsize() takes at least 1 positional argument (0 given)");
  tarn::raise_arg_count("_qsize", 0, 1, 2, 3);
  EXPECT_EQ(tarn_test::pending_error(), "TypeError: _qsize() takes at most 2 positional arguments (3 given)");
  tarn::raise_arg_count("_get", 1, 1, 1, 2);
  EXPECT_EQ(tarn_test::pending_error(), "TypeError: _get() takes exactly 1 positional argument (2 given)");
  std::string long_name(300, 'n');
  tarn::raise_arg_count(long_name.c_str(), 1, 2, 2, 0);
  EXPECT_EQ(tarn_test::pending_error(),
            "TypeError: " + std::string(200, 'n') + "() takes exactly 2 positional arguments (0 given)");
}

}  // namespace

namespace {

// A _qsize function object whose defaults block is gone (as after the collector cleared
// it) fails cleanly instead of reading a missing default.
TEST(QsizeDefaults, AMissingBlockFailsCleanly) {
  Ref f = Ref::steal(tarn::function_object_new(&tarn::qsize_def, 0, state.ids.qualname_qsize, nullptr,
                                                state.ids.module_name, state.module_dict, state.qsize_code));
  ASSERT_TRUE(f) << tarn_test::pending_error();
  Ref q = Ref::steal(tarn_test::eval_python("__import__('corvessa.util.queue').util.queue.LifoQueue()"));
  ASSERT_TRUE(q) << tarn_test::pending_error();
  PyObject* args[1] = {q.get()};
  EXPECT_EQ(tarn::qsize_binder(f.get(), args, 1, nullptr), nullptr);
  EXPECT_EQ(tarn_test::pending_error(), "TypeError: _qsize() takes exactly 2 positional arguments (1 given)");
  Ref defaults = Ref::steal(tarn::qsize_defaults_getter(f.get()));
  ASSERT_TRUE(defaults);
  EXPECT_EQ(tarn_test::str_of(defaults.get()), "((None,), None)");
}

}  // namespace
