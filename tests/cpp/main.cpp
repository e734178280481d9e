// The C++ tests run inside an embedded CPython 3.8 that has imported the module's code
// compiled into this binary, so that they can reach internals Python cannot.
#include "embedded.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

class EmbeddedInterpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    // The interpreter finds its standard library from its own executable path.
    static wchar_t* program = Py_DecodeLocale(TARN_PYTHON_HOME_EXE, nullptr);
    Py_SetProgramName(program);
    Py_InitializeEx(0);
    tarn_test::exec_python("import sys; sys.path.insert(0, '" TARN_SOURCE_ROOT "')");
    ASSERT_EQ(tarn_test::import_embedded_module(), 0) << tarn_test::pending_error();
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new EmbeddedInterpreter);
  return RUN_ALL_TESTS();
}
