// Traceback entries pointing at the module's Python source lines, the
// cline_in_traceback setting, and the sorted code-object cache.
#include "embedded.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using tarn::Ref;
using tarn::state;
using tarn_test::pending_error;

constexpr const char kGet[] = "corvessa.util.queue.LifoQueue._get";

Ref make_code(const char* funcname, int py_line) {
  return Ref::steal(reinterpret_cast<PyObject*>(
      tarn::make_traceback_code(funcname, 0, py_line, tarn::kTracebackFileName)));
}
PyCodeObject* as_code(const Ref& r) { return reinterpret_cast<PyCodeObject*>(r.get()); }
std::string text(PyObject* s) { return PyUnicode_AsUTF8(s); }

// The process-wide cache is swapped for an empty one during each test.
class RuntimeCodeCache : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = tarn::code_cache;
    tarn::code_cache = {0, 0, nullptr};
  }
  void TearDown() override {
    for (int i = 0; i < tarn::code_cache.count; ++i) Py_DECREF(tarn::code_cache.entries[i].code);
    PyMem_Free(tarn::code_cache.entries);
    tarn::code_cache = saved_;
  }
  static std::vector<int> keys() {
    std::vector<int> k;
    for (int i = 0; i < tarn::code_cache.count; ++i) k.push_back(tarn::code_cache.entries[i].key);
    return k;
  }
  tarn::CodeCache saved_{};
};

TEST(RuntimeCodeCacheBisect, AgreesWithLowerBound) {
  for (int count = 1; count <= 9; ++count) {
    std::vector<tarn::CodeCacheEntry> entries;
    std::vector<int> sorted;
    for (int i = 0; i < count; ++i) {
      entries.push_back({nullptr, 2 * i - 7});  // odd keys, negative and positive
      sorted.push_back(2 * i - 7);
    }
    for (int key = -9; key <= 2 * count - 5; ++key) {
      int expected = static_cast<int>(std::lower_bound(sorted.begin(), sorted.end(), key) - sorted.begin());
      EXPECT_EQ(tarn::code_cache_bisect(entries.data(), count, key), expected) << count << " entries, key " << key;
    }
  }
}

TEST_F(RuntimeCodeCache, EmptyCacheAndKeyZero) {
  Ref code = make_code("rt_f", 3);
  Py_ssize_t count = Py_REFCNT(code.get());
  EXPECT_EQ(tarn::code_cache_lookup(3), nullptr);
  tarn::code_cache_insert(0, as_code(code));
  EXPECT_EQ(tarn::code_cache.entries, nullptr);
  EXPECT_EQ(tarn::code_cache.count, 0);
  EXPECT_EQ(Py_REFCNT(code.get()), count);

  tarn::code_cache_insert(3, as_code(code));
  EXPECT_EQ(tarn::code_cache.capacity, 64);
  tarn::code_cache_insert(0, as_code(code));
  EXPECT_EQ(keys(), std::vector<int>{3});
  EXPECT_EQ(Py_REFCNT(code.get()), count + 1);
  EXPECT_EQ(tarn::code_cache_lookup(0), nullptr);
  EXPECT_EQ(tarn::code_cache_lookup(4), nullptr);
  EXPECT_EQ(tarn::code_cache_lookup(-3), nullptr);
  EXPECT_FALSE(PyErr_Occurred());
}

// Growth goes 64, 128 (the 65th key), 192, 256 in steps of 64.
TEST_F(RuntimeCodeCache, RandomOrderStaysSortedAndGrows) {
  std::vector<int> order;
  for (int k = -100; k <= 100; ++k)
    if (k) order.push_back(k);
  std::shuffle(order.begin(), order.end(), std::mt19937(20240611));
  std::vector<Ref> codes(201);
  for (std::size_t i = 0; i < order.size(); ++i) {
    int key = order[i];
    Ref& code = codes[static_cast<std::size_t>(key + 100)];
    code = make_code("rt_f", key < 0 ? -key : key);  // a line of its own, whatever the key
    tarn::code_cache_insert(key, as_code(code));
    std::vector<int> now = keys();
    ASSERT_EQ(now.size(), i + 1);
    ASSERT_TRUE(std::adjacent_find(now.begin(), now.end(), [](int a, int b) { return a >= b; }) == now.end())
        << "not strictly ascending after inserting " << key;
    ASSERT_EQ(tarn::code_cache.capacity, static_cast<int>(i / 64 + 1) * 64) << "after " << i + 1 << " keys";
    EXPECT_EQ(Py_REFCNT(code.get()), 2);  // ours and the cache's
  }
  for (int key : order) {
    PyObject* expected = codes[static_cast<std::size_t>(key + 100)].get();
    Ref found = Ref::steal(reinterpret_cast<PyObject*>(tarn::code_cache_lookup(key)));
    EXPECT_EQ(found.get(), expected) << key;
    EXPECT_EQ(Py_REFCNT(expected), 3);  // a new reference
  }
  EXPECT_EQ(tarn::code_cache_lookup(101), nullptr);
  EXPECT_EQ(tarn::code_cache_lookup(-101), nullptr);
}

TEST_F(RuntimeCodeCache, RepeatedKeyReplaces) {
  Ref first = make_code("rt_first", 9);
  Ref second = make_code("rt_second", 9);
  Ref low = make_code("rt_low", 2);
  tarn::code_cache_insert(9, as_code(first));
  tarn::code_cache_insert(2, as_code(low));
  tarn::code_cache_insert(9, as_code(second));
  EXPECT_EQ(keys(), (std::vector<int>{2, 9}));
  EXPECT_EQ(Py_REFCNT(first.get()), 1);
  EXPECT_EQ(Py_REFCNT(second.get()), 2);
  tarn::code_cache_insert(9, as_code(second));  // replacing an entry with itself keeps it alive
  EXPECT_EQ(keys(), (std::vector<int>{2, 9}));
  EXPECT_EQ(Py_REFCNT(second.get()), 2);
  Ref found = Ref::steal(reinterpret_cast<PyObject*>(tarn::code_cache_lookup(9)));
  EXPECT_EQ(found.get(), second.get());
}

// A full cache whose array cannot grow keeps its entries and takes nothing of the code object.
TEST_F(RuntimeCodeCache, FullCacheThatCannotGrowKeepsItsEntries) {
  std::vector<Ref> codes;
  std::vector<int> full;
  for (int key = 1; key <= 64; ++key) {
    codes.push_back(make_code("rt_f", key));
    tarn::code_cache_insert(key, as_code(codes.back()));
    full.push_back(key);
  }
  ASSERT_EQ(tarn::code_cache.capacity, 64);
  Ref extra = make_code("rt_extra", 100);
  Py_ssize_t count = Py_REFCNT(extra.get());
  {
    tarn_test::FailNth fail(1);
    tarn::code_cache_insert(100, as_code(extra));
    EXPECT_TRUE(fail.failed());
  }
  EXPECT_EQ(keys(), full);
  EXPECT_EQ(tarn::code_cache.capacity, 64);
  EXPECT_EQ(Py_REFCNT(extra.get()), count);
  EXPECT_EQ(tarn::code_cache_lookup(100), nullptr);
  EXPECT_FALSE(PyErr_Occurred());

  tarn::code_cache_insert(100, as_code(extra));  // the next insertion grows it
  full.push_back(100);
  EXPECT_EQ(keys(), full);
  EXPECT_EQ(tarn::code_cache.capacity, 128);
  EXPECT_EQ(Py_REFCNT(extra.get()), count + 1);
}

// --- traceback entries -----------------------------------------------------------

class RuntimeTraceback : public RuntimeCodeCache {
 protected:
  void SetUp() override {
    RuntimeCodeCache::SetUp();
    runtime_dict_ = PyModule_GetDict(state.runtime_module);
    setting_ = Ref::borrow(PyDict_GetItem(runtime_dict_, state.ids.cline_in_traceback));
  }
  void TearDown() override {
    PyErr_Clear();
    if (setting_)
      PyDict_SetItem(runtime_dict_, state.ids.cline_in_traceback, setting_.get());
    else if (PyDict_GetItem(runtime_dict_, state.ids.cline_in_traceback))
      PyDict_DelItem(runtime_dict_, state.ids.cline_in_traceback);
    RuntimeCodeCache::TearDown();
  }
  // Assigns tarn_runtime.cline_in_traceback; an exception in flight is set aside meanwhile.
  void set_setting(const char* expr) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref setting = Ref::steal(tarn_test::eval_python(expr));
    EXPECT_TRUE(setting) << pending_error();
    if (setting) {
      EXPECT_EQ(PyDict_SetItem(runtime_dict_, state.ids.cline_in_traceback, setting.get()), 0);
    }
    PyErr_Restore(type, value, tb);
  }
  // Sets ValueError("boom") (unnormalised where the interpreter allows) and remembers the value.
  void raise_boom() {
    value_ = tarn_test::raised_value_for(PyExc_ValueError, "boom");
    PyErr_SetObject(PyExc_ValueError, value_.get());
  }

  PyObject* runtime_dict_ = nullptr;
  Ref setting_;
  Ref value_;
};

TEST_F(RuntimeTraceback, EntryNamesFunctionFileAndLine) {
  set_setting("False");
  raise_boom();
  Py_ssize_t value_count = Py_REFCNT(value_.get());
  tarn::add_traceback_entry(kGet, 4321, 21, tarn::kTracebackFileName);

  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  EXPECT_EQ(type, PyExc_ValueError);
  EXPECT_EQ(value, value_.get());  // the exception in flight is unchanged
  EXPECT_EQ(Py_REFCNT(value), value_count);
  ASSERT_TRUE(tb && PyTraceBack_Check(tb));
  auto* entry = reinterpret_cast<PyTracebackObject*>(tb);
  EXPECT_EQ(entry->tb_next, nullptr);
  EXPECT_EQ(tarn_test::tb_lineno(entry), 21);
  PyFrameObject* frame = entry->tb_frame;
  EXPECT_EQ(tarn_test::frame_globals(frame), state.module_dict);
  EXPECT_EQ(PyFrame_GetLineNumber(frame), 21);
  PyCodeObject* code = tarn_test::frame_code(frame);
  EXPECT_EQ(text(code->co_name), kGet);
  EXPECT_EQ(text(code->co_filename), "corvessa\\\\util\\\\queue.py");
  EXPECT_EQ(PyUnicode_GET_LENGTH(code->co_filename), 24);
  EXPECT_EQ(code->co_firstlineno, 21);
  // The stable ABI's entries take the code of a generator that the interpreter compiled.
  if (!tarn::kStableAbi) {
    EXPECT_EQ(code->co_consts, state.empty_tuple);
  }
  // No bytecode, or (where frames read their line from it) a body placed at line 21.
  Ref co_code = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(code), "co_code"));
  ASSERT_TRUE(co_code && PyBytes_Check(co_code.get()));
  if (tarn::kFastRoads) {  // the generic roads take the interpreter's own empty code object
    EXPECT_EQ(std::string(PyBytes_AS_STRING(co_code.get()), PyBytes_GET_SIZE(co_code.get())),
              std::string(tarn::kTracebackBody, tarn::kTracebackBodySize));
  }

  // The code object is cached under the Python line and reused by the next entry.
  EXPECT_EQ(keys(), std::vector<int>{21});
  Ref cached = Ref::steal(reinterpret_cast<PyObject*>(tarn::code_cache_lookup(21)));
  EXPECT_EQ(cached.get(), reinterpret_cast<PyObject*>(code));
  PyErr_Restore(t.release(), v.release(), b.release());
  tarn::add_traceback_entry(kGet, 4325, 21, tarn::kTracebackFileName);
  PyErr_Fetch(&type, &value, &tb);
  t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  auto* newest = reinterpret_cast<PyTracebackObject*>(tb);
  EXPECT_EQ(newest->tb_next, entry);
  EXPECT_EQ(tarn_test::frame_code(newest->tb_frame), code);
  EXPECT_NE(newest->tb_frame, frame);
}

// A cached code object is used only for the function it names: another function failing
// at the same line gets its own name, and the cached entry stays as it was.
TEST_F(RuntimeTraceback, SameLineUnderAnotherNameKeepsItsOwnName) {
  set_setting("False");
  raise_boom();
  tarn::add_traceback_entry("corvessa.util.queue.__defaults__", 1111, 14, tarn::kTracebackFileName);
  tarn::add_traceback_entry("corvessa.util.queue.LifoQueue._qsize", 2222, 14, tarn::kTracebackFileName);
  tarn::add_traceback_entry("corvessa.util.queue.__defaults__", 1111, 14, tarn::kTracebackFileName);
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  auto* third = reinterpret_cast<PyTracebackObject*>(tb);
  ASSERT_NE(third->tb_next, nullptr);
  auto* second = third->tb_next;
  ASSERT_NE(second->tb_next, nullptr);
  auto* first = second->tb_next;
  EXPECT_EQ(text(tarn_test::frame_code(first->tb_frame)->co_name), "corvessa.util.queue.__defaults__");
  EXPECT_EQ(text(tarn_test::frame_code(second->tb_frame)->co_name), "corvessa.util.queue.LifoQueue._qsize");
  EXPECT_EQ(tarn_test::tb_lineno(second), 14);
  EXPECT_NE(tarn_test::frame_code(second->tb_frame), tarn_test::frame_code(first->tb_frame));
  EXPECT_EQ(tarn_test::frame_code(third->tb_frame), tarn_test::frame_code(first->tb_frame));  // the same site reuses its code object
  EXPECT_EQ(keys(), std::vector<int>{14});
  PyCodeObject* cached = tarn::code_cache_lookup(14);
  ASSERT_NE(cached, nullptr);
  EXPECT_EQ(cached, tarn_test::frame_code(first->tb_frame));
  Py_DECREF(cached);
}

TEST_F(RuntimeTraceback, TrueSettingNamesTheImplementationLine) {
  set_setting("True");
  raise_boom();
  tarn::add_traceback_entry(kGet, 4321, 21, tarn::kTracebackFileName);
  set_setting("[]");  // falsy but not False: the plain entry again
  tarn::add_traceback_entry(kGet, 4321, 21, tarn::kTracebackFileName);
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  auto* plain = reinterpret_cast<PyTracebackObject*>(tb);
  auto* with_line = plain->tb_next;
  ASSERT_NE(with_line, nullptr);
  EXPECT_EQ(text(tarn_test::frame_code(with_line->tb_frame)->co_name), std::string(kGet) + " (build\\corvessa/util\\queue.cpp:4321)");
  EXPECT_EQ(tarn_test::tb_lineno(with_line), 21);
  EXPECT_EQ(text(tarn_test::frame_code(plain->tb_frame)->co_name), kGet);
  EXPECT_EQ(keys(), (std::vector<int>{-4321, 21}));
}

TEST_F(RuntimeTraceback, CheckClineReadsTheSetting) {
  PyThreadState* ts = PyThreadState_Get();
  PyDict_DelItem(runtime_dict_, state.ids.cline_in_traceback);
  PyErr_Clear();
  EXPECT_EQ(tarn::check_cline_in_traceback(ts, 77), 0);  // missing: created as False
  EXPECT_EQ(PyDict_GetItem(runtime_dict_, state.ids.cline_in_traceback), Py_False);
  set_setting("1");
  EXPECT_EQ(tarn::check_cline_in_traceback(ts, 77), 77);
  set_setting("0");
  EXPECT_EQ(tarn::check_cline_in_traceback(ts, 77), 0);
  EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(RuntimeTraceback, FailingTruthTestCountsAsFalse) {
  ASSERT_TRUE(tarn_test::exec_python("class RtNoBool:\n"
                                     "    def __bool__(self): raise RuntimeError('no truth')\n"));
  set_setting("RtNoBool()");
  PyThreadState* ts = PyThreadState_Get();
  raise_boom();
  PyObject* type_before = tarn::raised_type(ts);
  EXPECT_EQ(tarn::check_cline_in_traceback(ts, 77), 0);
  EXPECT_EQ(tarn::raised_type(ts), type_before);
  EXPECT_EQ(tarn_test::raised_value(ts), value_.get());
  EXPECT_EQ(tarn_test::raised_traceback(ts), nullptr);

  tarn::add_traceback_entry(kGet, 4321, 21, tarn::kTracebackFileName);
  EXPECT_EQ(tarn::raised_type(ts), PyExc_ValueError);
  EXPECT_EQ(tarn_test::raised_value(ts), value_.get());
  ASSERT_NE(tarn_test::raised_traceback(ts), nullptr);
  auto* entry = reinterpret_cast<PyTracebackObject*>(tarn_test::raised_traceback(ts));
  EXPECT_EQ(text(tarn_test::frame_code(entry->tb_frame)->co_name), kGet);
  EXPECT_EQ(pending_error(), "ValueError: boom");
}

// Without an implementation line the setting is not asked and the entry is cached under its
// Python line; an entry with neither line is not cached at all.
TEST_F(RuntimeTraceback, EntryWithoutImplementationLine) {
  set_setting("True");
  raise_boom();
  tarn::add_traceback_entry(kGet, 0, 21, tarn::kTracebackFileName);
  tarn::add_traceback_entry(kGet, 0, 0, tarn::kTracebackFileName);
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  EXPECT_EQ(value, value_.get());
  auto* lineless = reinterpret_cast<PyTracebackObject*>(tb);
  ASSERT_NE(lineless, nullptr);
  auto* first = lineless->tb_next;
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(text(tarn_test::frame_code(first->tb_frame)->co_name), kGet);
  EXPECT_EQ(tarn_test::tb_lineno(first), 21);
  EXPECT_EQ(text(tarn_test::frame_code(lineless->tb_frame)->co_name), kGet);
  EXPECT_EQ(tarn_test::frame_code(lineless->tb_frame)->co_firstlineno, 0);
  EXPECT_EQ(keys(), std::vector<int>{21});
  Ref cached = Ref::steal(reinterpret_cast<PyObject*>(tarn::code_cache_lookup(21)));
  EXPECT_EQ(cached.get(), reinterpret_cast<PyObject*>(tarn_test::frame_code(first->tb_frame)));
}

// A cached code object whose name is not ASCII is never taken for another function's.
TEST_F(RuntimeTraceback, CachedEntryWithNonAsciiNameIsNotReused) {
  set_setting("False");
  Ref odd = make_code("corvessa.util.queue.caf\xc3\xa9", 14);
  ASSERT_TRUE(odd) << pending_error();
  tarn::code_cache_insert(14, as_code(odd));
  raise_boom();
  tarn::add_traceback_entry("corvessa.util.queue.caf", 1111, 14, tarn::kTracebackFileName);
  PyThreadState* ts = PyThreadState_Get();
  auto* entry = reinterpret_cast<PyTracebackObject*>(tarn_test::raised_traceback(ts));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(text(tarn_test::frame_code(entry->tb_frame)->co_name), "corvessa.util.queue.caf");
  EXPECT_EQ(tarn_test::tb_lineno(entry), 14);
  EXPECT_EQ(keys(), std::vector<int>{14});
  Ref cached = Ref::steal(reinterpret_cast<PyObject*>(tarn::code_cache_lookup(14)));
  EXPECT_EQ(cached.get(), odd.get());
  EXPECT_EQ(pending_error(), "ValueError: boom");
}

#if PY_VERSION_HEX < 0x030C0000
// Nor one whose name is a string of the old Py_UNICODE interface (not compact, 3.8 to 3.11).
TEST_F(RuntimeTraceback, CachedEntryWithLegacyStringNameIsNotReused) {
  set_setting("False");
  const char name[] = "corvessa.util.queue.legacy";
  Py_ssize_t n = static_cast<Py_ssize_t>(sizeof(name) - 1);
  Ref legacy = Ref::steal(PyUnicode_FromUnicode(nullptr, n));
  Py_UNICODE* wide = PyUnicode_AS_UNICODE(legacy.get());
  for (Py_ssize_t i = 0; i < n; ++i) wide[i] = static_cast<Py_UNICODE>(name[i]);
  ASSERT_EQ(PyUnicode_READY(legacy.get()), 0);
  ASSERT_FALSE(PyUnicode_IS_COMPACT(legacy.get()));
  Ref file = Ref::steal(PyUnicode_FromString(tarn::kTracebackFileName));
  PyObject* e = state.empty_tuple;
  Ref odd = Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
      0, 0, 0, 0, 0, 0, state.empty_bytes, e, e, e, e, e, file.get(), legacy.get(), legacy.get(), 15,
      state.empty_bytes, state.empty_bytes)));
  ASSERT_TRUE(odd) << pending_error();
  ASSERT_FALSE(PyUnicode_IS_COMPACT(as_code(odd)->co_name));
  tarn::code_cache_insert(15, as_code(odd));
  raise_boom();
  tarn::add_traceback_entry(name, 1111, 15, tarn::kTracebackFileName);
  auto* entry = reinterpret_cast<PyTracebackObject*>(tarn_test::raised_traceback(PyThreadState_Get()));
  ASSERT_NE(entry, nullptr);
  PyCodeObject* used = tarn_test::frame_code(entry->tb_frame);
  EXPECT_NE(reinterpret_cast<PyObject*>(used), odd.get());
  EXPECT_EQ(text(used->co_name), name);
  EXPECT_EQ(keys(), std::vector<int>{15});
  EXPECT_EQ(pending_error(), "ValueError: boom");
}
#endif

// A stand-in for tarn_runtime without an instance dictionary: the setting is read as its
// attribute and taken by truth; a failing read counts as missing, and a failing store of
// False is dropped. The exception in flight stays as it was.
TEST_F(RuntimeTraceback, RuntimeObjectWithoutDictionary) {
  ASSERT_TRUE(tarn_test::exec_python(
      "class RtSetting:\n"
      "    __slots__ = ('cline_in_traceback',)\n"
      "def rt_setting(value):\n"
      "    s = RtSetting()\n"
      "    s.cline_in_traceback = value\n"
      "    return s\n"
      "class RtFalsyFails:\n"
      "    def __bool__(self): raise RuntimeError('no truth')\n"
      "class RtUnreadable:\n"
      "    __slots__ = ()\n"
      "    @property\n"
      "    def cline_in_traceback(self): raise LookupError('unreadable')\n"));
  struct {
    const char* stand_in;
    int expected;
    const char* after;  // the setting read back afterwards
  } rows[] = {
      {"RtSetting()", 0, "False"},  // missing: created as False
      {"rt_setting(False)", 0, "False"},
      {"rt_setting(True)", 77, "True"},
      {"rt_setting(1)", 77, "1"},
      {"rt_setting([])", 0, "[]"},
      {"rt_setting(RtFalsyFails())", 0, "<__main__.RtFalsyFails object"},
      {"RtUnreadable()", 0, "LookupError: unreadable"},
  };
  PyThreadState* ts = PyThreadState_Get();
  PyObject* saved = state.runtime_module;
  for (auto& row : rows) {
    SCOPED_TRACE(row.stand_in);
    Ref stand_in = Ref::steal(tarn_test::eval_python(row.stand_in));
    ASSERT_TRUE(stand_in) << pending_error();
    ASSERT_EQ(tarn::instance_dict(stand_in.get()), nullptr);
    Py_ssize_t count = Py_REFCNT(stand_in.get());
    raise_boom();
    state.runtime_module = stand_in.get();
    int result = tarn::check_cline_in_traceback(ts, 77);
    state.runtime_module = saved;
    EXPECT_EQ(result, row.expected);
    EXPECT_EQ(tarn::raised_type(ts), PyExc_ValueError);
    EXPECT_EQ(tarn_test::raised_value(ts), value_.get());
    EXPECT_EQ(pending_error(), "ValueError: boom");
    EXPECT_EQ(Py_REFCNT(stand_in.get()), count);
    Ref after = Ref::steal(PyObject_GetAttrString(stand_in.get(), "cline_in_traceback"));
    std::string read = after ? tarn_test::str_of(after.get()) : pending_error();
    EXPECT_EQ(read.substr(0, std::strlen(row.after)), row.after);
  }
}

TEST_F(RuntimeTraceback, NoRuntimeModuleKeepsTheLine) {
  PyObject* saved = state.runtime_module;
  state.runtime_module = nullptr;
  raise_boom();
  PyThreadState* ts = PyThreadState_Get();
  int line = tarn::check_cline_in_traceback(ts, 77);
  tarn::add_traceback_entry(kGet, 4321, 21, tarn::kTracebackFileName);
  state.runtime_module = saved;
  EXPECT_EQ(line, 77);
  ASSERT_NE(tarn_test::raised_traceback(ts), nullptr);
  auto* entry = reinterpret_cast<PyTracebackObject*>(tarn_test::raised_traceback(ts));
  EXPECT_EQ(text(tarn_test::frame_code(entry->tb_frame)->co_name), std::string(kGet) + " (build\\corvessa/util\\queue.cpp:4321)");
  EXPECT_EQ(keys(), std::vector<int>{-4321});
  EXPECT_EQ(pending_error(), "ValueError: boom");
}

}  // namespace
