// The C++ tests run inside an embedded CPython (the one built for) that has imported the module's code
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
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 0;
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, TARN_PYTHON_HOME_EXE);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    ASSERT_FALSE(PyStatus_Exception(status)) << (status.err_msg ? status.err_msg : "");
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
