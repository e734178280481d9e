// Helpers of the C++ tests: the embedded module and small Python conveniences.
#ifndef TARN_TESTS_EMBEDDED_H
#define TARN_TESTS_EMBEDDED_H

#include "failing_allocator.h"
#include "lifoqueue/lifoqueue.h"
#include "module/module.h"

#include <cstdint>
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
// The pending exception as "Type: message", followed by " @ function:line" of its newest
// traceback entry when it has one; cleared.
std::string error_with_entry();
// str() of an object, "<null>" for null.
std::string str_of(PyObject* obj);
// A new tuple of the items (each with a reference of its own).
tarn::Ref tuple_of(std::initializer_list<PyObject*> items);

// --- what the tests read of interpreter internals that differ by version -----------
// The value and traceback of the exception in flight (borrowed), or null; its type is
// tarn::raised_type.
PyObject* raised_value(PyThreadState* ts);
PyObject* raised_traceback(PyThreadState* ts);
// The value that PyErr_SetObject(type, text) leaves in the thread state: the text itself
// until 3.12 (nothing normalises it), an exception object made of it from 3.12 on.
tarn::Ref raised_value_for(PyObject* type, const char* text);
// A frame's code object and globals (borrowed).
PyCodeObject* frame_code(PyFrameObject* frame);
PyObject* frame_globals(PyFrameObject* frame);
// The line a traceback entry reports (3.11 on, computed when first asked for).
int tb_lineno(PyTracebackObject* tb);
bool gc_is_tracked(PyObject* op);
// Immortal objects (3.12 on) keep their reference count whatever is taken or released.
bool is_immortal(PyObject* op);
// The reference count expected of op after an operation that took (delta > 0) or released
// (delta < 0) references, given its count before.
inline Py_ssize_t count_after(PyObject* op, Py_ssize_t before, Py_ssize_t delta) {
  return is_immortal(op) ? before : before + delta;
}
// What a weak reference points to (a new reference; None once the referent is gone).
tarn::Ref weakref_target(PyObject* ref);

// Skips a test of what only the fast roads do (caches, the module's own lookups).
#define TARN_FAST_ROADS_ONLY() \
  if (!tarn::kFastRoads) GTEST_SKIP() << "the generic roads keep no caches by version tag and make no lookups of their own"
// Skips a test of what the stable ABI leaves to the interpreter's own calls and lookups, as it
// can read no builtin function's record, no method descriptor's C function and no bound method.
#define TARN_NOT_ON_THE_STABLE_ABI()                                                                        \
  if (tarn::kStableAbi)                                                                                     \
  GTEST_SKIP() << "the stable ABI reads no builtin function, method descriptor or bound method: the "       \
                  "interpreter's own calls and lookups take them"

// The RecursionError of a guarded call refused at the limit, as this interpreter words it:
// by depth until 3.14, by the machine stack from 3.14 on (its use shown as "N kB").
std::string recursion_refused();
// text with the stack use of a 3.14+ RecursionError shown as "N kB".
std::string stack_use_hidden(std::string text);

// While it lives, the calling thread stands at its recursion limit: the next guarded call
// is refused.
class AtRecursionLimit {
 public:
  AtRecursionLimit();
  ~AtRecursionLimit();
  AtRecursionLimit(const AtRecursionLimit&) = delete;
  AtRecursionLimit& operator=(const AtRecursionLimit&) = delete;
  // The thread's recursion count as the interpreter keeps it (depth or room left).
  int count() const;

 private:
  PyThreadState* ts_;
  int saved_;
  std::uintptr_t saved_stack_limit_ = 0;  // from 3.14 on, the thread's soft stack limit
};

// While it lives, the n-th allocation of the interpreter's allocators fails, once (n 0:
// allocations are only counted).
class FailNth {
 public:
  explicit FailNth(long n) {
    failing_allocator::install();
    failing_allocator::arm(n);
  }
  ~FailNth() { failing_allocator::disarm(); }
  FailNth(const FailNth&) = delete;
  FailNth& operator=(const FailNth&) = delete;
  long counted() const { return failing_allocator::counted; }
  bool failed() const { return failing_allocator::failed; }
};

}  // namespace tarn_test

#endif
