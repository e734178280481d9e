// What every part of the module shares: the version layer, the owning reference, failure
// sites, and the process-wide Module state.
#ifndef TARN_CORE_CORE_H
#define TARN_CORE_CORE_H

#include "core/pyversion.h"

#include <cstdint>

namespace tarn {

// ---------------------------------------------------------------------------
// Owning reference: holds one strong reference, releases it in its destructor.
// ---------------------------------------------------------------------------
class Ref {
 public:
  constexpr Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (as returned by a constructor-like call); may be null.
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a reference of its own to a borrowed object; may be null.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference over to the caller.
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  // Replaces the held reference with a new one (stolen) and releases the old one after.
  void reset(PyObject* stolen = nullptr) noexcept {
    PyObject* old = p_;
    p_ = stolen;
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Failure sites. Every source file that records a failure site defines
//   static constexpr int tarn_line_base = N;   (N a multiple of 10000, unique per file)
// so that TARN_SITE gives each site an implementation line of its own across the module.
// ---------------------------------------------------------------------------
constexpr int kLinesPerFile = 10000;
#define TARN_SITE (tarn_line_base + __LINE__)

// The two lines a failure site records.
struct ErrorPos {
  int impl_line;  // the site's own line in the implementation (see TARN_SITE)
  int py_line;    // the line of the statement in the module's Python source
};

// Per-site cache of one module global: the module dictionary's version and the value
// (borrowed) found at that version.
struct GlobalCache {
  std::uint64_t version;
  PyObject* value;
};

// ---------------------------------------------------------------------------
// The process-wide Module state. Filled by the exec step and never released (apart from
// module, which a failed exec step forgets).
// ---------------------------------------------------------------------------

// The strings the module uses as names, qualified names and file name. All but
// code_filename are interned; every one is hashed once at creation.
struct Identifiers {
  PyObject* underscore;           // "_"
  PyObject* LifoQueue;            // "LifoQueue"
  PyObject* qualname_get;         // "LifoQueue._get"
  PyObject* qualname_init;        // "LifoQueue._init"
  PyObject* qualname_put;         // "LifoQueue._put"
  PyObject* qualname_qsize;       // "LifoQueue._qsize"
  PyObject* PY2;                  // "PY2"
  PyObject* Queue;                // "Queue"
  PyObject* append;               // "append"
  PyObject* cline_in_traceback;   // "cline_in_traceback"
  PyObject* collections;          // "collections"
  PyObject* deque;                // "deque"
  PyObject* name_get;             // "_get"
  PyObject* module_name;          // "corvessa.util.queue"
  PyObject* code_filename;        // "corvessa\util\queue.py" (not interned)
  PyObject* name_init;            // "_init"
  PyObject* initializing;         // "_initializing"
  PyObject* item;                 // "item"
  PyObject* len;                  // "len"
  PyObject* dunder_module;        // "__module__"
  PyObject* packages;             // "packages"
  PyObject* packages_six_moves;   // "packages.six.moves"
  PyObject* pop;                  // "pop"
  PyObject* dunder_prepare;       // "__prepare__"
  PyObject* name_put;             // "_put"
  PyObject* name_qsize;           // "_qsize"
  PyObject* dunder_qualname;      // "__qualname__"
  PyObject* queue;                // "queue"
  PyObject* self;                 // "self"
  PyObject* six;                  // "six"
  PyObject* dunder_spec;          // "__spec__"
  PyObject* dunder_test;          // "__test__"
  PyObject* unused_module_Queue;  // "_unused_module_Queue"
};

struct ModuleState {
  PyObject* module;
  PyObject* module_dict;
  PyObject* builtins_module;
  PyObject* runtime_module;  // the module tarn_runtime
  PyObject* empty_tuple;
  PyObject* empty_bytes;
  PyTypeObject* function_type;
  Identifiers ids;
  PyObject* init_varnames;
  PyObject* qsize_varnames;
  PyObject* put_varnames;
  PyObject* get_varnames;
  PyObject* init_code;
  PyObject* qsize_code;
  PyObject* put_code;
  PyObject* get_code;
};

extern ModuleState state;

}  // namespace tarn

#endif  // TARN_CORE_CORE_H
