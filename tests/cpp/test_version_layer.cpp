// The version layer's operations where interpreters differ: strings that need readying
// before their data is read (until 3.12).
#include "embedded.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tarn::Ref;
using tarn_test::pending_error;

#if PY_VERSION_HEX < 0x030C0000
// A string made the way of the old Py_UNICODE interface: its text is written into its wide
// buffer after it is made, and it is not ready until something readies it.
Ref legacy_string(const char* text) {
  Py_ssize_t n = static_cast<Py_ssize_t>(std::char_traits<char>::length(text));
  Ref s = Ref::steal(PyUnicode_FromUnicode(nullptr, n));
  Py_UNICODE* wide = PyUnicode_AS_UNICODE(s.get());
  for (Py_ssize_t i = 0; i < n; ++i) wide[i] = static_cast<Py_UNICODE>(text[i]);
  EXPECT_FALSE(PyUnicode_IS_READY(s.get()));
  return s;
}

TEST(VersionLayer, UnicodeReadyReadiesLegacyStrings) {
  Ref s = legacy_string("item");
  EXPECT_EQ(tarn::unicode_ready(s.get()), 0);
  EXPECT_TRUE(PyUnicode_IS_READY(s.get()));
  EXPECT_EQ(PyUnicode_GET_LENGTH(s.get()), 4);
  EXPECT_EQ(PyUnicode_CompareWithASCIIString(s.get(), "item"), 0);
  EXPECT_EQ(tarn::unicode_ready(s.get()), 0);  // once ready, nothing more to do

  Ref other = legacy_string("item");
  PyGC_Collect();
  int result;
  {
    tarn_test::FailNth fail(1);
    result = tarn::unicode_ready(other.get());
    EXPECT_TRUE(fail.failed());
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(pending_error(), "MemoryError: ");
  EXPECT_FALSE(PyUnicode_IS_READY(other.get()));
  EXPECT_EQ(tarn::unicode_ready(other.get()), 0);
}

// A keyword name that is not ready yet is readied before the binder compares it: it binds
// as its text says, and when readying it fails the call fails with the binder's entry.
TEST(VersionLayer, BinderReadiesKeywordNames) {
  Ref put = Ref::steal(tarn_test::eval_python("__import__('corvessa.util.queue').util.queue.LifoQueue._put"));
  Ref q = Ref::steal(tarn_test::eval_python("__import__('corvessa.util.queue').util.queue.LifoQueue()"));
  ASSERT_TRUE(put && q) << pending_error();
  Ref value = Ref::steal(PyUnicode_FromString("the value"));
  Ref queue = Ref::steal(PyObject_GetAttrString(q.get(), "queue"));

  Ref names = tarn_test::tuple_of({legacy_string("item").get()});
  PyObject* args[] = {q.get(), value.get()};
  Ref r = Ref::steal(_PyObject_Vectorcall(put.get(), args, 1, names.get()));
  ASSERT_EQ(r.get(), Py_None) << pending_error();
  EXPECT_EQ(PyObject_Length(queue.get()), 1);
  EXPECT_TRUE(PyUnicode_IS_READY(PyTuple_GET_ITEM(names.get(), 0)));

  names = tarn_test::tuple_of({legacy_string("item").get()});
  Py_ssize_t count = Py_REFCNT(value.get());
  PyGC_Collect();
  {
    tarn_test::FailNth fail(1);
    r = Ref::steal(_PyObject_Vectorcall(put.get(), args, 1, names.get()));
    EXPECT_TRUE(fail.failed());
  }
  EXPECT_EQ(r.get(), nullptr);
  PyObject* tb = tarn_test::raised_traceback(PyThreadState_Get());
  ASSERT_NE(tb, nullptr);
  auto* entry = reinterpret_cast<PyTracebackObject*>(tb);
  EXPECT_STREQ(PyUnicode_AsUTF8(tarn_test::frame_code(entry->tb_frame)->co_name),
               "corvessa.util.queue.LifoQueue._put");
  EXPECT_EQ(tarn_test::tb_lineno(entry), 17);
  EXPECT_EQ(pending_error(), "MemoryError: ");
  EXPECT_EQ(PyObject_Length(queue.get()), 1);
  EXPECT_EQ(Py_REFCNT(value.get()), count);
}
#else
TEST(VersionLayer, StringsAreAlwaysReady) {
  Ref s = Ref::steal(PyUnicode_FromFormat("%s", "item"));
  EXPECT_EQ(tarn::unicode_ready(s.get()), 0);
}
#endif

}  // namespace
