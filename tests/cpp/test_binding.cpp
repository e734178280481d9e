// Binding helpers that Python cannot reach directly: the keyword-dict walk of
// parse_keywords, the comparisons under find_keyword, and keyword names that Python code
// cannot make (a one-character string that is not the cached one, strings of the legacy API).
#include "embedded.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

namespace {

using tarn::Ref;
using tarn::state;

// A new str of the text (UTF-8) that is not interned and has no hash yet.
Ref fresh(const char* text) { return Ref::steal(PyUnicode_FromString(text)); }

// A one-character ASCII str that is not the interpreter's cached string of that character
// (which every str operation hands out for it).
Ref fresh_char(char c) {
  PyObject* s = PyUnicode_New(1, 127);
  PyUnicode_WRITE(PyUnicode_KIND(s), PyUnicode_DATA(s), 0, static_cast<Py_UCS4>(c));
  return Ref::steal(s);
}

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

// unicode_equals: 1 when the two are the same text, 0 when not, -1 with the error of a
// comparison that failed. Two exact strs are compared here (length, stored hashes, width,
// first character, then the rest); anything else is the interpreter's comparison.
TEST(UnicodeEquals, ExactStringsByTextOthersByComparison) {
  ASSERT_TRUE(tarn_test::exec_python(
      "class UePlain(str): pass\n"
      "class UeRaising(str):\n"
      "    def __eq__(self, other): raise ValueError('no compare')\n"
      "    __hash__ = str.__hash__\n"
      "class UeNone(str):\n"
      "    def __eq__(self, other): return None\n"
      "    __hash__ = str.__hash__\n"
      "class UeFalsy:\n"
      "    def __bool__(self): raise OverflowError('no truth')\n"
      "class UeMurky(str):\n"
      "    def __eq__(self, other): return UeFalsy()\n"
      "    __hash__ = str.__hash__\n"));
  auto py = [](const char* expr) { return Ref::steal(tarn_test::eval_python(expr)); };
  Ref hashed_item = fresh("item"), hashed_itex = fresh("itex");
  ASSERT_NE(PyObject_Hash(hashed_item.get()), PyObject_Hash(hashed_itex.get()));
  Ref item = fresh("item"), items = fresh("items"), xtem = fresh("xtem"), itex = fresh("itex");
  Ref underscore = fresh_char('_');
  ASSERT_NE(underscore.get(), state.ids.underscore);
  Ref wide = fresh("\u0100tem"), wide2 = fresh("\u0100tem"), wide_other = fresh("\u0101tem");
  Ref wider = fresh("\U00010000tem"), wider2 = fresh("\U00010000tem"), wider_other = fresh("\U00010001tem");
  Ref latin = fresh("\u00e9tem"), latin2 = fresh("\u00e9tem");
  Ref plain = py("UePlain('item')"), plain_x = py("UePlain('x')"), raising = py("UeRaising('item')");
  Ref none_eq = py("UeNone('item')"), murky = py("UeMurky('item')"), number = py("1");
  ASSERT_FALSE(PyErr_Occurred());
  struct Case {
    const char* what;
    PyObject* a;
    PyObject* b;
    int expected;
    const char* error;
  } cases[] = {
      {"the same object", state.ids.item, state.ids.item, 1, ""},
      {"equal, the first without a stored hash", item.get(), state.ids.item, 1, ""},
      {"equal, the second without a stored hash", state.ids.item, item.get(), 1, ""},
      {"stored hashes differ", hashed_item.get(), hashed_itex.get(), 0, ""},
      {"lengths differ", state.ids.item, items.get(), 0, ""},
      {"widths differ", wide.get(), item.get(), 0, ""},
      {"first characters differ", state.ids.item, xtem.get(), 0, ""},
      {"last characters differ", state.ids.item, itex.get(), 0, ""},
      {"one character, not the cached string", state.ids.underscore, underscore.get(), 1, ""},
      {"Latin-1 text", latin.get(), latin2.get(), 1, ""},
      {"two bytes a character", wide.get(), wide2.get(), 1, ""},
      {"two bytes a character, first differs", wide.get(), wide_other.get(), 0, ""},
      {"four bytes a character", wider.get(), wider2.get(), 1, ""},
      {"four bytes a character, first differs", wider.get(), wider_other.get(), 0, ""},
      {"a str subclass first", plain.get(), state.ids.item, 1, ""},
      {"None, then a str", Py_None, state.ids.item, 0, ""},
      {"a str, then None", state.ids.item, Py_None, 0, ""},
      {"None, then a str subclass", Py_None, plain_x.get(), 0, ""},
      {"a str subclass, then None", plain_x.get(), Py_None, 0, ""},
      {"a number", state.ids.item, number.get(), 0, ""},
      {"__eq__ raises", state.ids.item, raising.get(), -1, "ValueError: no compare"},
      {"__eq__ answers None", state.ids.item, none_eq.get(), 0, ""},
      {"the truth of __eq__'s answer raises", state.ids.item, murky.get(), -1, "OverflowError: no truth"},
  };
  for (const Case& c : cases) {
    Py_ssize_t a_count = Py_REFCNT(c.a), b_count = Py_REFCNT(c.b);
    EXPECT_EQ(tarn::unicode_equals(c.a, c.b), c.expected) << c.what;
    EXPECT_EQ(tarn_test::pending_error(), c.error) << c.what;
    EXPECT_EQ(Py_REFCNT(c.a), a_count) << c.what;
    EXPECT_EQ(Py_REFCNT(c.b), b_count) << c.what;
  }
}

// `_` is _init's second parameter: a keyword name "_" that is not the cached string binds.
TEST(FindKeyword, OneCharacterNameThatIsNotTheCachedString) {
  Ref q = Ref::steal(tarn_test::eval_python("__import__('corvessa.util.queue').util.queue.LifoQueue()"));
  ASSERT_TRUE(q) << tarn_test::pending_error();
  Ref old = Ref::steal(PyObject_GetAttrString(q.get(), "queue"));
  Ref value = Ref::steal(PyLong_FromLong(123456));
  Py_ssize_t value_count = Py_REFCNT(value.get());
  Ref names = tarn_test::tuple_of({fresh_char('_').get()});
  PyObject* args[2] = {q.get(), value.get()};
  Ref result = Ref::steal(tarn::init_binder(nullptr, args, 1, names.get()));
  EXPECT_EQ(result.get(), Py_None) << tarn_test::pending_error();
  Ref now = Ref::steal(PyObject_GetAttrString(q.get(), "queue"));
  EXPECT_NE(now.get(), old.get());  // a new deque
  EXPECT_EQ(tarn_test::str_of(now.get()), "deque([])");
  EXPECT_EQ(Py_REFCNT(value.get()), value_count);  // the argument is not kept
}

#if PY_VERSION_HEX < 0x030C0000
// A str of the legacy API (3.8 to 3.11): made from wide characters, neither ready nor
// compact; readying it allocates its canonical data.
Ref legacy(const wchar_t* text) {
  Py_ssize_t n = static_cast<Py_ssize_t>(std::wcslen(text));
  PyObject* s = PyUnicode_FromUnicode(nullptr, n);
  if (s) std::memcpy(PyUnicode_AS_UNICODE(s), text, static_cast<std::size_t>(n) * sizeof(wchar_t));
  return Ref::steal(s);
}
#endif

constexpr const char kNoLegacyStrings[] = "str objects of the legacy API, never ready until readied, are gone from 3.12 on";

// A keyword name of the legacy API is readied, then compared by its text (in its
// non-compact storage) like any other.
TEST(LegacyStrings, KeywordNamesBindByTheirText) {
#if PY_VERSION_HEX >= 0x030C0000
  GTEST_SKIP() << kNoLegacyStrings;
#else
  Ref name = legacy(L"item");
  ASSERT_FALSE(PyUnicode_IS_READY(name.get()));
  EXPECT_EQ(tarn::unicode_equals(state.ids.item, name.get()), 1);
  EXPECT_TRUE(PyUnicode_IS_READY(name.get()));
  EXPECT_FALSE(PyUnicode_IS_COMPACT(name.get()));
  name = legacy(L"item");
  EXPECT_EQ(tarn::unicode_equals(name.get(), state.ids.item), 1);
  Ref other = legacy(L"itex");
  EXPECT_EQ(tarn::unicode_equals(name.get(), other.get()), 0);
  EXPECT_FALSE(PyErr_Occurred());

  Ref q = Ref::steal(tarn_test::eval_python("__import__('corvessa.util.queue').util.queue.LifoQueue()"));
  ASSERT_TRUE(q) << tarn_test::pending_error();
  Ref value = Ref::steal(PyLong_FromLong(123456));
  Py_ssize_t value_count = Py_REFCNT(value.get());
  PyObject* args[2] = {q.get(), value.get()};
  Ref names = tarn_test::tuple_of({legacy(L"item").get()});
  Ref result = Ref::steal(tarn::put_binder(nullptr, args, 1, names.get()));
  EXPECT_EQ(result.get(), Py_None) << tarn_test::pending_error();
  Ref queue = Ref::steal(PyObject_GetAttrString(q.get(), "queue"));
  EXPECT_EQ(tarn_test::str_of(queue.get()), "deque([123456])");
  EXPECT_EQ(Py_REFCNT(value.get()), value_count + 1);  // the deque's

  // A name of no parameter is readied in the keyword walk and refused by its text.
  names = tarn_test::tuple_of({legacy(L"nope").get()});
  PyObject* three[3] = {q.get(), value.get(), value.get()};
  EXPECT_EQ(tarn::put_binder(nullptr, three, 2, names.get()), nullptr);
  EXPECT_EQ(tarn_test::error_with_entry(),
            "TypeError: _put() got an unexpected keyword argument 'nope' @ corvessa.util.queue.LifoQueue._put:17");
  EXPECT_EQ(tarn_test::str_of(queue.get()), "deque([123456])");
  EXPECT_EQ(Py_REFCNT(value.get()), value_count + 1);
#endif
}

// Readying a legacy name can fail for want of memory: each comparison and walk that
// readies one reports that failure, and a binder adds its entry at the def line.
TEST(LegacyStrings, ReadyingThatFailsIsReported) {
#if PY_VERSION_HEX >= 0x030C0000
  GTEST_SKIP() << kNoLegacyStrings;
#else
  PyObject* values[2] = {Py_None, nullptr};
  PyObject* kwvalues[1] = {Py_True};
  struct Site {
    const char* what;
    int (*run)(PyObject* name);
  };
  const Site sites[] = {
      {"compared as the name", [](PyObject* name) { return tarn::unicode_equals(name, state.ids.item); }},
      {"compared as the keyword", [](PyObject* name) { return tarn::unicode_equals(state.ids.item, name); }},
  };
  for (const Site& site : sites) {
    long total;
    {
      Ref name = legacy(L"item");
      PyGC_Collect();
      tarn_test::FailNth count(0);
      EXPECT_EQ(site.run(name.get()), 1) << site.what;
      total = count.counted();
    }
    ASSERT_EQ(total, 1) << site.what;  // the canonical data
    Ref name = legacy(L"item");
    Py_ssize_t name_count = Py_REFCNT(name.get());
    PyGC_Collect();
    {
      tarn_test::FailNth fail(1);
      EXPECT_EQ(site.run(name.get()), -1) << site.what;
      EXPECT_TRUE(fail.failed()) << site.what;
    }
    EXPECT_EQ(tarn_test::pending_error(), "MemoryError: ") << site.what;
    EXPECT_EQ(Py_REFCNT(name.get()), name_count) << site.what;
  }

  // parse_keywords readies a name it did not find by identity before comparing its text.
  {
    Ref names = tarn_test::tuple_of({legacy(L"item").get()});
    PyGC_Collect();
    {
      tarn_test::FailNth fail(1);
      EXPECT_EQ(tarn::parse_keywords(names.get(), kwvalues, put_params, values, 1, "_put"), -1);
      EXPECT_TRUE(fail.failed());
    }
    EXPECT_EQ(tarn_test::pending_error(), "MemoryError: ");
    EXPECT_EQ(values[1], nullptr);
    EXPECT_EQ(tarn::parse_keywords(names.get(), kwvalues, put_params, values, 1, "_put"), 0);
    EXPECT_EQ(values[1], Py_True);
  }

  // Through the binder: the keyword lookup's failure, with _put's entry; nothing is put.
  Ref q = Ref::steal(tarn_test::eval_python("__import__('corvessa.util.queue').util.queue.LifoQueue()"));
  ASSERT_TRUE(q) << tarn_test::pending_error();
  Ref queue = Ref::steal(PyObject_GetAttrString(q.get(), "queue"));
  Ref value = Ref::steal(PyLong_FromLong(123456));
  Py_ssize_t value_count = Py_REFCNT(value.get());
  PyObject* args[2] = {q.get(), value.get()};
  Ref names = tarn_test::tuple_of({legacy(L"item").get()});
  PyObject* result;
  PyGC_Collect();
  {
    tarn_test::FailNth fail(1);
    result = tarn::put_binder(nullptr, args, 1, names.get());
    EXPECT_TRUE(fail.failed());
  }
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(tarn_test::error_with_entry(), "MemoryError:  @ corvessa.util.queue.LifoQueue._put:17");
  EXPECT_EQ(tarn_test::str_of(queue.get()), "deque([])");
  EXPECT_EQ(Py_REFCNT(value.get()), value_count);
#endif
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

// A _qsize function object without its default (the block gone, as after the collector
// cleared the function, or a block whose slot was never filled, as add_qsize leaves it
// when reading the builtin fails) fails cleanly instead of reading a missing default.
TEST(QsizeDefaults, AMissingDefaultFailsCleanly) {
  Ref q = Ref::steal(tarn_test::eval_python("__import__('corvessa.util.queue').util.queue.LifoQueue()"));
  ASSERT_TRUE(q) << tarn_test::pending_error();
  for (bool with_block : {false, true}) {
    SCOPED_TRACE(with_block ? "a block with an empty slot" : "no block");
    Ref f = Ref::steal(tarn::function_object_new(&tarn::qsize_def, 0, state.ids.qualname_qsize, nullptr,
                                                  state.ids.module_name, state.module_dict, state.qsize_code));
    ASSERT_TRUE(f) << tarn_test::pending_error();
    if (with_block) {
      ASSERT_NE(tarn::init_defaults_block(f.get(), sizeof(tarn::QsizeDefaults), 1), nullptr);
      tarn::as_function(f.get())->defaults_provider = tarn::qsize_defaults_getter;
      ASSERT_NE(tarn::qsize_defaults(f.get()), nullptr);
    }
    PyObject* args[1] = {q.get()};
    EXPECT_EQ(tarn::qsize_binder(f.get(), args, 1, nullptr), nullptr);
    EXPECT_EQ(tarn_test::error_with_entry(), "TypeError: _qsize() takes exactly 2 positional arguments (1 given) @ "
                                  "corvessa.util.queue.LifoQueue._qsize:14");
    Ref defaults = Ref::steal(tarn::qsize_defaults_getter(f.get()));
    ASSERT_TRUE(defaults);
    EXPECT_EQ(tarn_test::str_of(defaults.get()), "((None,), None)");
    Ref len = Ref::steal(PyObject_GetAttrString(f.get(), "__defaults__"));
    EXPECT_EQ(tarn_test::str_of(len.get()), with_block ? "(None,)" : "None");
  }
}

}  // namespace
