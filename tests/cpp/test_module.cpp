// Module start-up internals: the version check against other interpreter versions and
// the Module state the exec step leaves behind.
#include "embedded.h"

#include <gtest/gtest.h>

namespace {

using tarn::Ref;
using tarn::state;

// Runs check_version_against with warnings recorded; returns the one warning's text.
std::string version_warning(const char* version, int* result) {
  Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
  Ref catcher = Ref::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", "()"));
  PyObject_SetAttrString(catcher.get(), "_record", Py_True);
  Ref log = Ref::steal(PyObject_CallMethod(catcher.get(), "__enter__", nullptr));
  Ref ignored = Ref::steal(PyObject_CallMethod(warnings.get(), "simplefilter", "s", "always"));
  *result = tarn::check_version_against(version);
  std::string text;
  if (PyList_GET_SIZE(log.get()) == 1) {
    PyObject* w = PyList_GET_ITEM(log.get(), 0);
    Ref message = Ref::steal(PyObject_GetAttrString(w, "message"));
    Ref category = Ref::steal(PyObject_GetAttrString(w, "category"));
    text = std::string(reinterpret_cast<PyTypeObject*>(category.get())->tp_name) + ": " +
           tarn_test::str_of(message.get());
  }
  Ref done = Ref::steal(PyObject_CallMethod(catcher.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  return text;
}

TEST(CheckVersion, AnyMicroReleaseOf38Passes) {
  int result = -2;
  EXPECT_EQ(version_warning("3.8.0 (default)", &result), "");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(version_warning("3.8.18 (default, May  9 2026)", &result), "");
}

TEST(CheckVersion, OtherVersionsWarnAndContinue) {
  int result = -2;
  EXPECT_EQ(version_warning("3.9.1 (default)", &result),
            "RuntimeWarning: compiletime version 3.8 of module 'corvessa.util.queue' does not match runtime "
            "version 3.9");
  EXPECT_EQ(result, 0);
  // Only three characters are compared: 3.10 reads as "3.1".
  EXPECT_EQ(version_warning("3.10.4 (main)", &result),
            "RuntimeWarning: compiletime version 3.8 of module 'corvessa.util.queue' does not match runtime "
            "version 3.1");
  EXPECT_EQ(result, 0);
}

TEST(CheckVersion, WarningTurnedIntoErrorFails) {
  ASSERT_TRUE(tarn_test::exec_python("import warnings\nwarnings.simplefilter('error')"));
  int result = tarn::check_version_against("3.9.0");
  std::string error = tarn_test::pending_error();
  ASSERT_TRUE(tarn_test::exec_python("warnings.resetwarnings()"));
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error,
            "RuntimeWarning: compiletime version 3.8 of module 'corvessa.util.queue' does not match runtime "
            "version 3.9");
}

TEST(ModuleState, IdentifiersAreInternedAndHashedOnce) {
  int count = 0;
  for (const tarn::IdentifierRecord* r = tarn::identifier_table; r->target; ++r, ++count) {
    PyObject* s = *r->target;
    ASSERT_NE(s, nullptr) << r->chars;
    EXPECT_TRUE(PyUnicode_CheckExact(s)) << r->chars;
    EXPECT_NE(reinterpret_cast<PyASCIIObject*>(s)->hash, -1) << r->chars;
    EXPECT_EQ(PyUnicode_CHECK_INTERNED(s) != 0, r->intern_flag != 0) << r->chars;
    EXPECT_EQ(static_cast<std::int64_t>(PyUnicode_GET_LENGTH(s)) + 1, r->size) << r->chars;
  }
  EXPECT_EQ(count, tarn::kIdentifierCount);
  EXPECT_STREQ(PyUnicode_AsUTF8(state.ids.code_filename), "corvessa\\util\\queue.py");
  EXPECT_EQ(PyUnicode_CHECK_INTERNED(state.ids.code_filename), 0);
}

}  // namespace
