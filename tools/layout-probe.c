/* Where the fields the version layer reads at a raw offset stand on the CPU built for, as
   the interpreter's internal headers define them, written into the program this compiles
   to as "TARN_LAYOUT[<bytes>]" (CMakeLists.txt reads it there: a cross build cannot run
   it). 3.9 and 3.10: the interpreter's recursion limit; 3.14 on: the thread's soft stack
   limit. */
#define Py_BUILD_CORE 1
#include <Python.h>

#include <stddef.h>

#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030B0000
#include <internal/pycore_ceval.h>
#include <internal/pycore_interp.h>
#define TARN_PROBED offsetof(PyInterpreterState, ceval.recursion_limit)
#elif PY_VERSION_HEX >= 0x030E0000
#include <internal/pycore_tstate.h>
#define TARN_PROBED offsetof(_PyThreadStateImpl, c_stack_soft_limit)
#else
#error "nothing to probe on this version"
#endif

#define TARN_DIGIT(place) ((char)('0' + (TARN_PROBED / (place)) % 10))
const char tarn_layout[] = {'T', 'A', 'R', 'N', '_', 'L', 'A', 'Y', 'O', 'U', 'T', '[', TARN_DIGIT(10000),
                            TARN_DIGIT(1000), TARN_DIGIT(100), TARN_DIGIT(10), TARN_DIGIT(1), ']', '\0'};

int main(int argc, char** argv) {
  (void)argv;
  return tarn_layout[argc];
}
