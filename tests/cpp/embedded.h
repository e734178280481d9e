// Helpers of the C++ tests: the embedded module and small Python conveniences.
#ifndef TARN_TESTS_EMBEDDED_H
#define TARN_TESTS_EMBEDDED_H

#include "lifoqueue/lifoqueue.h"

#include <initializer_list>
#include <string>

namespace tarn_test {

// Creates and executes corvessa.util.queue from the code linked into this binary (the
// package's Python parts come from the source tree). 0 on success.
int import_embedded_module();
// Runs statements in __main__'s namespace; returns false (error printed and cleared) on failure.
bool exec_python(const char* code);
// Evaluates an expression in __main__'s namespace; new reference or null with the error set.
PyObject* eval_python(const char* expr);
// The pending exception as "Type: message", cleared; "" when none.
std::string pending_error();
// str() of an object, "<null>" for null.
std::string str_of(PyObject* obj);
// A new tuple of the items (each with a reference of its own).
tarn::Ref tuple_of(std::initializer_list<PyObject*> items);

}  // namespace tarn_test

#endif
