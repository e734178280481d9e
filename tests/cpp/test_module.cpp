// Module start-up internals: the version check against other interpreter versions and
// the Module state the exec step leaves behind.
#include "embedded.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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

// The version built for (the stable ABI's floor on the stable ABI), and the warning for a
// run-time version that differs from it.
constexpr const char kBuilt[] = PY_VERSION;
const std::string kBuiltFor = std::to_string(tarn::kBuiltForMajor) + "." + std::to_string(tarn::kBuiltForMinor);
std::string mismatch(const char* running) {
  return "RuntimeWarning: compiletime version " + kBuiltFor + " of module 'corvessa.util.queue' does not match " +
         "runtime version " + running;
}

TEST(CheckVersion, AnyMicroReleaseOfTheVersionBuiltForPasses) {
  int result = -2;
  const std::string& major_minor = kBuiltFor;
  EXPECT_EQ(version_warning((major_minor + ".0 (default)").c_str(), &result), "");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(version_warning((major_minor + ".18 (default, May  9 2026)").c_str(), &result), "");
  EXPECT_EQ(version_warning(kBuilt, &result), "");
}

TEST(CheckVersion, OtherVersionsWarnAndContinue) {
  int result = -2;
  const char* other = PY_MINOR_VERSION == 9 ? "3.8.1 (default)" : "3.9.1 (default)";
  EXPECT_EQ(version_warning(other, &result), mismatch(PY_MINOR_VERSION == 9 ? "3.8" : "3.9"));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(version_warning("2.7.18 (default)", &result), mismatch("2.7"));  // another major version
  EXPECT_EQ(result, 0);
  if (PY_MINOR_VERSION < 10) {
    // Builds before 3.10 compare three characters only: 3.10 reads as "3.1".
    EXPECT_EQ(version_warning("3.10.4 (main)", &result), mismatch("3.1"));
    EXPECT_EQ(version_warning("unknown", &result), mismatch("unk"));
  } else {
    // Later builds compare the numbers: 3.1x is told from 3.1y and from 3.1.
    // (The stable ABI serves the version it is built for and every later one.)
    const char* near = PY_MINOR_VERSION == 13 || tarn::kStableAbi ? "3.11.4 (main)" : "3.13.0 (main)";
    EXPECT_EQ(version_warning(near, &result), mismatch(PY_MINOR_VERSION == 13 || tarn::kStableAbi ? "3.11" : "3.13"));
    if (tarn::kStableAbi) {
      EXPECT_EQ(version_warning("3.99.0 (main)", &result), "");
    }
    EXPECT_EQ(version_warning("3.1.5", &result), mismatch("3.1"));
    // A string without two numbers is shown as it is, up to seven characters.
    EXPECT_EQ(version_warning("3", &result), mismatch("3"));
    EXPECT_EQ(version_warning("unknown (build)", &result), mismatch("unknown"));
  }
  EXPECT_EQ(result, 0);
}

TEST(CheckVersion, WarningTurnedIntoErrorFails) {
  ASSERT_TRUE(tarn_test::exec_python("import warnings\nwarnings.simplefilter('error')"));
  const char* other = PY_MINOR_VERSION == 9 ? "3.8.0" : "3.9.0";
  int result = tarn::check_version_against(other);
  std::string error = tarn_test::pending_error();
  ASSERT_TRUE(tarn_test::exec_python("warnings.resetwarnings()"));
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, mismatch(PY_MINOR_VERSION == 9 ? "3.8" : "3.9"));
}

// Before the module dictionary is known there are no globals for a traceback entry: the exec
// step fails with the interpreter's error alone and forgets the object it was given.
TEST(ModuleExec, ObjectThatIsNoModuleFailsWithoutAnEntry) {
  tarn::ModuleState saved = state;
  state.module = nullptr;
  Ref not_module = Ref::steal(PyList_New(0));
  Py_ssize_t count = Py_REFCNT(not_module.get());
  int result = tarn::module_exec(not_module.get());
  PyObject* tb = tarn_test::raised_traceback(PyThreadState_Get());
  std::string error = tarn_test::pending_error();
  tarn::ModuleState after = state;
  state = saved;
  EXPECT_EQ(result, -1);
  EXPECT_EQ(tb, nullptr);
  const std::string bad = "bad argument to internal function";
  EXPECT_EQ(error.rfind("SystemError: ", 0), 0u) << error;
  EXPECT_EQ(error.substr(error.size() - std::min(error.size(), bad.size())), bad);
  EXPECT_EQ(after.module, nullptr);
  EXPECT_EQ(after.module_dict, nullptr);
  EXPECT_EQ(Py_REFCNT(not_module.get()), count);
}

TEST(ModuleState, IdentifiersAreInternedAndHashedOnce) {
  int count = 0;
  for (const tarn::IdentifierRecord* r = tarn::identifier_table; r->target; ++r, ++count) {
    PyObject* s = *r->target;
    ASSERT_NE(s, nullptr) << r->chars;
    EXPECT_TRUE(PyUnicode_CheckExact(s)) << r->chars;
    EXPECT_NE(reinterpret_cast<PyASCIIObject*>(s)->hash, -1) << r->chars;
    if (r->target != &state.ids.code_filename) {  // see below
      EXPECT_EQ(PyUnicode_CHECK_INTERNED(s) != 0, r->intern_flag != 0) << r->chars;
    }
    EXPECT_EQ(static_cast<std::int64_t>(PyUnicode_GET_LENGTH(s)) + 1, r->size) << r->chars;
  }
  EXPECT_EQ(count, tarn::kIdentifierCount);
  EXPECT_STREQ(PyUnicode_AsUTF8(state.ids.code_filename), "corvessa\\util\\queue.py");
  // Made without interning; from 3.13 on, the code objects given it as their file name
  // intern it.
  EXPECT_EQ(PyUnicode_CHECK_INTERNED(state.ids.code_filename) != 0, PY_VERSION_HEX >= 0x030D0000);
}

}  // namespace
